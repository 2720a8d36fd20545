#include "app/DebugWindowSizer.h"

#include <QEvent>
#include <QQuickWindow>
#include <QTimer>

#include <cmath>

namespace talvorine {

namespace {

// QEvent::DevicePixelRatioChange arrived after Qt 6.4; the number is fixed and unused before.
constexpr auto devicePixelRatioChange = static_cast<QEvent::Type>(222);

} // namespace

DebugWindowSizer::DebugWindowSizer(QQuickWindow* window, QSize pixelSize)
    : QObject(window)
    , window_(window)
    , pixelSize_(pixelSize)
{
}

DebugWindowSizer::~DebugWindowSizer() = default;

void DebugWindowSizer::install(QQuickWindow* window, QSize pixelSize)
{
    if (!window)
        return;
    auto* sizer = new DebugWindowSizer(window, pixelSize);
    window->installEventFilter(sizer);
    QObject::connect(window, &QWindow::screenChanged, sizer, [sizer] { sizer->schedule(); });
    sizer->apply();
}

bool DebugWindowSizer::eventFilter(QObject* watched, QEvent* event)
{
    const QEvent::Type type = event->type();
    if (type == QEvent::Show || type == QEvent::Expose || type == devicePixelRatioChange)
        schedule();
    return QObject::eventFilter(watched, event);
}

QSize DebugWindowSizer::logicalSize(QSize pixelSize, qreal ratio)
{
    const qreal divisor = std::isfinite(ratio) && ratio > 0 ? ratio : 1.0;
    return {std::max(1, int(std::floor(pixelSize.width() / divisor))),
            std::max(1, int(std::floor(pixelSize.height() / divisor)))};
}

void DebugWindowSizer::schedule()
{
    // Show, expose and ratio changes arrive in bursts; one deferred apply covers them all.
    if (pending_)
        return;
    pending_ = true;
    QTimer::singleShot(0, Qt::PreciseTimer, this, [this] {
        pending_ = false;
        apply();
    });
}

void DebugWindowSizer::apply()
{
    const qreal ratio = window_->effectiveDevicePixelRatio();
    window_->setProperty("debugWindowSize", logicalSize(pixelSize_, ratio));
    window_->setProperty("debugPixelRatio", ratio);
}

} // namespace talvorine
