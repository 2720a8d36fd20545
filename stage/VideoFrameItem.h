#pragma once

#include <QMutex>
#include <QQuickItem>

#include <atomic>
#include <memory>

typedef struct _GstSample GstSample;

namespace talvorine {

class VideoFrameItem;

// Hand-over point between a streaming thread that produces decoded frames and the scene graph
// that shows them. Only the newest frame waits; a frame replaced before the scene graph took it
// counts as dropped, and a frame posted again right after itself (same timestamp) as repeated.
class VideoFrameMailbox {
public:
    explicit VideoFrameMailbox(VideoFrameItem* item) : item_(item) { }
    ~VideoFrameMailbox();
    VideoFrameMailbox(const VideoFrameMailbox&) = delete;
    VideoFrameMailbox& operator=(const VideoFrameMailbox&) = delete;

    // Streaming thread: takes ownership of the sample and asks the item for a repaint.
    void post(GstSample* sample);
    // Render thread (GUI thread blocked): the waiting frame, or null; the caller owns it.
    GstSample* take();
    // Drops the waiting frame without counting it (a stop or a restart, not a late frame).
    void discard();
    // The item is going away: later posts only hold the frame.
    void detach();

    quint64 framesTaken() const { return taken_.load(); }
    quint64 framesReplaced() const { return replaced_.load(); }
    quint64 framesRepeated() const { return repeated_.load(); }

private:
    QMutex mutex_;
    VideoFrameItem* item_ = nullptr;
    GstSample* waiting_ = nullptr;
    quint64 lastTimestamp_ = ~quint64(0);
    std::atomic<quint64> taken_{0};
    std::atomic<quint64> replaced_{0};
    std::atomic<quint64> repeated_{0};
};

// Shows decoded video frames (RGBA, from an appsink) as a scene-graph texture: the only copy of
// a frame is its upload to the GPU. The picture keeps its aspect ratio, centred in the item.
class VideoFrameItem : public QQuickItem {
    Q_OBJECT
    Q_PROPERTY(QSize frameSize READ frameSize NOTIFY frameSizeChanged)
public:
    explicit VideoFrameItem(QQuickItem* parent = nullptr);
    ~VideoFrameItem() override;

    std::shared_ptr<VideoFrameMailbox> mailbox() const { return mailbox_; }
    QSize frameSize() const;

    // Frames that reached the scene graph, frames a newer one replaced before they did, and
    // frames handed over twice.
    quint64 framesRendered() const { return mailbox_->framesTaken(); }
    quint64 framesDropped() const { return mailbox_->framesReplaced(); }
    quint64 framesDuplicated() const { return mailbox_->framesRepeated(); }

    // Frame textures that the nodes of every item hold (scene-graph textures and the GL
    // textures under them), for leak checks.
    static int liveTextureCount();

    // Forgets the picture on screen (the engine stopped).
    void clearFrame();

Q_SIGNALS:
    void frameSizeChanged();

protected:
    QSGNode* updatePaintNode(QSGNode* oldNode, UpdatePaintNodeData* data) override;

private:
    void noteFrameSize(QSize size);

    std::shared_ptr<VideoFrameMailbox> mailbox_;
    mutable QMutex sizeMutex_;
    QSize frameSize_;
    std::atomic<bool> clearRequested_{false};
};

} // namespace talvorine
