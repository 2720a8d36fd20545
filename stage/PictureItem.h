#pragma once

#include <QImage>
#include <QQuickItem>
#include <QRectF>
#include <QSize>
#include <QSizeF>
#include <QTimer>
#include <QUrl>

#include <memory>

namespace talvorine {

// How a picture is decoded and drawn into the rectangle the layout gave it. The layout knows
// only the size the service declared, which may be the stored size of a photograph whose EXIF
// orientation turns it on its side: the picture as shown keeps its own aspect and follows the
// primitive's fit in that rectangle.
namespace PictureFit {

// The size to decode at, in the stored frame (a decoder scales before it applies the
// orientation): just enough for the fit to draw it at the box's size, never above the stored
// size. axesSwapped: the orientation turns the picture by a quarter.
QSize decodeSize(QSize stored, bool axesSwapped, QSizeF box, const QString& fit);

struct Placement {
    QRectF target; // in the box
    QRectF source; // in the picture's pixels
};
// Where the upright picture goes in the box: "contain" whole and centred, "cover" filling the
// box with the centre of the picture, "fill" stretched to it.
Placement place(QSizeF picture, QSizeF box, const QString& fit);

// How long a frame of an animation stays: as declared, except that the near-zero delays
// that encoders write for "as fast as possible" are shown as browsers show them.
int frameDelayMs(int declaredMs);

} // namespace PictureFit

// A picture on the stage: a still picture drawn upright, or an animated GIF or WebP that plays
// while `playing`. Decoding happens on a worker, one frame at a time, at the size the fit
// needs; an animation holds the frame on glass and the one after it, never every frame.
// `ready` comes once the first frame is decoded (again after a new source), `failed` when it
// cannot be.
class PictureItem : public QQuickItem {
    Q_OBJECT
    Q_PROPERTY(QUrl source READ source WRITE setSource NOTIFY sourceChanged)
    Q_PROPERTY(QString fit READ fit WRITE setFit NOTIFY fitChanged)
    Q_PROPERTY(bool playing READ playing WRITE setPlaying NOTIFY playingChanged)
    Q_PROPERTY(int frameCount READ frameCount NOTIFY frameChanged)
    Q_PROPERTY(int frameIndex READ frameIndex NOTIFY frameChanged)
    // The most decoded frames this item held at once (the one shown, the next, one on its way).
    Q_PROPERTY(int peakFramesHeld READ peakFramesHeld NOTIFY frameChanged)
public:
    explicit PictureItem(QQuickItem* parent = nullptr);
    ~PictureItem() override;

    QUrl source() const { return source_; }
    void setSource(const QUrl& source);
    QString fit() const { return fit_; }
    void setFit(const QString& fit);
    bool playing() const { return playing_; }
    void setPlaying(bool playing);
    int frameCount() const { return frameCount_; }
    int frameIndex() const { return frameIndex_; }
    int peakFramesHeld() const { return peakFramesHeld_; }

    struct Decoder;
    struct Decoded {
        QImage image;
        int delayMs = 0;
        int frameCount = 0;
        int loopCount = 0;
    };

Q_SIGNALS:
    void sourceChanged();
    void fitChanged();
    void playingChanged();
    void frameChanged();
    void ready();
    void failed();

protected:
    void componentComplete() override;
    void geometryChange(const QRectF& newGeometry, const QRectF& oldGeometry) override;
    QSGNode* updatePaintNode(QSGNode* oldNode, UpdatePaintNodeData* data) override;

private:
    void scheduleLoad();
    void load();
    void decodeNext();
    void decode(bool first);
    void landed(quint64 generation, const Decoded& decoded);
    void frameDue();
    void show(const QImage& image, int delayMs, int index);
    void noteHeld();
    bool animating() const;

    QUrl source_;
    QString fit_ = QStringLiteral("fill");
    bool playing_ = false;
    bool loadQueued_ = false;
    QSizeF loadedBox_;
    // Every load starts a generation; a decode that lands for an older one is dropped.
    quint64 generation_ = 0;
    std::shared_ptr<Decoder> decoder_;
    bool decoding_ = false;
    QImage shown_;
    quint64 shownSerial_ = 0;
    int shownDelayMs_ = 0;
    QImage next_;
    int nextDelayMs_ = 0;
    bool due_ = false;
    int frameCount_ = 0;
    int frameIndex_ = 0;
    int loopCount_ = 0;
    int loopsDone_ = 0;
    int peakFramesHeld_ = 0;
    QTimer frameTimer_;
};

} // namespace talvorine
