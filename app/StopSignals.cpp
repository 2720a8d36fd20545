#include "app/StopSignals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace talvorine {

namespace {

constexpr int stopSignalNumbers[] = {SIGTERM, SIGINT, SIGHUP};

// The pipe's two ends; the handler sees only the writing one.
int pipeEnds[2] = {-1, -1};

extern "C" void writeSignalNumber(int number)
{
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(number);
    [[maybe_unused]] const ssize_t written = ::write(pipeEnds[1], &byte, 1);
    errno = saved;
}

void setDisposition(void (*handler)(int))
{
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int number : stopSignalNumbers)
        ::sigaction(number, &action, nullptr);
}

} // namespace

StopSignals::StopSignals(QObject* parent) : QObject(parent)
{
    if (::pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    notifier_ = new QSocketNotifier(pipeEnds[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &StopSignals::readPipe);
    setDisposition(writeSignalNumber);
}

StopSignals::~StopSignals()
{
    if (!notifier_)
        return;
    setDisposition(SIG_DFL);
    delete notifier_;
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);
    pipeEnds[0] = pipeEnds[1] = -1;
}

void StopSignals::readPipe()
{
    unsigned char number = 0;
    while (::read(pipeEnds[0], &number, 1) == 1) {
        // Two signals read at once: the second came while the first was on its way.
        if (stopping_) {
            ::raise(number);
            continue;
        }
        stopping_ = true;
        setDisposition(SIG_DFL);
        Q_EMIT stopRequested(number);
    }
}

} // namespace talvorine
