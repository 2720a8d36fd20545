// The debug window sizer on a screen scaled by 2: what it publishes, and that a burst of
// notifications costs one deferred apply.

#include "app/DebugWindowSizer.h"

#include <QEvent>
#include <QGuiApplication>
#include <QQuickWindow>
#include <QTest>

using namespace talvorine;

namespace {

// Counts every write of the two properties the sizer publishes.
class CountingWindow : public QQuickWindow {
    Q_OBJECT
    Q_PROPERTY(QSize debugWindowSize READ debugWindowSize WRITE setDebugWindowSize)
    Q_PROPERTY(double debugPixelRatio READ debugPixelRatio WRITE setDebugPixelRatio)
public:
    QSize debugWindowSize() const { return size_; }
    void setDebugWindowSize(QSize size)
    {
        size_ = size;
        ++sizeWrites;
    }
    double debugPixelRatio() const { return ratio_; }
    void setDebugPixelRatio(double ratio)
    {
        ratio_ = ratio;
        ++ratioWrites;
    }

    int sizeWrites = 0;
    int ratioWrites = 0;

private:
    QSize size_;
    double ratio_ = 0;
};

} // namespace

class TestDebugWindowSizer : public QObject {
    Q_OBJECT
private slots:
    void publishesAndCoalesces()
    {
        CountingWindow window;
        QCOMPARE(window.effectiveDevicePixelRatio(), 2.0);
        DebugWindowSizer::install(&window, QSize(1920, 1080));
        // Installing applies once, at once.
        QCOMPARE(window.sizeWrites, 1);
        QCOMPARE(window.ratioWrites, 1);
        QCOMPARE(window.debugWindowSize(), QSize(960, 540));
        QCOMPARE(window.debugPixelRatio(), 2.0);

        const QEvent::Type bursts[] = {QEvent::Show, QEvent::Expose,
                                       static_cast<QEvent::Type>(222), QEvent::Show};
        for (QEvent::Type type : bursts) {
            QEvent event(type);
            QCoreApplication::sendEvent(&window, &event);
        }
        Q_EMIT window.screenChanged(window.screen());
        QCOMPARE(window.sizeWrites, 1);
        QTRY_COMPARE_WITH_TIMEOUT(window.sizeWrites, 2, 30000);
        QCoreApplication::processEvents();
        QCOMPARE(window.sizeWrites, 2);
        QCOMPARE(window.ratioWrites, 2);

        // Other events pass by without an apply.
        QEvent move(QEvent::Move);
        QCoreApplication::sendEvent(&window, &move);
        QCoreApplication::processEvents();
        QCOMPARE(window.sizeWrites, 2);
    }
};

int main(int argc, char** argv)
{
    qputenv("QT_SCALE_FACTOR", "2");
    QGuiApplication app(argc, argv);
    TestDebugWindowSizer test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_debugwindowsizer.moc"
