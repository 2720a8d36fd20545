#pragma once

#include "stage/GstPipelineSupport.h"

#include <QObject>
#include <QString>
#include <QTimer>
#include <QUrl>

namespace talvorine {

// Plays one soundtrack file at a time through an audio-only playbin3. Where the machine has no
// audio output (AudioOutput) the pipeline still runs in real time into a sink that discards the
// sound, so track ends keep coming. A start that never prerolls is built once more, then
// failed, so that a track always ends or fails.
class SoundtrackEngine : public QObject {
    Q_OBJECT
public:
    explicit SoundtrackEngine(QObject* parent = nullptr);
    ~SoundtrackEngine() override;

    // Replaces whatever played. False, without a signal, when the file is not a local file or
    // the pipeline cannot be set up or started.
    bool play(const QUrl& localFile, double gain);
    void setGain(double gain);
    void stop();

    bool isPlaying() const { return bool(pipeline_); }
    double gain() const { return gain_; }

    // How long a start may take to preroll before its pipeline is built once more, then failed
    // with "soundtrack_start_stalled"; the engine's child timer "prerollWatchdog" measures it.
    // A rebuilt short track still ends well within half a minute.
    static constexpr int prerollStallMs = 10000;

Q_SIGNALS:
    void trackEnded();
    void trackFailed(const QString& code);

private:
    bool start();
    void handlePrerollStall();
    void handleBusMessage(quint64 generation, GstMessage* message);
    void release();

    gstsupport::ElementPtr pipeline_;
    quint64 generation_ = 0;
    double gain_ = 1.0;
    QUrl source_;
    // Set only by the pipeline's own messages as they are handled here, never by asking its
    // state: a watchdog timeout handled first finds the start stalled, whatever the streaming
    // threads have done meanwhile.
    bool prerolled_ = false;
    bool rebuiltAfterStall_ = false;
    QTimer prerollWatchdog_;
};

} // namespace talvorine
