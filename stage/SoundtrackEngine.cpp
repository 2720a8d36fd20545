#include "stage/SoundtrackEngine.h"

#include "stage/AudioOutput.h"

#include <QFileInfo>
#include <QLoggingCategory>

namespace talvorine {

namespace {

using namespace gstsupport;

Q_LOGGING_CATEGORY(lcSoundtrack, "talvorine.soundtrack")

} // namespace

SoundtrackEngine::SoundtrackEngine(QObject* parent)
    : QObject(parent)
{
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

    ElementPtr playbin = makeElement("playbin3", "talvorine-soundtrack");
    ElementPtr videoSink = makeElement("fakesink");
    if (!playbin || !videoSink)
        return false;
    guint flags = 0;
    g_object_get(playbin.get(), "flags", &flags, nullptr);
    flags &= ~(playFlagVideo | playFlagText);
    flags |= playFlagAudio | playFlagSoftVolume;
    const QByteArray uri = localFile.toString(QUrl::FullyEncoded).toUtf8();
    g_object_set(playbin.get(), "uri", uri.constData(), "flags", flags, "video-sink",
                 videoSink.get(), "volume", gain_, nullptr);
    if (ElementPtr audio = AudioOutput::sinkForPlayback())
        g_object_set(playbin.get(), "audio-sink", audio.get(), nullptr);

    pipeline_ = std::move(playbin);
    const quint64 generation = ++generation_;
    installBusRelay(pipeline_.get(), this, generation,
                    [this](quint64 messageGeneration, GstMessage* message) {
                        handleBusMessage(messageGeneration, message);
                    });
    if (gst_element_set_state(pipeline_.get(), GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        release();
        return false;
    }
    return true;
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
    releasePipeline(pipeline_);
}

void SoundtrackEngine::handleBusMessage(quint64 generation, GstMessage* message)
{
    if (generation != generation_ || !pipeline_)
        return; // a replaced or stopped track
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
