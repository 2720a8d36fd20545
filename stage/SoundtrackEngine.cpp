#include "stage/SoundtrackEngine.h"

#include "stage/AudioOutput.h"

#include <QFileInfo>
#include <QLoggingCategory>

namespace talvorine {

namespace {

using namespace gstsupport;

Q_LOGGING_CATEGORY(lcSoundtrack, "talvorine.soundtrack")

// The pipeline's own word that its start got through: its async-done, or its state change to
// PAUSED or beyond.
bool reportsPreroll(GstMessage* message)
{
    if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ASYNC_DONE)
        return true;
    if (GST_MESSAGE_TYPE(message) != GST_MESSAGE_STATE_CHANGED)
        return false;
    GstState reached = GST_STATE_VOID_PENDING;
    gst_message_parse_state_changed(message, nullptr, &reached, nullptr);
    return reached >= GST_STATE_PAUSED;
}

bool madeBy(GstElement* element, const char* factory)
{
    GstElementFactory* made = gst_element_get_factory(element);
    return made && g_strcmp0(GST_OBJECT_NAME(made), factory) == 0;
}

// playbin3's uridecodebin3 of GStreamer 1.22 may start its file source while its decodebin3 is
// still in READY: the first buffer is refused as flushing, and the start waits for ever with
// neither an end nor an error. A decoder brought to PAUSED as the source joins its bin is ready
// for it. Only that layout (a source in urisourcebin, in uridecodebin3 beside decodebin3 not yet
// under way) is touched; any other is left to the preroll watchdog. Runs on the thread that adds
// the source, inside the pipeline's own start.
void readyDecoderForSource(GstBin*, GstBin* sourceBin, GstElement* element, gpointer)
{
    if (!GST_OBJECT_FLAG_IS_SET(element, GST_ELEMENT_FLAG_SOURCE)
        || !madeBy(GST_ELEMENT(sourceBin), "urisourcebin"))
        return;
    const ElementPtr uriDecoder(GST_ELEMENT(gst_object_get_parent(GST_OBJECT(sourceBin))));
    if (!uriDecoder || !madeBy(uriDecoder.get(), "uridecodebin3"))
        return;
    GST_OBJECT_LOCK(uriDecoder.get());
    const GstState target = GST_STATE_TARGET(uriDecoder.get());
    GST_OBJECT_UNLOCK(uriDecoder.get());
    if (target < GST_STATE_PAUSED)
        return;
    GstIterator* decoders =
        gst_bin_iterate_all_by_element_factory_name(GST_BIN(uriDecoder.get()), "decodebin3");
    GValue found = G_VALUE_INIT;
    if (gst_iterator_next(decoders, &found) == GST_ITERATOR_OK) {
        auto* decoder = GST_ELEMENT(g_value_get_object(&found));
        GstState current = GST_STATE_VOID_PENDING;
        GstState pending = GST_STATE_VOID_PENDING;
        gst_element_get_state(decoder, &current, &pending, 0);
        if (current == GST_STATE_READY && pending == GST_STATE_VOID_PENDING)
            gst_element_set_state(decoder, GST_STATE_PAUSED);
        g_value_unset(&found);
    }
    gst_iterator_free(decoders);
}

} // namespace

SoundtrackEngine::SoundtrackEngine(QObject* parent)
    : QObject(parent)
{
    prerollWatchdog_.setParent(this);
    prerollWatchdog_.setObjectName(QStringLiteral("prerollWatchdog"));
    prerollWatchdog_.setSingleShot(true);
    prerollWatchdog_.setInterval(prerollStallMs);
    connect(&prerollWatchdog_, &QTimer::timeout, this, &SoundtrackEngine::handlePrerollStall);
}

SoundtrackEngine::~SoundtrackEngine()
{
    release();
}

