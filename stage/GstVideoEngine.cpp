#include "stage/GstVideoEngine.h"

#include "stage/AudioOutput.h"
#include "stage/VideoFrameItem.h"

#include <QLoggingCategory>
#include <QQmlEngine>
#include <QQuickItem>
#include <QRunnable>
#include <QQuickWindow>
#include <QSet>
#include <QThread>
#include <QTimer>

#include <gst/app/gstappsink.h>

#include <algorithm>
#include <utility>

namespace talvorine {

namespace {

using namespace gstsupport;

Q_LOGGING_CATEGORY(lcVideo, "talvorine.video")

// The class the GStreamer Qt 6 plug-in gives its QML video item; its sink dereferences the
// "widget" pointer as that class, so nothing else may be handed to it.
constexpr char gpuVideoItemClass[] = "Qt6GLVideoItem";

struct ProcessVideoState {
    QSet<GstVideoEngine*> engines;
    double gain = 1.0;
    GstVideoEngine::FramePath path = GstVideoEngine::FramePath::Undecided;
};

// GUI thread only, like every engine.
ProcessVideoState& processState()
{
    static ProcessVideoState state;
    return state;
}

void decideFramePath(GstVideoEngine::FramePath path, const char* reason)
{
    auto& state = processState();
    if (state.path != GstVideoEngine::FramePath::Undecided)
        return;
    state.path = path;
    if (path == GstVideoEngine::FramePath::GpuSink)
        qCInfo(lcVideo, "video frames reach the screen through the GPU sink (%s)", reason);
    else
        qCWarning(lcVideo, "video frames reach the screen through our own frame path (%s)",
                  reason);
}

void ensureGstInitialized()
{
    if (!gst_is_initialized())
        gst_init(nullptr, nullptr);
}

// What the appsink's callbacks share; the sink's streaming thread calls them one at a time.
struct FrameHandOver {
    std::shared_ptr<VideoFrameMailbox> mailbox;
    // The buffer of the last preroll. Once the pipeline plays, the sink renders that same
    // buffer again, and its picture is on its way already. Only compared, never dereferenced:
    // the sink holds the buffer from its preroll to its rendering, and a flush in between
    // brings a new preroll, so the address cannot name another frame when it is compared.
    const GstBuffer* prerollBuffer = nullptr;
};

GstFlowReturn onNewSample(GstAppSink* sink, gpointer data)
{
    auto* handOver = static_cast<FrameHandOver*>(data);
    GstSample* sample = gst_app_sink_pull_sample(sink);
    const GstBuffer* preroll = std::exchange(handOver->prerollBuffer, nullptr);
    if (!sample)
        return GST_FLOW_OK;
    if (gst_sample_get_buffer(sample) == preroll) {
        gst_sample_unref(sample);
        return GST_FLOW_OK;
    }
    handOver->mailbox->post(sample);
    return GST_FLOW_OK;
}

GstFlowReturn onNewPreroll(GstAppSink* sink, gpointer data)
{
    auto* handOver = static_cast<FrameHandOver*>(data);
    GstSample* sample = gst_app_sink_pull_preroll(sink);
    handOver->prerollBuffer = sample ? gst_sample_get_buffer(sample) : nullptr;
    if (sample)
        handOver->mailbox->post(sample);
    return GST_FLOW_OK;
}

void deleteFrameHandOver(gpointer data)
{
    delete static_cast<FrameHandOver*>(data);
}

bool isLocalFileUrl(const QUrl& url)
{
    if (!url.isValid() || url.scheme() != QLatin1String("file") || url.path().isEmpty())
        return false;
    const QString host = url.host();
    return host.isEmpty() || host == QLatin1String("localhost");
}

qint64 nanosToMs(gint64 nanos)
{
    return nanos < 0 ? -1 : nanos / GST_MSECOND;
}

// Deletes the item it holds once the render thread has run it or dropped it with its window.
class DeferredItemDeletion : public QRunnable {
public:
    explicit DeferredItemDeletion(QQuickItem* item)
        : item_(item)
    {
    }
    ~DeferredItemDeletion() override { item_->deleteLater(); }
    void run() override {}

private:
    QQuickItem* item_;
};

// The GPU sink's item schedules a job on the render thread, at the next synchronisation of the
// window it joins, that calls back into the item; an item deleted before that synchronisation
// (a placement torn down before its window drew again, as happens on a busy machine) is called
// after its end. So the item leaves the scene now and is deleted only after that
// synchronisation has passed: the job that deletes it runs after every job scheduled before it.
// The window is the last one the item joined: a placement going away takes its items out of
// the window before its children are deleted.
void retireGpuItemAfterNextSync(QObject* object, QQuickWindow* window)
{
    auto* item = qobject_cast<QQuickItem*>(object);
    if (!item || !window || !item->inherits(gpuVideoItemClass))
        return;
    QQmlEngine::setObjectOwnership(item, QQmlEngine::CppOwnership);
    item->setParentItem(nullptr);
    item->setParent(nullptr);
    window->scheduleRenderJob(new DeferredItemDeletion(item), QQuickWindow::AfterSynchronizingStage);
}

} // namespace

GstVideoEngine::GstVideoEngine(QObject* parent)
    : QObject(parent)
{
    prerollWatchdog_.setParent(this);
    prerollWatchdog_.setObjectName(QStringLiteral("prerollWatchdog"));
    prerollWatchdog_.setSingleShot(true);
    prerollWatchdog_.setInterval(prerollStallMs);
    connect(&prerollWatchdog_, &QTimer::timeout, this, &GstVideoEngine::handlePrerollStall);
    processState().engines.insert(this);
}

GstVideoEngine::~GstVideoEngine()
{
    teardown();
    retireGpuItemAfterNextSync(videoItem_.data(), videoItemWindow_.data());
    processState().engines.remove(this);
}

void GstVideoEngine::setPlayerVolume(double gain)
{
    auto& state = processState();
    state.gain = clampGain(gain);
    for (GstVideoEngine* engine : std::as_const(state.engines))
        engine->applyVolume();
}

double GstVideoEngine::playerVolume()
{
    return processState().gain;
}

int GstVideoEngine::liveEngineCount()
{
    return int(processState().engines.size());
}

bool GstVideoEngine::registerGpuSinkBeforeQmlLoad()
{
    ensureGstInitialized();
    GstElement* sink = gst_element_factory_make("qml6glsink", "talvorine-qml-sink-register");
    if (sink) {
        gst_object_unref(gst_object_ref_sink(sink));
        qWarning("gst qml6glsink registered before qml load");
        return true;
    }
    qWarning("gst qml6glsink factory-make failed before qml load");
    decideFramePath(FramePath::OwnFrames, "the GPU sink cannot be created");
    return false;
}

GstVideoEngine::FramePath GstVideoEngine::framePath()
{
    return processState().path;
}

void GstVideoEngine::resetFramePathForTesting()
{
    processState().path = FramePath::Undecided;
}

void GstVideoEngine::setVideoItem(QObject* item)
{
    if (videoItem_ == item)
        return;
    if (auto* previous = qobject_cast<QQuickItem*>(videoItem_.data()))
        disconnect(previous, &QQuickItem::windowChanged, this, nullptr);
    videoItem_ = item;
    videoItemWindow_.clear();
    if (auto* quick = qobject_cast<QQuickItem*>(item)) {
        videoItemWindow_ = quick->window();
        connect(quick, &QQuickItem::windowChanged, this, [this](QQuickWindow* window) {
            if (window)
                videoItemWindow_ = window;
        });
    }
    Q_EMIT videoItemChanged();
    scheduleStart();
}

QObject* GstVideoEngine::frameItem() const
{
    return frameItem_.data();
}

void GstVideoEngine::setFrameItem(QObject* item)
{
    auto* frames = qobject_cast<VideoFrameItem*>(item);
    if (frameItem_ == frames)
        return;
    frameItem_ = frames;
    Q_EMIT frameItemChanged();
    scheduleStart();
}

void GstVideoEngine::setSource(const QUrl& source)
{
    if (source_ == source)
        return;
    source_ = source;
    Q_EMIT sourceChanged();
    teardown();
    stopped_ = false;
    setState(QStringLiteral("idle"));
    scheduleStart();
}

void GstVideoEngine::setStreamSources(const QVariantList& sources)
{
    if (streamSources_ == sources)
        return;
    streamSources_ = sources;
    Q_EMIT streamSourcesChanged();
    if (!source_.isEmpty())
        return;
    teardown();
    stopped_ = false;
    setState(QStringLiteral("idle"));
    scheduleStart();
}

void GstVideoEngine::setMuted(bool muted)
{
    if (muted_ == muted)
        return;
    muted_ = muted;
    if (pipeline_)
        g_object_set(pipeline_.get(), "mute", gboolean(muted_), nullptr);
    Q_EMIT mutedChanged();
}

void GstVideoEngine::setActive(bool active)
{
    if (active_ == active)
        return;
    active_ = active;
    Q_EMIT activeChanged();
    applyTargetState();
}

double GstVideoEngine::pipelineVolume() const
{
    if (!pipeline_)
        return -1;
    double volume = -1;
    g_object_get(pipeline_.get(), "volume", &volume, nullptr);
    return volume;
}

quint64 GstVideoEngine::framesDroppedBySink() const
{
    if (!appSink_)
        return 0;
    GstStructure* stats = nullptr;
    g_object_get(appSink_, "stats", &stats, nullptr);
    guint64 dropped = 0;
    if (stats) {
        gst_structure_get_uint64(stats, "dropped", &dropped);
        gst_structure_free(stats);
    }
    return dropped;
}

bool GstVideoEngine::gpuSinkUsable() const
{
    ensureGstInitialized();
    return processState().path != FramePath::OwnFrames && hasFactory("qml6glsink");
}

void GstVideoEngine::restart()
{
    if (!active_) {
        active_ = true;
        Q_EMIT activeChanged();
    }
    startedSent_ = false;
    if (pipeline_) {
        const auto flags = GstSeekFlags(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE);
        if (gst_element_seek_simple(pipeline_.get(), GST_FORMAT_TIME, flags, 0)) {
            setState(QStringLiteral("loading"));
            applyTargetState();
            return;
        }
        teardown();
    }
    // A restart is also the way to try a failed or stopped video again.
    stopped_ = false;
    if (state_ == QLatin1String("failed"))
        setState(QStringLiteral("idle"));
    startIfReady();
}

void GstVideoEngine::stop()
{
    teardown();
    stopped_ = true;
    if (frameItem_)
        frameItem_->clearFrame();
    setState(QStringLiteral("idle"));
}

void GstVideoEngine::refreshPosition()
{
    gint64 position = -1;
    gint64 duration = -1;
    if (pipeline_) {
        if (!gst_element_query_position(pipeline_.get(), GST_FORMAT_TIME, &position))
            position = -1;
        if (!gst_element_query_duration(pipeline_.get(), GST_FORMAT_TIME, &duration))
            duration = -1;
    }
    const qint64 positionMs = nanosToMs(position);
    const qint64 durationMs = nanosToMs(duration);
    if (positionMs == positionMs_ && durationMs == durationMs_)
        return;
    positionMs_ = positionMs;
    durationMs_ = durationMs;
    Q_EMIT positionChanged();
}

void GstVideoEngine::scheduleStart()
{
    if (startPending_ || pipeline_)
        return;
    startPending_ = true;
    const quint64 generation = generation_;
    // Properties arrive one by one while QML builds the placement; start once they have.
    QTimer::singleShot(0, this, [this, generation] {
        if (generation != generation_ || !startPending_)
            return;
        startPending_ = false;
        startIfReady();
    });
}

bool GstVideoEngine::sceneGraphReady()
{
    auto* item = qobject_cast<QQuickItem*>(videoItem_.data());
    QQuickWindow* window = item ? item->window() : nullptr;
    QObject::disconnect(sceneGraphConnection_);
    if (!item)
        return false;
    if (!window) {
        sceneGraphConnection_ = connect(item, &QQuickItem::windowChanged, this,
                                        &GstVideoEngine::scheduleStart);
        return false;
    }
    if (window->isSceneGraphInitialized())
        return true;
    sceneGraphConnection_ = connect(window, &QQuickWindow::sceneGraphInitialized, this,
                                    &GstVideoEngine::scheduleStart, Qt::QueuedConnection);
    return false;
}

void GstVideoEngine::startIfReady()
{
    if (pipeline_ || stopped_ || state_ == QLatin1String("failed"))
        return;
    if (source_.isEmpty() && streamSources_.isEmpty())
        return;
    QString code;
    candidates_ = candidateUris(&code);
    candidateIndex_ = 0;
    rebuiltAfterStall_ = false;
    if (candidates_.isEmpty()) {
        fail(code);
        return;
    }

    const bool gpuFactory = hasFactory("qml6glsink");
    const bool gpuItemUsable = videoItem_ && videoItem_->inherits(gpuVideoItemClass);
    const bool gpuPossible = processState().path != FramePath::OwnFrames && gpuItemUsable
        && gpuFactory;
    if (!gpuPossible && !frameItem_) {
        if (!videoItem_)
            return; // nothing to render into yet
        fail(gpuFactory ? QStringLiteral("qml_gpu_sink_incompatible")
                        : QStringLiteral("qml_gpu_sink_unavailable"));
        return;
    }
    if (gpuPossible && !sceneGraphReady())
        return;

    setState(QStringLiteral("loading"));
    if (gpuPossible) {
        if (buildPipeline(candidates_.at(0), Sink::Gpu, &code))
            return;
        if (code == QLatin1String("playbin3_unavailable") || !frameItem_) {
            fail(code);
            return;
        }
        fallBackToOwnFrames(QStringLiteral("GPU sink: ") + code);
        return;
    }
    startOwnFrames();
}

void GstVideoEngine::fallBackToOwnFrames(const QString& reason)
{
    // The GPU sink cannot show frames on this system: every later engine of the process takes
    // our own frame path, and this one retries on it now.
    teardown();
    decideFramePath(FramePath::OwnFrames, qPrintable(reason));
    setState(QStringLiteral("loading"));
    startOwnFrames();
}

void GstVideoEngine::startOwnFrames()
{
    QString code;
    if (buildPipeline(candidates_.at(candidateIndex_), Sink::Frames, &code))
        return;
    QString next;
    if (code == QLatin1String("pipeline_start_failed") && frameItem_ && tryNextCandidate(&next))
        return;
    fail(next.isEmpty() ? code : next);
}

GstElement* GstVideoEngine::makeGpuVideoSink(QString* code)
{
    // Rebuilds (next candidate, stall) come later than the start: the scene may have dropped
    // the item since.
    if (!videoItem_) {
        *code = QStringLiteral("qml_gpu_sink_incompatible");
        return nullptr;
    }
    if (!hasFactory("qml6glsink")) {
        *code = QStringLiteral("qml_gpu_sink_unavailable");
        return nullptr;
    }
    if (!videoItem_->inherits(gpuVideoItemClass)) {
        *code = QStringLiteral("qml_gpu_sink_incompatible");
        return nullptr;
    }
    GstElement* convert = gst_element_factory_make("videoconvert", nullptr);
    GstElement* upload = gst_element_factory_make("glupload", nullptr);
    GstElement* sink = gst_element_factory_make("qml6glsink", nullptr);
    if (!convert || !upload || !sink) {
        for (GstElement* element : {convert, upload, sink})
            if (element)
                gst_object_unref(gst_object_ref_sink(element));
        *code = QStringLiteral("qml_gpu_sink_unavailable");
        return nullptr;
    }
    g_object_set(sink, "widget", static_cast<gpointer>(videoItem_.data()), nullptr);
    gpointer accepted = nullptr;
    g_object_get(sink, "widget", &accepted, nullptr);
    if (!accepted) {
        gst_object_unref(gst_object_ref_sink(convert));
        gst_object_unref(gst_object_ref_sink(upload));
        gst_object_unref(gst_object_ref_sink(sink));
        *code = QStringLiteral("qml_gpu_sink_incompatible");
        return nullptr;
    }
    GstElement* bin = sinkBin("talvorine-gpu-video", {convert, upload, sink});
    if (!bin) {
        *code = QStringLiteral("qml_gpu_sink_incompatible");
        return nullptr;
    }
    // The sink wraps the scene's GL context on its way to READY. playbin would only bring it
    // there once the stream is decoded, and report a failure as a playback error, so the
    // sink is started on its own first.
    gst_object_ref_sink(bin);
    if (gst_element_set_state(bin, GST_STATE_READY) == GST_STATE_CHANGE_FAILURE) {
        gst_element_set_state(bin, GST_STATE_NULL);
        gst_object_unref(bin);
        *code = QStringLiteral("qml_gpu_sink_incompatible");
        return nullptr;
    }
    gpuSinkBin_ = bin;
    return bin;
}

GstElement* GstVideoEngine::makeFrameVideoSink(QString* code)
{
    if (!frameItem_) {
        *code = QStringLiteral("pipeline_start_failed");
        return nullptr;
    }
    GstElement* convert = gst_element_factory_make("videoconvert", nullptr);
    GstElement* sink = gst_element_factory_make("appsink", nullptr);
    if (!convert || !sink) {
        for (GstElement* element : {convert, sink})
            if (element)
                gst_object_unref(gst_object_ref_sink(element));
        *code = QStringLiteral("pipeline_start_failed");
        return nullptr;
    }
    // Colour conversion is the costly step on the CPU; a few threads keep 1080p in time
    // without taking every core from the rest of the player.
    const int threads = std::clamp(QThread::idealThreadCount() / 2, 1, 4);
    g_object_set(convert, "n-threads", guint(threads), nullptr);
    GstCaps* caps = gst_caps_from_string("video/x-raw,format=RGBx");
    g_object_set(sink, "caps", caps, "qos", TRUE, "max-buffers", guint(2), nullptr);
    gst_caps_unref(caps);
    GstAppSinkCallbacks callbacks{};
    callbacks.new_preroll = onNewPreroll;
    callbacks.new_sample = onNewSample;
    gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks,
                               new FrameHandOver{frameItem_->mailbox()}, deleteFrameHandOver);
    GstElement* bin = sinkBin("talvorine-frame-video", {convert, sink});
    if (!bin) {
        *code = QStringLiteral("pipeline_start_failed");
        return nullptr;
    }
    appSink_ = sink;
    return bin;
}

