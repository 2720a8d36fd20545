#include "stage/VideoFrameItem.h"

#include <QImage>
#include <QMetaObject>
#include <QQuickWindow>
#include <QSGSimpleTextureNode>
#include <QSGTexture>

#include <gst/gst.h>
#include <gst/video/video.h>

namespace talvorine {

namespace {

struct MappedFrame {
    GstVideoFrame frame;
    GstSample* sample;
};

// The QImage borrows the mapped frame; the scene graph keeps it only until the upload.
void releaseMappedFrame(void* data)
{
    auto* mapped = static_cast<MappedFrame*>(data);
    gst_video_frame_unmap(&mapped->frame);
    gst_sample_unref(mapped->sample);
    delete mapped;
}

// Takes ownership of the sample; a null image when it is not a mappable RGBA frame.
QImage imageOfSample(GstSample* sample)
{
    GstVideoInfo info;
    GstCaps* caps = gst_sample_get_caps(sample);
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    if (!caps || !buffer || !gst_video_info_from_caps(&info, caps)
        || GST_VIDEO_INFO_FORMAT(&info) != GST_VIDEO_FORMAT_RGBA) {
        gst_sample_unref(sample);
        return {};
    }
    auto* mapped = new MappedFrame{{}, sample};
    if (!gst_video_frame_map(&mapped->frame, &info, buffer, GST_MAP_READ)) {
        gst_sample_unref(sample);
        delete mapped;
        return {};
    }
    return QImage(static_cast<uchar*>(GST_VIDEO_FRAME_PLANE_DATA(&mapped->frame, 0)),
                  GST_VIDEO_FRAME_WIDTH(&mapped->frame), GST_VIDEO_FRAME_HEIGHT(&mapped->frame),
                  GST_VIDEO_FRAME_PLANE_STRIDE(&mapped->frame, 0), QImage::Format_RGBA8888,
                  releaseMappedFrame, mapped);
}

QRectF fittedRect(QSizeF frame, QSizeF box)
{
    if (frame.isEmpty() || box.isEmpty())
        return {};
    const QSizeF scaled = frame.scaled(box, Qt::KeepAspectRatio);
    return QRectF(QPointF((box.width() - scaled.width()) / 2, (box.height() - scaled.height()) / 2),
                  scaled);
}

// The node owns each frame's texture; a new frame's texture replaces the previous one.
class FrameNode : public QSGSimpleTextureNode {
public:
    FrameNode() { setFiltering(QSGTexture::Linear); }
    ~FrameNode() override { delete texture(); }
    FrameNode(const FrameNode&) = delete;
    FrameNode& operator=(const FrameNode&) = delete;

    void replaceTexture(QSGTexture* texture)
    {
        QSGTexture* previous = this->texture();
        setTexture(texture);
        delete previous;
    }
};

} // namespace

VideoFrameMailbox::~VideoFrameMailbox()
{
    if (waiting_)
        gst_sample_unref(waiting_);
}

void VideoFrameMailbox::post(GstSample* sample)
{
    GstSample* replaced = nullptr;
    {
        QMutexLocker lock(&mutex_);
        replaced = waiting_;
        waiting_ = sample;
        if (replaced)
            ++replaced_;
        // Posting under the lock keeps the item alive for the call: its destructor detaches
        // under the same lock, and Qt drops events of an object that dies afterwards.
        if (item_)
            QMetaObject::invokeMethod(item_, &QQuickItem::update, Qt::QueuedConnection);
    }
    if (replaced)
        gst_sample_unref(replaced);
}

GstSample* VideoFrameMailbox::take()
{
    QMutexLocker lock(&mutex_);
    GstSample* sample = waiting_;
    waiting_ = nullptr;
    if (sample)
        ++taken_;
    return sample;
}

void VideoFrameMailbox::discard()
{
    GstSample* sample = nullptr;
    {
        QMutexLocker lock(&mutex_);
        sample = waiting_;
        waiting_ = nullptr;
    }
    if (sample)
        gst_sample_unref(sample);
}

void VideoFrameMailbox::detach()
{
    QMutexLocker lock(&mutex_);
    item_ = nullptr;
}

VideoFrameItem::VideoFrameItem(QQuickItem* parent)
    : QQuickItem(parent)
    , mailbox_(std::make_shared<VideoFrameMailbox>(this))
{
    setFlag(ItemHasContents, true);
}

VideoFrameItem::~VideoFrameItem()
{
    mailbox_->detach();
    mailbox_->discard();
}

QSize VideoFrameItem::frameSize() const
{
    QMutexLocker lock(&sizeMutex_);
    return frameSize_;
}

void VideoFrameItem::clearFrame()
{
    mailbox_->discard();
    clearRequested_ = true;
    update();
}

void VideoFrameItem::noteFrameSize(QSize size)
{
    {
        QMutexLocker lock(&sizeMutex_);
        if (frameSize_ == size)
            return;
        frameSize_ = size;
    }
    QMetaObject::invokeMethod(this, &VideoFrameItem::frameSizeChanged, Qt::QueuedConnection);
}

QSGNode* VideoFrameItem::updatePaintNode(QSGNode* oldNode, UpdatePaintNodeData*)
{
    auto* node = static_cast<FrameNode*>(oldNode);
    if (clearRequested_.exchange(false)) {
        delete node;
        node = nullptr;
    }
    if (GstSample* sample = mailbox_->take()) {
        const QImage image = imageOfSample(sample);
        QSGTexture* texture = image.isNull() || !window()
            ? nullptr
            : window()->createTextureFromImage(image);
        if (texture) {
            if (!node)
                node = new FrameNode;
            node->replaceTexture(texture);
            noteFrameSize(image.size());
        }
    }
    if (!node)
        return nullptr;
    node->setRect(fittedRect(QSizeF(node->texture()->textureSize()), size()));
    return node;
}

} // namespace talvorine
