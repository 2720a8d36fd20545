#pragma once

#include "stage/GstPipelineSupport.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

class QProcessEnvironment;

namespace talvorine {

// Where a start looks for somewhere to send sound.
struct AudioOutputPlaces {
    QString soundDeviceDirectory;
    QStringList serverSockets; // the sockets a sound server's clients connect to, in order
    QByteArray pulseServer;    // a server named outright, possibly on another machine
};

// What a look found there, by name only. Opening a device or connecting to a server is exactly
// what fills the journal with the sound library's complaints on a screen without sound.
struct AudioOutputFacts {
    QStringList soundDevices;  // entry names of the sound device directory
    QStringList serverSockets; // those of the places' sockets that exist
    QByteArray pulseServer;
};

enum class AudioOutputKind { None, SoundCard, SoundServer };

AudioOutputPlaces audioOutputPlaces(const QProcessEnvironment& environment);
AudioOutputFacts readAudioOutputFacts(const AudioOutputPlaces& places);
AudioOutputKind judgeAudioOutput(const AudioOutputFacts& facts);

// A look holds this long; a device plugged in later is found at the first start after it.
constexpr qint64 audioOutputRelookMs = 5 * 60 * 1000;
bool audioOutputLookDue(std::optional<qint64> lastLookMs, qint64 nowMs);

// Whether this process has somewhere to send sound, for the media engines (GUI thread only, like
// them). Without an output, sound goes into a silent sink that keeps the clock, so tracks and
// clips last as long as with sound; finding none is said once on standard error and in the
// operation log, and again only after an output had been seen in between.
class AudioOutput {
public:
    AudioOutput() = delete;

    static bool available();
    // The audio sink a playbin must be given: the machine's own, or the silent one, behind a
    // gain stage that takes the pipeline's "volume" and "mute". Without one in the sink,
    // playbin builds its own, and GStreamer 1.22 never frees it: an element and its pads kept
    // per play, on every machine whose sink has no volume of its own (no sound card, ALSA).
    // Null only when an element is missing; playbin then chooses.
    static gstsupport::ElementPtr sinkForPlayback();

    static constexpr char missingNotice[] =
        "No audio output (no sound card playback device, no sound server socket): soundtracks "
        "and clip sound play silently. Looking again at a start five minutes on.";

    // Tests: the facts and the monotonic clock (ms) a look reads, with nothing remembered;
    // empty functions give the machine's own again.
    static void setProbeForTesting(std::function<AudioOutputFacts()> facts,
                                   std::function<qint64()> clockMs);
};

} // namespace talvorine