bool GstVideoEngine::buildPipeline(const QString& uri, Sink sinkKind, QString* code)
{
    ensureGstInitialized();
    ElementPtr playbin = makeElement("playbin3", "talvorine-video");
    if (!playbin) {
        *code = QStringLiteral("playbin3_unavailable");
        return false;
    }
    GstElement* videoSink = sinkKind == Sink::Gpu ? makeGpuVideoSink(code)
                                                  : makeFrameVideoSink(code);
    if (!videoSink) {
        appSink_ = nullptr;
        gpuSinkBin_ = nullptr;
        return false;
    }
    const QByteArray uriBytes = uri.toUtf8();
    g_object_set(playbin.get(), "uri", uriBytes.constData(), "video-sink", videoSink, "volume",
                 processState().gain, "mute", gboolean(muted_), nullptr);
    if (ElementPtr audio = AudioOutput::sinkForPlayback())
        g_object_set(playbin.get(), "audio-sink", audio.get(), nullptr);
    if (sinkKind == Sink::Gpu)
        gst_object_unref(videoSink); // the reference taken for the sink's own start
    sinkKind_ = sinkKind;

    ++generation_;
    prerolledSent_ = false;
    startedSent_ = false;
    live_ = false;
    pipeline_ = std::move(playbin);
    installBusRelay(pipeline_.get(), this, generation_,
                    [this](quint64 generation, GstMessage* message) {
                        handleBusMessage(generation, message);
                    });

    // Sinks claim their window system and GL context on the way to READY: a failure there is the
    // sink's, not the media's.
    if (gst_element_set_state(pipeline_.get(), GST_STATE_READY) == GST_STATE_CHANGE_FAILURE) {
        *code = sinkKind == Sink::Gpu ? QStringLiteral("qml_gpu_sink_incompatible")
                                      : QStringLiteral("pipeline_start_failed");
        teardown();
        return false;
    }
    const GstState target = active_ ? GST_STATE_PLAYING : GST_STATE_PAUSED;
    const GstStateChangeReturn change = gst_element_set_state(pipeline_.get(), target);
    if (change == GST_STATE_CHANGE_FAILURE) {
        *code = QStringLiteral("pipeline_start_failed");
        teardown();
        return false;
    }
    prerollWatchdog_.start();
    if (change == GST_STATE_CHANGE_NO_PREROLL)
        noteLive();
    return true;
}

