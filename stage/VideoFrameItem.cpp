#include "stage/VideoFrameItem.h"

#include <QImage>
#include <QMetaObject>
#include <QOpenGLContext>
#include <QOpenGLExtraFunctions>
#include <QPointer>
#include <QQuickWindow>
#include <QSGRendererInterface>
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

// Takes ownership of the sample; a null image when it is not a mappable RGBx frame. The
// converter writes opaque pixels, so the image needs no alpha handling on its way to the GPU.
QImage imageOfSample(GstSample* sample)
{
    GstVideoInfo info;
    GstCaps* caps = gst_sample_get_caps(sample);
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    if (!caps || !buffer || !gst_video_info_from_caps(&info, caps)
        || GST_VIDEO_INFO_FORMAT(&info) != GST_VIDEO_FORMAT_RGBx) {
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
                  GST_VIDEO_FRAME_PLANE_STRIDE(&mapped->frame, 0), QImage::Format_RGBX8888,
                  releaseMappedFrame, mapped);
}

// Frame textures alive in every item's node: scene-graph textures and the GL names under them.
std::atomic<int> liveTextures{0};

QRectF fittedRect(QSizeF frame, QSizeF box)
{
    if (frame.isEmpty() || box.isEmpty())
        return {};
    const QSizeF scaled = frame.scaled(box, Qt::KeepAspectRatio);
    return QRectF(QPointF((box.width() - scaled.width()) / 2, (box.height() - scaled.height()) / 2),
                  scaled);
}

// The node owns the frame texture. On an OpenGL scene graph one GL texture is kept while the
// frame size stays the same and each frame is written into it straight from the decoded
// buffer; elsewhere each frame becomes a texture of its own.
class FrameNode : public QSGSimpleTextureNode {
public:
    FrameNode() { setFiltering(QSGTexture::Linear); }
    ~FrameNode() override
    {
        if (QSGTexture* shown = texture()) {
            delete shown;
            --liveTextures;
        }
        releaseGlTexture();
    }
    FrameNode(const FrameNode&) = delete;
    FrameNode& operator=(const FrameNode&) = delete;

    void showImage(QQuickWindow* window, const QImage& image)
    {
        if (uploadToGl(window, image))
            return;
        releaseGlTexture();
        if (QSGTexture* texture = window->createTextureFromImage(image))
            replaceTexture(texture);
    }

private:
    void replaceTexture(QSGTexture* texture)
    {
        QSGTexture* previous = this->texture();
        setTexture(texture);
        ++liveTextures;
        if (previous) {
            delete previous;
            --liveTextures;
        }
    }

    bool uploadToGl(QQuickWindow* window, const QImage& image)
    {
        if (window->rendererInterface()->graphicsApi() != QSGRendererInterface::OpenGL)
            return false;
        QOpenGLContext* context = QOpenGLContext::currentContext();
        if (!context || (context->isOpenGLES() && context->format().majorVersion() < 3))
            return false; // no GL_UNPACK_ROW_LENGTH for padded rows
        QOpenGLExtraFunctions* gl = context->extraFunctions();
        const bool fresh = !glTexture_ || glSize_ != image.size() || glContext_ != context;
        // A new size gets a new texture; the old one goes once the node shows the new one.
        const GLuint previousTexture = fresh ? glTexture_ : 0;
        const QPointer<QOpenGLContext> previousContext = glContext_;
        if (fresh) {
            gl->glGenTextures(1, &glTexture_);
            ++liveTextures;
            glContext_ = context;
            glSize_ = image.size();
        }
        gl->glBindTexture(GL_TEXTURE_2D, glTexture_);
        gl->glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
        gl->glPixelStorei(GL_UNPACK_ROW_LENGTH, GLint(image.bytesPerLine() / 4));
        if (fresh) {
            gl->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
            gl->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
            gl->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
            gl->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
            gl->glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, image.width(), image.height(), 0,
                             GL_RGBA, GL_UNSIGNED_BYTE, image.constBits());
        } else {
            gl->glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, image.width(), image.height(), GL_RGBA,
                                GL_UNSIGNED_BYTE, image.constBits());
        }
        // The scene graph's own uploads expect the default row layout.
        gl->glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
        gl->glBindTexture(GL_TEXTURE_2D, 0);
        if (fresh) {
            replaceTexture(QNativeInterface::QSGOpenGLTexture::fromNative(
                glTexture_, window, glSize_, QQuickWindow::TextureIsOpaque));
            deleteGlTexture(previousTexture, previousContext);
        } else {
            markDirty(DirtyMaterial);
        }
        return true;
    }

    // Deleted with the context it was made in; a context already gone took it along.
    static void deleteGlTexture(GLuint texture, QOpenGLContext* context)
    {
        if (!texture)
            return;
        if (context && QOpenGLContext::currentContext() == context)
            context->functions()->glDeleteTextures(1, &texture);
        else if (context)
            return; // still alive in a context that is not current here
        --liveTextures;
    }

    void releaseGlTexture()
    {
        deleteGlTexture(glTexture_, glContext_);
        glTexture_ = 0;
        glContext_ = nullptr;
        glSize_ = {};
    }

    GLuint glTexture_ = 0;
    QPointer<QOpenGLContext> glContext_;
    QSize glSize_;
};

} // namespace

VideoFrameMailbox::~VideoFrameMailbox()
{
    if (waiting_)
        gst_sample_unref(waiting_);
}

void VideoFrameMailbox::post(GstSample* sample)
{
    const GstBuffer* buffer = gst_sample_get_buffer(sample);
    const GstClockTime timestamp = buffer ? GST_BUFFER_PTS(buffer) : GST_CLOCK_TIME_NONE;
    GstSample* replaced = nullptr;
    {
        QMutexLocker lock(&mutex_);
        const bool repeated = GST_CLOCK_TIME_IS_VALID(timestamp) && timestamp == lastTimestamp_;
        lastTimestamp_ = timestamp;
        replaced = waiting_;
        waiting_ = sample;
        if (repeated)
            ++repeated_;
        else if (replaced)
            ++replaced_; // a repeat replaces the same picture: nothing was lost
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

int VideoFrameItem::liveTextureCount()
{
    return liveTextures.load();
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
        if (!image.isNull() && window()) {
            if (!node)
                node = new FrameNode;
            node->showImage(window(), image);
            noteFrameSize(image.size());
        }
    }
    if (!node || !node->texture()) {
        delete node;
        return nullptr;
    }
    node->setRect(fittedRect(QSizeF(node->texture()->textureSize()), size()));
    return node;
}

} // namespace talvorine
