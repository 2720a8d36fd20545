#pragma once

// The stops the operating system asks of the process (SIGTERM from a service manager, SIGINT
// from a terminal, SIGHUP when the session ends), turned into a signal of the event loop: the
// handler only writes the signal's number into a pipe, which a socket notifier reads on the GUI
// thread, so the stop itself runs as ordinary code there. Once the first stop has been read the
// default dispositions are back, so a second signal while stopping ends the process at once.

#include <QObject>

class QSocketNotifier;

namespace talvorine {

class StopSignals : public QObject {
    Q_OBJECT
public:
    // Installs the handlers; one instance per process, made once the application object exists.
    explicit StopSignals(QObject* parent = nullptr);
    // Restores the default dispositions.
    ~StopSignals() override;

    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

Q_SIGNALS:
    // Once, for the first stop read.
    void stopRequested(int signalNumber);

private:
    void readPipe();

    QSocketNotifier* notifier_ = nullptr;
    bool stopping_ = false;
};

} // namespace talvorine
