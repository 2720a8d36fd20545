#include "stage/AudioOutput.h"

#include "app/PlatformEnvironment.h"
#include "app/PlayerOpLog.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonObject>
#include <QProcessEnvironment>
#include <QRegularExpression>

#include <chrono>

namespace talvorine {

namespace {

struct ProbeState {
    std::function<AudioOutputFacts()> facts;
    std::function<qint64()> clockMs;
    std::optional<qint64> lastLookMs;
    bool present = false;
};

ProbeState& probeState()
{
    static ProbeState state;
    return state;
}

AudioOutputFacts machineFacts()
{
    return readAudioOutputFacts(audioOutputPlaces(QProcessEnvironment::systemEnvironment()));
}

qint64 monotonicMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void announceMissingOutput()
{
    writeStandardErrorLine(AudioOutput::missingNotice);
    PlayerOpLog::errorLocal(PlayerOpLog::newId(), QStringLiteral("audio.output"), 0,
                            {{QStringLiteral("code"), QStringLiteral("audio_output_missing")},
                             {QStringLiteral("text"),
                              QString::fromLatin1(AudioOutput::missingNotice)}});
}

} // namespace

AudioOutputPlaces audioOutputPlaces(const QProcessEnvironment& environment)
{
    AudioOutputPlaces places;
    places.soundDeviceDirectory = QStringLiteral("/dev/snd");
    const QString runtime = environment.value(QStringLiteral("XDG_RUNTIME_DIR"));
    if (!runtime.isEmpty()) {
        const QDir dir(runtime);
        places.serverSockets << dir.filePath(QStringLiteral("pulse/native"))
                             << dir.filePath(QStringLiteral("pipewire-0"));
    }
    // A sound server run for the whole system rather than for the player's user.
    places.serverSockets << QStringLiteral("/run/pulse/native");
    places.pulseServer = environment.value(QStringLiteral("PULSE_SERVER")).toLocal8Bit();
    return places;
}

AudioOutputFacts readAudioOutputFacts(const AudioOutputPlaces& places)
{
    AudioOutputFacts facts;
    facts.soundDevices = QDir(places.soundDeviceDirectory)
                             .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    for (const QString& socket : places.serverSockets) {
        if (QFileInfo::exists(socket))
            facts.serverSockets.append(socket);
    }
    facts.pulseServer = places.pulseServer;
    return facts;
}

AudioOutputKind judgeAudioOutput(const AudioOutputFacts& facts)
{
    // A server decides for itself where the sound goes, another machine included.
    if (!facts.serverSockets.isEmpty() || !facts.pulseServer.isEmpty())
        return AudioOutputKind::SoundServer;
    // Control, timer and capture nodes exist on machines that cannot play a sound.
    static const QRegularExpression playbackNode(QStringLiteral("\\ApcmC[0-9]+D[0-9]+p\\z"));
    for (const QString& device : facts.soundDevices) {
        if (playbackNode.match(device).hasMatch())
            return AudioOutputKind::SoundCard;
    }
    return AudioOutputKind::None;
}

bool audioOutputLookDue(std::optional<qint64> lastLookMs, qint64 nowMs)
{
    return !lastLookMs || nowMs - *lastLookMs >= audioOutputRelookMs;
}

bool AudioOutput::available()
{
    ProbeState& state = probeState();
    const qint64 now = state.clockMs ? state.clockMs() : monotonicMs();
    if (!audioOutputLookDue(state.lastLookMs, now))
        return state.present;
    const bool firstLook = !state.lastLookMs;
    const bool wasPresent = state.present;
    state.lastLookMs = now;
    state.present =
        judgeAudioOutput(state.facts ? state.facts() : machineFacts()) != AudioOutputKind::None;
    if (!state.present && (firstLook || wasPresent))
        announceMissingOutput();
    return state.present;
}

gstsupport::ElementPtr AudioOutput::sinkForPlayback()
{
    const bool silent = !available();
    const gstsupport::ElementPtr gain = gstsupport::makeElement("volume", "talvorine-gain");
    const gstsupport::ElementPtr output =
        silent ? gstsupport::makeElement("fakesink", "talvorine-silent-audio")
               : gstsupport::makeElement("autoaudiosink");
    if (!gain || !output)
        return {};
    if (silent)
        g_object_set(output.get(), "sync", TRUE, nullptr);
    GstElement* bin = gstsupport::sinkBin("talvorine-audio", {gain.get(), output.get()});
    if (bin)
        gst_object_ref_sink(bin);
    return gstsupport::ElementPtr(bin);
}

void AudioOutput::setProbeForTesting(std::function<AudioOutputFacts()> facts,
                                     std::function<qint64()> clockMs)
{
    probeState() = ProbeState{std::move(facts), std::move(clockMs), std::nullopt, false};
}

} // namespace talvorine
