#pragma once

// What reached the glass, frame by frame: after every frame the render thread reads a few
// pixels across the middle line of the window, stamped with the monotonic clock, for the GUI
// thread to sort later; the event loop run until the frames say enough; and the frames of a swap
// between two pages of solid colours sorted into the outgoing page, the incoming page, a blend
// of the two, or neither (an empty or ground-coloured stage, which no swap may show). Window
// tests and benchmarks share it.

#include "tests/support/EventWait.h"

#include <QColor>
#include <QList>
#include <QMutex>
#include <QOpenGLContext>
#include <QOpenGLFunctions>
#include <QQuickWindow>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <iterator>
#include <memory>

namespace talvorine::test {

inline qint64 monotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

class FrameSampler {
public:
    static constexpr int samples = 5;

    struct Frame {
        qint64 atNs = 0;
        QRgb pixels[samples]{};
    };

    // The render thread may be inside a sample while the sampler goes away: what it reads and
    // writes lives as long as the connection's own copy of it, so the two may go in any order.
    explicit FrameSampler(QQuickWindow* window) : kept_(std::make_shared<Kept>())
    {
        connection_ = QObject::connect(
            window, &QQuickWindow::afterRendering, window,
            [window, kept = kept_] { sample(window, *kept); }, Qt::DirectConnection);
    }
    ~FrameSampler() { QObject::disconnect(connection_); }

    FrameSampler(const FrameSampler&) = delete;
    FrameSampler& operator=(const FrameSampler&) = delete;

    void clear()
    {
        QMutexLocker lock(&kept_->mutex);
        kept_->frames.clear();
    }
    QList<Frame> frames()
    {
        QMutexLocker lock(&kept_->mutex);
        return kept_->frames;
    }

private:
    struct Kept {
        QMutex mutex;
        QList<Frame> frames;
    };

    static void sample(QQuickWindow* window, Kept& kept)
    {
        QOpenGLContext* context = QOpenGLContext::currentContext();
        if (!context)
            return;
        Frame frame;
        const QSize size = window->size() * window->effectiveDevicePixelRatio();
        // The scene graph records its frame and runs it at the end of the frame: only this
        // flush makes the frame just recorded what the reads below see, not an older one.
        window->beginExternalCommands();
        for (int i = 0; i < samples; ++i) {
            uchar rgba[4] = {};
            // Across the middle line, away from the edges a swipe enters from.
            context->functions()->glReadPixels(size.width() * (2 * i + 1) / (2 * samples),
                                               size.height() / 2, 1, 1, GL_RGBA,
                                               GL_UNSIGNED_BYTE, rgba);
            frame.pixels[i] = qRgb(rgba[0], rgba[1], rgba[2]);
        }
        window->endExternalCommands();
        frame.atNs = monotonicNs();
        QMutexLocker lock(&kept.mutex);
        kept.frames.append(frame);
    }

    std::shared_ptr<Kept> kept_;
    QMetaObject::Connection connection_;
};

// How a sampled pixel relates to a swap from one solid colour to another: either colour, a
// blend of the two (a cross-fade's), or neither.
enum class Seen { Outgoing, Incoming, Blend, Neither };

inline Seen classify(QRgb pixel, QRgb outgoing, QRgb incoming, int tolerance = 24)
{
    const int p[3] = {qRed(pixel), qGreen(pixel), qBlue(pixel)};
    const int o[3] = {qRed(outgoing), qGreen(outgoing), qBlue(outgoing)};
    const int d[3] = {qRed(incoming) - o[0], qGreen(incoming) - o[1], qBlue(incoming) - o[2]};
    // The nearest point of the line from one colour to the other; off that line is neither.
    double along = 0;
    double length = 0;
    for (int c = 0; c < 3; ++c) {
        along += double(p[c] - o[c]) * d[c];
        length += double(d[c]) * d[c];
    }
    const double t = length > 0 ? std::clamp(along / length, 0.0, 1.0) : 0.0;
    bool nearOutgoing = true;
    bool nearIncoming = true;
    for (int c = 0; c < 3; ++c) {
        if (std::abs(p[c] - (o[c] + t * d[c])) > tolerance)
            return Seen::Neither;
        nearOutgoing &= std::abs(p[c] - o[c]) <= tolerance;
        nearIncoming &= std::abs(p[c] - o[c] - d[c]) <= tolerance;
    }
    return nearOutgoing ? Seen::Outgoing : nearIncoming ? Seen::Incoming : Seen::Blend;
}

// Every sample of the frame shows this colour.
inline bool shows(const FrameSampler::Frame& frame, QRgb colour, int tolerance = 24)
{
    return std::all_of(std::begin(frame.pixels), std::end(frame.pixels), [&](QRgb pixel) {
        return classify(pixel, colour, colour, tolerance) == Seen::Outgoing;
    });
}

// Follows a swap from the given moment on, over the frames a sampler keeps: how many frames
// showed neither page anywhere, when the incoming page first showed, and whether the latest
// frame shows the incoming page alone.
class SwapWatch {
public:
    SwapWatch(QRgb outgoing, QRgb incoming, qint64 sinceNs)
        : outgoing_(outgoing), incoming_(incoming), sinceNs_(sinceNs)
    {
    }

    // Takes the frames not seen yet; true once the latest shows the incoming page alone.
    bool update(const QList<FrameSampler::Frame>& frames)
    {
        for (; seen_ < frames.size(); ++seen_) {
            const FrameSampler::Frame& frame = frames.at(seen_);
            if (frame.atNs < sinceNs_)
                continue;
            bool anyNeither = false;
            bool anyIncoming = false;
            bool allIncoming = true;
            for (const QRgb pixel : frame.pixels) {
                const Seen kind = classify(pixel, outgoing_, incoming_);
                anyNeither |= kind == Seen::Neither;
                anyIncoming |= kind == Seen::Incoming || kind == Seen::Blend;
                allIncoming &= kind == Seen::Incoming;
            }
            ++frames_;
            neitherFrames_ += anyNeither;
            if (anyIncoming && firstIncomingNs_ < 0)
                firstIncomingNs_ = frame.atNs;
            settled_ = allIncoming;
        }
        return settled_;
    }

    int frames() const { return frames_; }
    int neitherFrames() const { return neitherFrames_; }
    // -1 until a frame showed it.
    qint64 firstIncomingNs() const { return firstIncomingNs_; }

private:
    QRgb outgoing_;
    QRgb incoming_;
    qint64 sinceNs_;
    qsizetype seen_ = 0;
    int frames_ = 0;
    int neitherFrames_ = 0;
    qint64 firstIncomingNs_ = -1;
    bool settled_ = false;
};

} // namespace talvorine::test
