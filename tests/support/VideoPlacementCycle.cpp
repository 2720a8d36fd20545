#include "tests/support/VideoPlacementCycle.h"

#include "stage/GstVideoEngine.h"

#include <QEventLoop>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTimer>

#include <memory>

namespace talvorine::test {

void stallFirstPipeline(GstVideoEngine* engine)
{
    auto* watchdog = engine->findChild<QTimer*>(QStringLiteral("prerollWatchdog"));
    Q_ASSERT(watchdog);
    auto loading = std::make_shared<QMetaObject::Connection>();
    *loading = QObject::connect(engine, &GstVideoEngine::stateChanged, watchdog,
                                [engine, watchdog, loading] {
        if (engine->state() != QLatin1String("loading"))
            return;
        QObject::disconnect(*loading);
        // The pipeline is built right after this state change. Queued now, the watchdog's
        // timeout comes before every message of that pipeline, its first frame included.
        QMetaObject::invokeMethod(
            watchdog, [watchdog] { QMetaObject::invokeMethod(watchdog, "timeout"); },
            Qt::QueuedConnection);
    });
}

QString cycleVideoPlacement(QQmlEngine& qml, QQuickWindow& window, const QString& clip,
                            PlayUntil until, bool stall, int timeoutMs)
{
    QQmlComponent component(&qml, QUrl(QStringLiteral("qrc:/qml/GstVideoPlacement.qml")));
    std::unique_ptr<QObject> placement(component.createWithInitialProperties(
        {{QStringLiteral("width"), 320},
         {QStringLiteral("height"), 240},
         {QStringLiteral("source"), QUrl::fromLocalFile(clip)},
         {QStringLiteral("active"), true}}));
    auto* item = qobject_cast<QQuickItem*>(placement.get());
    if (!item)
        return component.errorString();
    auto* engine = qobject_cast<GstVideoEngine*>(item->property("engine").value<QObject*>());
    if (!engine)
        return QStringLiteral("the placement has no video engine");
    if (stall)
        stallFirstPipeline(engine);
    item->setParentItem(window.contentItem());

    QEventLoop loop;
    bool reached = false;
    QObject::connect(engine, until == PlayUntil::Ended ? &GstVideoEngine::endOfStream
                                                       : &GstVideoEngine::started,
                     &loop, [&] {
                         reached = true;
                         loop.quit();
                     });
    QObject::connect(engine, &GstVideoEngine::failed, &loop, &QEventLoop::quit);
    // A timer of this cycle's own: a pending single-shot would outlive it by the whole timeout.
    QTimer timeout;
    timeout.setSingleShot(true);
    QObject::connect(&timeout, &QTimer::timeout, &loop, &QEventLoop::quit);
    timeout.start(timeoutMs);
    loop.exec();
    if (engine->state() == QLatin1String("failed"))
        return engine->errorCode();
    if (!reached)
        return QStringLiteral("not %1 within %2 ms, state %3")
            .arg(until == PlayUntil::Ended ? QStringLiteral("ended") : QStringLiteral("started"))
            .arg(timeoutMs)
            .arg(engine->state());
    return {};
}

} // namespace talvorine::test