bool SoundtrackEngine::play(const QUrl& localFile, double gain)
{
    release();
    gain_ = clampGain(gain);
    if (!localFile.isLocalFile() || !localFile.host().isEmpty())
        return false;
    const QFileInfo file(localFile.toLocalFile());
    if (!file.isFile() || !file.isReadable())
        return false;
    if (!gst_is_initialized())
        gst_init(nullptr, nullptr);
    source_ = localFile;
    rebuiltAfterStall_ = false;
    return start();
}

bool SoundtrackEngine::start()
{
    ElementPtr playbin = makeElement("playbin3", "talvorine-soundtrack");
    ElementPtr videoSink = makeElement("fakesink");
    if (!playbin || !videoSink)
        return false;
    guint flags = 0;
    g_object_get(playbin.get(), "flags", &flags, nullptr);
    flags &= ~(playFlagVideo | playFlagText);
    flags |= playFlagAudio | playFlagSoftVolume;
    const QByteArray uri = source_.toString(QUrl::FullyEncoded).toUtf8();
    g_object_set(playbin.get(), "uri", uri.constData(), "flags", flags, "video-sink",
                 videoSink.get(), "volume", gain_, nullptr);
    if (ElementPtr audio = AudioOutput::sinkForPlayback())
        g_object_set(playbin.get(), "audio-sink", audio.get(), nullptr);
    g_signal_connect(playbin.get(), "deep-element-added", G_CALLBACK(readyDecoderForSource),
                     nullptr);

    pipeline_ = std::move(playbin);
    prerolled_ = false;
    const quint64 generation = ++generation_;
    installBusRelay(pipeline_.get(), this, generation,
                    [this](quint64 messageGeneration, GstMessage* message) {
                        handleBusMessage(messageGeneration, message);
                    });
    if (gst_element_set_state(pipeline_.get(), GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        release();
        return false;
    }
    prerollWatchdog_.start();
    return true;
}

void SoundtrackEngine::handlePrerollStall()
{
    if (!pipeline_ || prerolled_)
        return;
    // A start the decoder could not be readied for (another layout of playbin3, another stall of
    // its kind) waits in READY for ever, with neither an end nor an error. A fresh pipeline
    // almost always gets through; a second stall is the track's failure, so that the caller
    // moves on as for any track that cannot play.
    if (rebuiltAfterStall_) {
        qCWarning(lcSoundtrack, "soundtrack start stalled again");
        release();
        Q_EMIT trackFailed(QStringLiteral("soundtrack_start_stalled"));
        return;
    }
    qCWarning(lcSoundtrack, "soundtrack start stalled; building it once more");
    rebuiltAfterStall_ = true;
    release();
    if (!start())
        Q_EMIT trackFailed(QStringLiteral("soundtrack_start_failed"));
}

void SoundtrackEngine::setGain(double gain)
{
    gain_ = clampGain(gain);
    if (pipeline_)
        g_object_set(pipeline_.get(), "volume", gain_, nullptr);
}

void SoundtrackEngine::stop()
{
    release();
}

void SoundtrackEngine::release()
{
    ++generation_;
    prerollWatchdog_.stop();
    releasePipeline(pipeline_);
}

void SoundtrackEngine::handleBusMessage(quint64 generation, GstMessage* message)
{
    if (generation != generation_ || !pipeline_)
        return; // a replaced or stopped track
    if (GST_MESSAGE_SRC(message) == GST_OBJECT(pipeline_.get()) && reportsPreroll(message)) {
        prerolled_ = true;
        prerollWatchdog_.stop();
        return;
    }
    switch (GST_MESSAGE_TYPE(message)) {
    case GST_MESSAGE_EOS:
        release();
        Q_EMIT trackEnded();
        break;
    case GST_MESSAGE_ERROR: {
        GError* error = nullptr;
        gst_message_parse_error(message, &error, nullptr);
        qCWarning(lcSoundtrack, "soundtrack playback error from %s: %s",
                  GST_MESSAGE_SRC_NAME(message), error ? error->message : "");
        g_clear_error(&error);
        release();
        Q_EMIT trackFailed(QStringLiteral("soundtrack_playback_error"));
        break;
    }
    default:
        break;
    }
}

} // namespace talvorine