void GstVideoEngine::noteLive()
{
    if (live_)
        return;
    live_ = true;
    qCInfo(lcVideo, "live source: no first frame before it plays");
    if (active_)
        return; // the first frame comes with PLAYING
    // A live source produces nothing while paused, so there is no first frame to hold: it is as
    // ready as it gets, and shows its picture once it plays.
    const quint64 generation = generation_;
    QTimer::singleShot(0, this, [this, generation] {
        if (generation == generation_ && pipeline_ && !active_)
            notePrerolled(false);
    });
}

void GstVideoEngine::notePrerolled(bool frameShown)
{
    if (prerolledSent_)
        return;
    prerolledSent_ = true;
    prerollWatchdog_.stop();
    // Only a frame on screen proves the GPU sink works on this system.
    if (sinkKind_ == Sink::Gpu && frameShown)
        decideFramePath(FramePath::GpuSink, "the sink showed a first frame");
    if (!active_)
        setState(QStringLiteral("paused"));
    Q_EMIT prerolled();
}

void GstVideoEngine::handlePrerollStall()
{
    if (!pipeline_ || prerolledSent_)
        return;
    // playbin3 can, rarely, stall while it sets up its decoders and never reach the first
    // frame. One fresh pipeline almost always gets through; a second stall is a failure.
    if (rebuiltAfterStall_) {
        qCWarning(lcVideo, "pipeline stalled again before its first frame");
        fail(QStringLiteral("pipeline_start_failed"));
        return;
    }
    qCWarning(lcVideo, "pipeline stalled before its first frame; rebuilding it once");
    rebuiltAfterStall_ = true;
    const Sink sink = sinkKind_;
    teardown();
    setState(QStringLiteral("loading"));
    QString code;
    if (!buildPipeline(candidates_.at(candidateIndex_), sink, &code))
        fail(code);
}

