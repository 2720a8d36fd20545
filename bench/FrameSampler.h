#pragma once

// What reached the glass, frame by frame: after every frame the render thread reads a few
// pixels across the middle line of the window, stamped with the monotonic clock, for the GUI
// thread to sort later; and the event loop run until the frames say enough.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QList>
#include <QMutex>
#include <QOpenGLContext>
#include <QOpenGLFunctions>
#include <QQuickWindow>

#include <ctime>
#include <functional>

namespace talvorine::bench {

inline qint64 monotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Runs the event loop until done holds or the time passed.
inline bool spinUntil(const std::function<bool()>& done, int ms)
{
    QElapsedTimer waited;
    waited.start();
    while (!done()) {
        if (waited.hasExpired(ms))
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

class FrameSampler {
public:
    static constexpr int samples = 5;

    struct Frame {
        qint64 atNs = 0;
        QRgb pixels[samples]{};
    };

    explicit FrameSampler(QQuickWindow* window) : window_(window)
    {
        connection_ = QObject::connect(window, &QQuickWindow::afterRendering, window,
                                       [this] { sample(); }, Qt::DirectConnection);
    }
    ~FrameSampler() { QObject::disconnect(connection_); }

    FrameSampler(const FrameSampler&) = delete;
    FrameSampler& operator=(const FrameSampler&) = delete;

    void clear()
    {
        QMutexLocker lock(&mutex_);
        frames_.clear();
    }
    QList<Frame> frames()
    {
        QMutexLocker lock(&mutex_);
        return frames_;
    }

private:
    void sample()
    {
        QOpenGLContext* context = QOpenGLContext::currentContext();
        if (!context)
            return;
        Frame frame;
        const QSize size = window_->size() * window_->effectiveDevicePixelRatio();
        // The scene graph records its frame and runs it at the end of the frame: only this
        // flush makes the frame just recorded what the reads below see, not an older one.
        window_->beginExternalCommands();
        for (int i = 0; i < samples; ++i) {
            uchar rgba[4] = {};
            // Across the middle line, away from the edges a swipe enters from.
            context->functions()->glReadPixels(size.width() * (2 * i + 1) / (2 * samples),
                                               size.height() / 2, 1, 1, GL_RGBA,
                                               GL_UNSIGNED_BYTE, rgba);
            frame.pixels[i] = qRgb(rgba[0], rgba[1], rgba[2]);
        }
        window_->endExternalCommands();
        frame.atNs = monotonicNs();
        QMutexLocker lock(&mutex_);
        frames_.append(frame);
    }

    QQuickWindow* window_;
    QMetaObject::Connection connection_;
    QMutex mutex_;
    QList<Frame> frames_;
};

} // namespace talvorine::bench
