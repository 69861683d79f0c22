#pragma once

#include "platform/PortStatus.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <optional>

// Which process listens on a TCP port, what it is called, and whether a
// process is alive. Linux asks the kernel (platform/linux), macOS lsof and
// libproc (platform/macos); lsof's part is the same on both.
namespace PortProbe {

// Where the probe looks, and how long it may wait for lsof.
struct Sources
{
    // The process file system (Linux); empty or unreadable: lsof alone.
    QString procFolder;
    QString lsofPath;
    // A hanging lsof (a dead network mount) is killed then, and the probe
    // has no answer.
    int lsofTimeoutMs = 2000;
};

// This system's: where its process file system and its lsof are.
Sources systemSources();

// Asks the kernel's socket tables below the process file system first: a
// port nobody listens on is answered from them at once, and so is the
// lowest process holding the listener, as lsof would name it. lsof runs
// only where they cannot tell (no such file system, or a listener whose
// process is not found there), and for no longer than its time-out. A
// listener whose holder neither can see (another user's) is asked about
// once: not again until the listening sockets on the port change.
PortStatus probe(const Sources &sources, qint64 port);

// probe()'s answer where it is to be had at once, without lsof and without
// looking through every process's open files: a free port, or a listener
// whose holder an earlier probe found and that still holds it. Absent where
// only probe() can tell.
std::optional<PortStatus> probeAtOnce(const Sources &sources, qint64 port);

// lsof alone, for the process listening on the port (connected clients,
// such as a browser holding a keep-alive connection, are left out). An lsof
// that has not ended within `timeoutMs` is killed: no answer, as when it
// cannot start or its output makes no sense.
PortStatus askLsof(const QString &lsofPath, qint64 port, int timeoutMs);

// The process identifier on the first line of lsof's output: an optional
// single sign and decimal digits only, within signed 32 bits. Anything else
// on that line makes it absent; later lines are never looked at.
std::optional<qint32> parsePid(const QByteArray &lsofOutput);

// The name the process gave itself (Linux: /proc/<pid>/comm, macOS: its
// process name); absent when the process is gone.
std::optional<QString> programName(qint32 pid);

// kill(pid, 0) succeeds and the process is no zombie: one that has ended
// stays a zombie until its parent reaps it (for the detached server: init,
// which can take a second or two), and kill() still finds it meanwhile.
// Identifiers of zero and below name process groups, not processes, and
// count as dead.
bool isAlive(qint32 pid);

// The parent of a live process; absent when it is gone or cannot be seen.
std::optional<qint32> parentOf(qint32 pid);
// `pid` is `ancestor` or one of its descendants (a server that forks and
// listens in a child).
bool descendsFrom(qint32 pid, qint32 ancestor);

} // namespace PortProbe