void GstVideoEngine::applyTargetState()
{
    if (!pipeline_)
        return;
    const GstState target = active_ ? GST_STATE_PLAYING : GST_STATE_PAUSED;
    const GstStateChangeReturn change = gst_element_set_state(pipeline_.get(), target);
    if (change == GST_STATE_CHANGE_FAILURE) {
        fail(QStringLiteral("pipeline_start_failed"));
        return;
    }
    if (change == GST_STATE_CHANGE_NO_PREROLL)
        noteLive();
    if (!active_ && (state_ == QLatin1String("playing")))
        setState(QStringLiteral("paused"));
}

void GstVideoEngine::handleBusMessage(quint64 generation, GstMessage* message)
{
    if (generation != generation_ || !pipeline_)
        return; // a replaced or stopped pipeline
    const bool fromPipeline = GST_MESSAGE_SRC(message) == GST_OBJECT(pipeline_.get());
    switch (GST_MESSAGE_TYPE(message)) {
    case GST_MESSAGE_ERROR: {
        GError* error = nullptr;
        gchar* debug = nullptr;
        gst_message_parse_error(message, &error, &debug);
        qCWarning(lcVideo, "playback error from %s: %s", GST_MESSAGE_SRC_NAME(message),
                  error ? error->message : "");
        g_clear_error(&error);
        g_free(debug);
        if (sinkKind_ == Sink::Gpu && !prerolledSent_ && gpuSinkBin_
            && gst_object_has_as_ancestor(GST_MESSAGE_SRC(message), GST_OBJECT(gpuSinkBin_))
            && processState().path == FramePath::Undecided && frameItem_) {
            fallBackToOwnFrames(QStringLiteral("GPU sink: playback error before the first frame"));
            break;
        }
        QString code;
        if (!tryNextCandidate(&code))
            fail(code.isEmpty() ? QStringLiteral("gstreamer_playback_error") : code);
        break;
    }
    case GST_MESSAGE_EOS:
        setState(QStringLiteral("ended"));
        Q_EMIT endOfStream();
        break;
    case GST_MESSAGE_ASYNC_DONE: {
        // A live pipeline reaches this only in PLAYING, with its first frame.
        notePrerolled(true);
        if (generation != generation_ || !pipeline_)
            break; // a handler of prerolled() replaced or stopped the pipeline
        GstState current = GST_STATE_NULL;
        gst_element_get_state(pipeline_.get(), &current, nullptr, 0);
        if (active_ && current == GST_STATE_PLAYING && !startedSent_) {
            // A flushing seek in PLAYING (restart) does not change the pipeline's state.
            startedSent_ = true;
            setState(QStringLiteral("playing"));
            Q_EMIT started();
        } else if (!active_ && state_ == QLatin1String("loading")) {
            setState(QStringLiteral("paused"));
        }
        break;
    }
    case GST_MESSAGE_STATE_CHANGED: {
        if (!fromPipeline)
            break;
        GstState oldState, newState, pending;
        gst_message_parse_state_changed(message, &oldState, &newState, &pending);
        if (newState == GST_STATE_PLAYING && active_ && !startedSent_) {
            notePrerolled(true);
            if (generation != generation_ || !pipeline_)
                break;
            startedSent_ = true;
            setState(QStringLiteral("playing"));
            Q_EMIT started();
        } else if (newState == GST_STATE_PAUSED && !active_ && prerolledSent_
                   && state_ == QLatin1String("playing")) {
            setState(QStringLiteral("paused"));
        }
        break;
    }
    default:
        break;
    }
}

