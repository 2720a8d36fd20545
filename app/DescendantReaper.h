#pragma once

// The processes the player starts (the web engine's zygotes, renderers and helpers, the hardware
// controls' commands and whatever those start) are to be gone before the player is: a service
// manager kills whatever is left of the unit once its main process has exited, and says so for
// each at notice, among the lines an operator looks at. Waiting for the player's own children
// is not enough, since a renderer is the child of an engine process and is re-parented when that
// one exits first. As a child subreaper during its exit the player is the parent of every
// descendant orphaned then, so that once it has no child left, none of them is left.

#include <QList>
#include <QString>

#include <chrono>

namespace talvorine {

// A process as the kernel lists it in /proc/PID/stat.
struct ListedProcess {
    qint64 pid = 0;
    QString name;
    QChar state;
    qint64 parent = 0;
    qint64 session = 0;
};
// Every process of the machine now.
QList<ListedProcess> listedProcesses();

// Makes the process the parent of its orphaned descendants. Once its event loop has returned,
// before the web engine is torn down: while the player runs, nothing in it would reap an orphan
// (a renderer whose zygote crashed stayed a zombie until the stop), and the service manager does.
void adoptOrphanedDescendants();

// Asks every child to end (SIGTERM), orphans too as they come, kills those still there after a
// short grace (SIGKILL), and reaps them until none is left (true) or the bound has passed
// (false). The web engine's zygotes outlive the engine's shutdown: they end when their sockets to
// the player close, and the player holds those until it exits; and with the engine's sandbox on,
// a zygote is the first process of a PID namespace of its own, which ignores a SIGTERM from
// outside it. Only once nothing else waits for a child of the process, that is once the
// application object is gone: reaping any child would take its exit status from whoever watches
// it (Qt's process objects), and a zygote killed while the engine lives would count a renderer's
// death against the page on glass.
bool endDescendants(std::chrono::milliseconds bound);

} // namespace talvorine
