#include "stage/PictureItem.h"

#include <QFutureWatcher>
#include <QImageReader>
#include <QQuickWindow>
#include <QSGSimpleTextureNode>
#include <QSGTexture>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <cmath>
#include <utility>

namespace talvorine {

namespace PictureFit {

QSize decodeSize(QSize stored, bool axesSwapped, QSizeF box, const QString& fit)
{
    if (stored.isEmpty())
        return stored;
    // A content rectangle snapped to nothing draws nothing; its picture is still decoded, for
    // it to be ready.
    if (box.isEmpty())
        return QSize(1, 1);
    const QSizeF upright = axesSwapped ? QSizeF(stored.transposed()) : QSizeF(stored);
    const double kx = box.width() / upright.width();
    const double ky = box.height() / upright.height();
    // A fill stretches each axis to the box: the longer stretch decides what detail it shows.
    const double k = std::min(1.0, fit == QLatin1String("contain") ? std::min(kx, ky)
                                                                   : std::max(kx, ky));
    return QSize(std::max(1, int(std::lround(stored.width() * k))),
                 std::max(1, int(std::lround(stored.height() * k))));
}

Placement place(QSizeF picture, QSizeF box, const QString& fit)
{
    const QRectF whole(QPointF(0, 0), picture);
    const QRectF boxRect(QPointF(0, 0), box);
    if (picture.isEmpty() || box.isEmpty() || fit == QLatin1String("fill"))
        return {boxRect, whole};
    if (fit == QLatin1String("cover")) {
        const QSizeF cut = box.scaled(picture, Qt::KeepAspectRatio);
        return {boxRect, QRectF(QPointF((picture.width() - cut.width()) / 2,
                                        (picture.height() - cut.height()) / 2),
                                cut)};
    }
    const QSizeF drawn = picture.scaled(box, Qt::KeepAspectRatio);
    return {QRectF(QPointF((box.width() - drawn.width()) / 2, (box.height() - drawn.height()) / 2),
                   drawn),
            whole};
}

int frameDelayMs(int declaredMs)
{
    return declaredMs <= 10 ? 100 : declaredMs;
}

} // namespace PictureFit

// The reader of one load. Only the one decode in flight touches it; each load makes its own.
struct PictureItem::Decoder {
    QString path;
    QSizeF box;
    QString fit;
    std::unique_ptr<QImageReader> reader;
    QSize scaled;
    int frameCount = 1;
    int framesRead = 0;

    void open()
    {
        reader = std::make_unique<QImageReader>(path);
        reader->setAutoTransform(true);
        if (scaled.isValid())
            reader->setScaledSize(scaled);
        framesRead = 0;
    }

    Decoded read()
    {
        // A reader goes through an animation once; the next round starts from the file again.
        if (!reader || framesRead >= frameCount)
            open();
        Decoded decoded;
        decoded.image = reader->read();
        decoded.delayMs = PictureFit::frameDelayMs(reader->nextImageDelay());
        decoded.frameCount = frameCount;
        decoded.loopCount = reader->loopCount();
        ++framesRead;
        return decoded;
    }

    Decoded first()
    {
        open();
        const QSize stored = reader->size();
        const bool swapped =
            reader->transformation().testFlag(QImageIOHandler::TransformationRotate90);
        frameCount = std::max(1, reader->imageCount());
        scaled = PictureFit::decodeSize(stored, swapped, box, fit);
        if (scaled.isValid())
            reader->setScaledSize(scaled);
        return read();
    }
};

namespace {

class PictureNode : public QSGSimpleTextureNode {
public:
    PictureNode() { setFiltering(QSGTexture::Linear); }
    ~PictureNode() override { delete texture(); }
    PictureNode(const PictureNode&) = delete;
    PictureNode& operator=(const PictureNode&) = delete;

    void replace(QSGTexture* texture)
    {
        QSGTexture* previous = this->texture();
        setTexture(texture);
        delete previous;
    }

