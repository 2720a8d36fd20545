#pragma once

#include "stage/GstPipelineSupport.h"

#include <QObject>
#include <QString>
#include <QUrl>

namespace talvorine {

// Plays one soundtrack file at a time through an audio-only playbin3. Where the machine has no
// audio output (AudioOutput) the pipeline still runs in real time into a sink that discards the
// sound, so track ends keep coming.
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

Q_SIGNALS:
    void trackEnded();
    void trackFailed(const QString& code);

private:
    void handleBusMessage(quint64 generation, GstMessage* message);
    void release();

    gstsupport::ElementPtr pipeline_;
    quint64 generation_ = 0;
    double gain_ = 1.0;
};

} // namespace talvorine