bool GstVideoEngine::tryNextCandidate(QString* itemCode)
{
    if (candidateIndex_ + 1 >= candidates_.size())
        return false;
    const Sink sink = sinkKind_;
    while (++candidateIndex_ < candidates_.size()) {
        teardown();
        setState(QStringLiteral("loading"));
        QString code;
        if (buildPipeline(candidates_.at(candidateIndex_), sink, &code))
            return true;
        // Without the item to draw into, no other candidate can do better.
        if (sink == Sink::Gpu ? !videoItem_ : !frameItem_) {
            *itemCode = code;
            return false;
        }
    }
    return false;
}

void GstVideoEngine::teardown()
{
    ++generation_;
    startPending_ = false;
    QObject::disconnect(sceneGraphConnection_);
    prerollWatchdog_.stop();
    releasePipeline(pipeline_);
    appSink_ = nullptr;
    gpuSinkBin_ = nullptr;
}

void GstVideoEngine::fail(const QString& code)
{
    teardown();
    if (errorCode_ != code) {
        errorCode_ = code;
        Q_EMIT errorCodeChanged();
    }
    setState(QStringLiteral("failed"));
    Q_EMIT failed(code);
}

void GstVideoEngine::setState(const QString& state)
{
    if (state_ == state)
        return;
    state_ = state;
    Q_EMIT stateChanged();
}

