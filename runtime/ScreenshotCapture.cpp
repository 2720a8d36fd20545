#include "runtime/ScreenshotCapture.h"

#include "runtime/ScreenshotRequest.h"

#include <QBuffer>
#include <QGuiApplication>
#include <QImageWriter>
#include <QQuickWindow>
#include <QWindow>

namespace talvorine {

QImage ScreenshotCapture::grabPresentedWindow()
{
    // Only a GUI application has windows; a core application (or none) has nothing to grab.
    if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
        return {};
    const QWindowList windows = QGuiApplication::topLevelWindows();
    for (QWindow* window : windows) {
        auto* quickWindow = qobject_cast<QQuickWindow*>(window);
        if (!quickWindow || !quickWindow->isVisible())
            continue;
        QImage image = quickWindow->grabWindow();
        if (!image.isNull())
            return image;
    }
    return {};
}

QByteArray ScreenshotCapture::encodeLossyWebP(const QImage& image, int quality, int byteLimit)
{
    if (quality != ScreenshotFrame::quality || image.isNull())
        return {};
    QByteArray encoded;
    QBuffer buffer(&encoded);
    if (!buffer.open(QIODevice::WriteOnly))
        return {};
    QImageWriter writer(&buffer, QByteArrayLiteral("webp"));
    writer.setQuality(ScreenshotFrame::quality);
    if (!writer.write(image))
        return {};
    buffer.close();
    return ScreenshotFrame::acceptEncoded(encoded, byteLimit).value_or(QByteArray());
}

QByteArray ScreenshotCapture::encodeScaled(const QImage& image, const ScreenshotRequest& request)
{
    if (image.isNull() || image.width() < 1 || image.height() < 1)
        return {};
    const QSize target = ScreenshotFrame::scaledSize(image.width(), image.height(),
                                                     request.maxWidthDivisor,
                                                     request.maxHeightDivisor);
    const QImage scaled = target == image.size()
        ? image
        : image.scaled(target, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    return encodeLossyWebP(scaled, request.quality, request.maxBytes);
}

} // namespace talvorine