    quint64 serial = 0;
};

} // namespace

PictureItem::PictureItem(QQuickItem* parent) : QQuickItem(parent)
{
    setFlag(ItemHasContents, true);
    frameTimer_.setSingleShot(true);
    frameTimer_.setTimerType(Qt::PreciseTimer);
    connect(&frameTimer_, &QTimer::timeout, this, &PictureItem::frameDue);
}

PictureItem::~PictureItem() = default;

void PictureItem::setSource(const QUrl& source)
{
    if (source == source_)
        return;
    source_ = source;
    scheduleLoad();
    emit sourceChanged();
}

void PictureItem::setFit(const QString& fit)
{
    if (fit == fit_)
        return;
    fit_ = fit;
    scheduleLoad();
    update();
    emit fitChanged();
}

void PictureItem::setPlaying(bool playing)
{
    if (playing == playing_)
        return;
    playing_ = playing;
    due_ = false;
    frameTimer_.stop();
    if (animating()) {
        frameTimer_.start(shownDelayMs_);
        decodeNext();
    }
    emit playingChanged();
}

void PictureItem::componentComplete()
{
    QQuickItem::componentComplete();
    scheduleLoad();
}

void PictureItem::geometryChange(const QRectF& newGeometry, const QRectF& oldGeometry)
{
    QQuickItem::geometryChange(newGeometry, oldGeometry);
    if (newGeometry.size() != loadedBox_)
        scheduleLoad();
    update();
}

// Bindings settle source, fit and size one after the other: one load after all of them.
void PictureItem::scheduleLoad()
{
    if (loadQueued_ || !isComponentComplete())
        return;
    loadQueued_ = true;
    QMetaObject::invokeMethod(this, &PictureItem::load, Qt::QueuedConnection);
}

void PictureItem::load()
{
    loadQueued_ = false;
    const QSizeF box = size();
    if (!source_.isLocalFile())
        return;
    if (decoder_ && decoder_->path == source_.toLocalFile() && decoder_->fit == fit_
        && box == loadedBox_)
        return;
    ++generation_;
    loadedBox_ = box;
    frameTimer_.stop();
    due_ = false;
    next_ = QImage();
    frameCount_ = 0;
    decoder_ = std::make_shared<Decoder>();
    decoder_->path = source_.toLocalFile();
    decoder_->box = box;
    decoder_->fit = fit_;
    decode(true);
}

void PictureItem::decodeNext()
{
    if (decoding_ || !next_.isNull() || !animating())
        return;
    decode(false);
}

void PictureItem::decode(bool first)
{
    decoding_ = true;
    noteHeld();
    auto* watcher = new QFutureWatcher<Decoded>(this);
    const quint64 generation = generation_;
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, generation] {
        watcher->deleteLater();
        landed(generation, watcher->result());
    });
    watcher->setFuture(QtConcurrent::run(
        [decoder = decoder_, first] { return first ? decoder->first() : decoder->read(); }));
}

void PictureItem::landed(quint64 generation, const Decoded& decoded)
{
    if (generation != generation_)
        return;
    decoding_ = false;
    // Until the first frame of a load lands, the count is unknown.
    const bool first = frameCount_ == 0;
    if (decoded.image.isNull()) {
        // A frame further on that cannot be read stops the animation on the one shown.
        if (first) {
            shown_ = QImage();
            update();
            emit failed();
        }
        frameCount_ = 1;
        return;
    }
    if (first) {
        frameCount_ = decoded.frameCount;
        loopCount_ = decoded.loopCount;
        loopsDone_ = 0;
        show(decoded.image, decoded.delayMs, 0);
        emit ready();
        if (animating()) {
            frameTimer_.start(shownDelayMs_);
            decodeNext();
        }
        return;
    }
    next_ = decoded.image;
    nextDelayMs_ = decoded.delayMs;
    noteHeld();
    if (due_)
        frameDue();
}

void PictureItem::frameDue()
{
    if (!animating())
        return;
    if (next_.isNull()) {
        due_ = true;
        decodeNext();
        return;
    }
    due_ = false;
    const int index = (frameIndex_ + 1) % frameCount_;
    if (index == 0)
        ++loopsDone_;
    show(std::exchange(next_, QImage()), nextDelayMs_, index);
    if (animating()) {
        frameTimer_.start(shownDelayMs_);
        decodeNext();
    }
}

void PictureItem::show(const QImage& image, int delayMs, int index)
{
    shown_ = image;
    shownDelayMs_ = delayMs;
    ++shownSerial_;
    frameIndex_ = index;
    noteHeld();
    update();
    emit frameChanged();
}

void PictureItem::noteHeld()
{
    const int held = int(!shown_.isNull()) + int(!next_.isNull()) + int(decoding_);
    peakFramesHeld_ = std::max(peakFramesHeld_, held);
}

// A file's loop count says how often an animation repeats after its first round; below zero,
// for ever.
bool PictureItem::animating() const
{
    return playing_ && frameCount_ > 1 && !shown_.isNull()
        && (loopCount_ < 0 || loopsDone_ < loopCount_ || frameIndex_ + 1 < frameCount_);
}

QSGNode* PictureItem::updatePaintNode(QSGNode* oldNode, UpdatePaintNodeData*)
{
    auto* node = static_cast<PictureNode*>(oldNode);
    if (shown_.isNull() || !window() || size().isEmpty()) {
        delete node;
        return nullptr;
    }
    if (!node)
        node = new PictureNode;
    if (node->serial != shownSerial_ || !node->texture()) {
        node->replace(window()->createTextureFromImage(shown_));
        node->serial = shownSerial_;
    }
    const PictureFit::Placement placement = PictureFit::place(shown_.size(), size(), fit_);
    node->setRect(placement.target);
    node->setSourceRect(placement.source);
    return node;
}

} // namespace talvorine