void GstVideoEngine::applyVolume()
{
    if (pipeline_)
        g_object_set(pipeline_.get(), "volume", processState().gain, nullptr);
}

QStringList GstVideoEngine::candidateUris(QString* code) const
{
    if (!source_.isEmpty()) {
        if (!isLocalFileUrl(source_)) {
            *code = QStringLiteral("rejected_non_local_video");
            return {};
        }
        return {source_.toString(QUrl::FullyEncoded)};
    }
    const bool multicast = qgetenv("TALVORINE_ENABLE_MULTICAST") == "1";
    QStringList uris;
    for (const QVariant& entry : streamSources_) {
        const QVariantMap map = entry.toMap();
        const QString protocol = map.value(QStringLiteral("protocol")).toString();
        if (protocol == QLatin1String("hls")) {
            // Manifest streams are HTTPS only; the URL itself is read as leniently as anywhere.
            const QUrl url(map.value(QStringLiteral("url")).toString(), QUrl::TolerantMode);
            if (url.isValid() && !url.host().isEmpty() && url.scheme() == QLatin1String("https"))
                uris.append(url.toString(QUrl::FullyEncoded));
        } else if (protocol == QLatin1String("udp-mpegts") && multicast) {
            const QString group = map.value(QStringLiteral("group")).toString();
            bool ok = false;
            const int port = map.value(QStringLiteral("port")).toInt(&ok);
            if (!group.isEmpty() && ok && port > 0 && port <= 65535)
                uris.append(QStringLiteral("udp://%1:%2").arg(group).arg(port));
        }
    }
    if (uris.isEmpty())
        *code = QStringLiteral("pipeline_start_failed");
    return uris;
}

} // namespace talvorine
