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

// lsof alone, for the process listening where a connection to 127.0.0.1
// on the port arrives (connected clients, such as a browser holding a
// keep-alive connection, and listeners on other addresses are left out). An
// lsof that has not ended within `timeoutMs` is killed: no answer, as when
// it cannot start or its output makes no sense.
PortStatus askLsof(const QString &lsofPath, qint64 port, int timeoutMs);

// lsof's field output (-F pn) for the listeners on one port: held by the
// lowest process listening on 127.0.0.1 itself, or else on every address;
// free when none of them does; unknown when the output is not such a list
// (a process identifier is a decimal number within signed 32 bits).
PortStatus parseLsof(const QByteArray &lsofOutput);

// The name the process gave itself (Linux: /proc/<pid>/comm, macOS: its
// process name); absent when the process is gone.
std::optional<QString> programName(qint32 pid);

// The parent of a live process; absent when it is gone or cannot be seen.
std::optional<qint32> parentOf(qint32 pid);
// `pid` is `ancestor` or one of its descendants (a server that forks and
// listens in a child).
bool descendsFrom(qint32 pid, qint32 ancestor);
// The session a live process belongs to; absent when it is gone.
std::optional<qint32> sessionOf(qint32 pid);
// A process is left in the process group: its number is then nobody
// else's, and no signal is sent to find out.
bool groupLives(qint32 group);

} // namespace PortProbe
