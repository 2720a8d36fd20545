#pragma once

#include <QObject>
#include <QSize>

class QQuickWindow;

namespace talvorine {

// Keeps a debug window at the requested size in physical pixels, whatever the screen's scale.
class DebugWindowSizer : public QObject {
public:
    static void install(QQuickWindow* window, QSize pixelSize);

    ~DebugWindowSizer() override;
    bool eventFilter(QObject* watched, QEvent* event) override;

    // The logical size that covers pixelSize at the given device pixel ratio.
    static QSize logicalSize(QSize pixelSize, qreal ratio);

private:
    DebugWindowSizer(QQuickWindow* window, QSize pixelSize);
    void schedule();
    void apply();

    QQuickWindow* window_;
    QSize pixelSize_;
    bool pending_ = false;
};

} // namespace talvorine
