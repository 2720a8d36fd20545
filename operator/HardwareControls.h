#pragma once

#include <QByteArray>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QThreadPool>

#include <functional>

namespace talvorine {

// What an external program gave back: its exit code (-1 when it did not start, did not finish in
// time or did not exit normally) and its standard output and error merged (empty on failure).
struct CommandResult {
    int exitCode = -1;
    QByteArray output;
};

using CommandRunner = std::function<CommandResult(const QString& program,
                                                  const QStringList& arguments, int timeoutMs)>;
using ProgramLocator = std::function<QString(const QString& program)>;

// Runs a program to its end or kills it at the time limit. Blocks: for worker threads.
CommandResult runCommand(const QString& program, const QStringList& arguments, int timeoutMs);
// The program's absolute path on the search path, or empty.
QString locateProgram(const QString& program);

// One operator level (brightness or volume) applied to the machine. The first apply discovers a
// backend once, on the control's own one-thread pool; each apply then sets the latest requested
// level there, so at most one external program runs at a time and a burst of requests collapses
// to its last value. Without a hardware backend the software fallback ("scrim", "media") needs no
// command at all. apply, the signals and the records run on the object's (GUI) thread.
class HardwareLevelControl : public QObject {
    Q_OBJECT
public:
    static constexpr int commandTimeoutMs = 8000;

    HardwareLevelControl(QString kind, QString fallbackBackend, CommandRunner run,
                         ProgramLocator locate, QObject* parent = nullptr);
    // Waits for the worker; a subclass waits in its own destructor too, before its part goes.
    ~HardwareLevelControl() override;

    void apply(int percent);
    QString backend() const;
    bool isHardware() const;
    // Blocks until the worker has finished, without a deadline.
    void waitForIdle();

Q_SIGNALS:
    void backendResolved(const QString& backend, bool hardware);
    void applyFailed(const QString& backend, int percent);

protected:
    CommandResult run(const QString& program, const QStringList& arguments) const;
    QString locate(const QString& program) const;

    // Both run on the worker thread.
    virtual QString probe() = 0;
    virtual bool set(const QString& backend, int percent) = 0;

private:
    void work();
    void noteResolved(const QString& backend);

    const QString kind_;
    const QString fallback_;
    const CommandRunner run_;
    const ProgramLocator locate_;
    QThreadPool pool_;
    mutable QMutex mutex_;
    QString backend_;
    bool probed_ = false;
    bool running_ = false;
    int target_ = -1;
    int lastApplied_ = -1;
    // The probe's operation record; GUI thread only.
    QString operationId_;
    qint64 operationStartMs_ = 0;
};

// The backlight through sysfs (firmware entries first, then platform, then the rest), else a
// monitor through DDC/CI ("ddcutil"), else the scrim.
class HardwareBrightness : public HardwareLevelControl {
    Q_OBJECT
public:
    HardwareBrightness(QObject* parent, QString backlightRoot, CommandRunner run,
                       ProgramLocator locate);
    ~HardwareBrightness() override;

protected:
    QString probe() override;
    bool set(const QString& backend, int percent) override;

private:
    // Written by the probe and read by set, both on the worker thread, one after the other.
    const QString backlightRoot_;
    QString brightnessFile_;
    int maximum_ = 0;
    QString ddcutil_;
    int monitorMaximum_ = 0;
};

// The default sink through PipeWire ("wpctl"), PulseAudio ("pactl") or ALSA ("amixer"), else
// the player's own media gain.
class HardwareVolume : public HardwareLevelControl {
    Q_OBJECT
public:
    HardwareVolume(QObject* parent, CommandRunner run, ProgramLocator locate);
    ~HardwareVolume() override;

protected:
    QString probe() override;
    bool set(const QString& backend, int percent) override;

private:
    QString program_;
};

} // namespace talvorine
