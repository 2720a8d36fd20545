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
    // playbin3 of GStreamer 1.22 can start its file source before its decoder has left READY:
    // the first buffer is refused, and the pipeline waits in READY for ever, with neither an end
    // nor an error. A fresh pipeline almost always gets through; a second stall is the track's
    // failure, so that the caller moves on as for any track that cannot play.
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
