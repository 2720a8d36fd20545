#pragma once

#include "stage/GstPipelineSupport.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QUrl>
#include <QVariantList>

class QQuickWindow;

namespace talvorine {

class VideoFrameItem;

// One video of the stage, played by a GStreamer playbin3 into the scene. Two ways to the screen
// exist: the GPU sink rendering into the scene's Qt 6 GL video item, and our own frame path (an
// appsink feeding a VideoFrameItem). Which one this process uses is settled once and is
// invisible to the scene: the same states, signals and failure codes either way.
class GstVideoEngine : public QObject {
    Q_OBJECT
    Q_PROPERTY(QObject* videoItem READ videoItem WRITE setVideoItem NOTIFY videoItemChanged)
    Q_PROPERTY(QObject* frameItem READ frameItem WRITE setFrameItem NOTIFY frameItemChanged)
    Q_PROPERTY(QUrl source READ source WRITE setSource NOTIFY sourceChanged)
    Q_PROPERTY(QVariantList streamSources READ streamSources WRITE setStreamSources
                   NOTIFY streamSourcesChanged)
    Q_PROPERTY(bool muted READ muted WRITE setMuted NOTIFY mutedChanged)
    Q_PROPERTY(bool active READ active WRITE setActive NOTIFY activeChanged)
    Q_PROPERTY(QString state READ state NOTIFY stateChanged)
    Q_PROPERTY(qint64 positionMs READ positionMs NOTIFY positionChanged)
    Q_PROPERTY(qint64 durationMs READ durationMs NOTIFY positionChanged)
    Q_PROPERTY(QString errorCode READ errorCode NOTIFY errorCodeChanged)
public:
    enum class FramePath { Undecided, GpuSink, OwnFrames };

    explicit GstVideoEngine(QObject* parent = nullptr);
    ~GstVideoEngine() override;

    static void setPlayerVolume(double gain);
    static double playerVolume();
    static int liveEngineCount();

    // Creates and releases one "qml6glsink" so that the GStreamer Qt 6 plug-in registers its QML
    // module before the scene is loaded; logs the outcome. When the sink cannot be made the
    // process takes its own frame path from the start.
    static bool registerGpuSinkBeforeQmlLoad();
    static FramePath framePath();
    // How long a pipeline may take to its first frame before it is rebuilt once, then failed;
    // the engine's child timer "prerollWatchdog" measures it.
    static constexpr int prerollStallMs = 15000;
    // Tests only: forget the process-wide choice.
    static void resetFramePathForTesting();

    QObject* videoItem() const { return videoItem_.data(); }
    void setVideoItem(QObject* item);
    QObject* frameItem() const;
    void setFrameItem(QObject* item);
    QUrl source() const { return source_; }
    void setSource(const QUrl& source);
    QVariantList streamSources() const { return streamSources_; }
    void setStreamSources(const QVariantList& sources);
    bool muted() const { return muted_; }
    void setMuted(bool muted);
    bool active() const { return active_; }
    void setActive(bool active);
    QString state() const { return state_; }
    qint64 positionMs() const { return positionMs_; }
    qint64 durationMs() const { return durationMs_; }
    QString errorCode() const { return errorCode_; }

    // The "volume" of the running pipeline, -1 without one.
    double pipelineVolume() const;
    // Frames the sink itself dropped as late (quality of service), for measurements.
    quint64 framesDroppedBySink() const;

    // Whether the GPU sink may still be tried in this process (its factory exists and no start
    // of it has failed).
    Q_INVOKABLE bool gpuSinkUsable() const;

    Q_INVOKABLE void restart();
    Q_INVOKABLE void stop();
    Q_INVOKABLE void refreshPosition();

Q_SIGNALS:
    void videoItemChanged();
    void frameItemChanged();
    void sourceChanged();
    void streamSourcesChanged();
    void mutedChanged();
    void activeChanged();
    void stateChanged();
    void positionChanged();
    void errorCodeChanged();
    void prerolled();
    void started();
    void endOfStream();
    void failed(const QString& code);

private:
    enum class Sink { Gpu, Frames };

    void scheduleStart();
    void fallBackToOwnFrames(const QString& reason);
    void startOwnFrames();
    void handlePrerollStall();
    void noteLive();
    void notePrerolled(bool frameShown);
    void startIfReady();
    bool buildPipeline(const QString& uri, Sink sink, QString* code);
    GstElement* makeGpuVideoSink(QString* code);
    GstElement* makeFrameVideoSink(QString* code);
    bool sceneGraphReady();
    void applyTargetState();
    void handleBusMessage(quint64 generation, GstMessage* message);
    void teardown();
    void fail(const QString& code);
    void setState(const QString& state);
    void applyVolume();
    QStringList candidateUris(QString* code) const;
    // Builds the next stream candidate; false when none is left, or when the item to draw
    // into is gone (`itemCode` then holds the failure code).
    bool tryNextCandidate(QString* itemCode);

    QPointer<QObject> videoItem_;
    // The last window the video item joined, which its teardown must outlive (see the .cpp).
    QPointer<QQuickWindow> videoItemWindow_;
    QPointer<VideoFrameItem> frameItem_;
    QUrl source_;
    QVariantList streamSources_;
    bool muted_ = false;
    bool active_ = false;
    QString state_ = QStringLiteral("idle");
    qint64 positionMs_ = -1;
    qint64 durationMs_ = -1;
    QString errorCode_;

    gstsupport::ElementPtr pipeline_;
    GstElement* appSink_ = nullptr; // owned by the pipeline
    GstElement* gpuSinkBin_ = nullptr; // owned by the pipeline
    Sink sinkKind_ = Sink::Frames;
    quint64 generation_ = 0;
    bool startPending_ = false;
    bool stopped_ = false;
    bool prerolledSent_ = false;
    bool startedSent_ = false;
    // The running pipeline's source is live (no preroll in PAUSED).
    bool live_ = false;
    QStringList candidates_;
    int candidateIndex_ = 0;
    QMetaObject::Connection sceneGraphConnection_;
    QTimer prerollWatchdog_;
    bool rebuiltAfterStall_ = false;
};

} // namespace talvorine
