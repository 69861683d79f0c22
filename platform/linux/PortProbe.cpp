#include "platform/PortProbe.h"

#include "platform/PlatformLog.h"
#include "platform/ProcessHandle.h"
#include "platform/linux/KernelSockets.h"

#include <QFile>
#include <QMutex>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>

#include <poll.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace PortProbe {

namespace {

constexpr qint64 highestPort = 0xFFFF;

// The listeners lsof last found no holder for, where this user cannot look:
// another user's server does not cost an lsof on every update, only when
// its sockets change (a socket's inode is its own while it exists).
struct UnseenHolder
{
    QString lsofPath;
    qint64 port = -1;
    QList<quint64> inodes;

    friend bool operator==(const UnseenHolder &, const UnseenHolder &) = default;
};

QMutex unseenLock;
UnseenHolder unseen;

// lsof for a listener the process file system could not name the holder of.
PortStatus heldBySomeoneUnseen(const Sources &sources, qint64 port, QList<quint64> inodes)
{
    UnseenHolder asked{sources.lsofPath, port, inodes};
    {
        const QMutexLocker locker(&unseenLock);
        if (unseen == asked)
            return PortStatus::held(std::nullopt);
    }
    qCDebug(lcPlatform, "Port %lld: held, no holder found below %s, asking lsof", port,
            qUtf8Printable(sources.procFolder));
    const PortStatus answer = askLsof(sources.lsofPath, port, sources.lsofTimeoutMs);
    // A holder lsof names is looked for again (it may go); one that it failed on, too.
    if (!answer.pid && !answer.isUnknown()) {
        const QMutexLocker locker(&unseenLock);
        unseen = std::move(asked);
    }
    return PortStatus::held(answer.pid);
}

// The holder last found for the listeners on a port. While the same
// sockets listen and that process still has one of them, it is still their
// lowest holder: another process could come by one only from a holder,
// by fork (a higher identifier, short of the numbers wrapping) or by being
// handed it, and then it descends from or deals with that holder anyway.
struct KnownHolder
{
    QByteArray procFolder;
    qint64 port = -1;
    QList<quint64> inodes;
    std::optional<ProcessHandle> process;
};

QMutex knownLock;
KnownHolder known;

// The holder found before, while it lives: its number is not another's then.
std::optional<ProcessHandle> knownProcess(const QByteArray &proc, qint64 port, const QList<quint64> *inodes)
{
    const QMutexLocker locker(&knownLock);
    if (known.procFolder != proc || known.port != port || !known.process || (inodes && known.inodes != *inodes))
        return std::nullopt;
    return known.process;
}

std::optional<qint32> knownHolder(const QByteArray &proc, qint64 port, const QList<quint64> &inodes)
{
    const std::optional<ProcessHandle> process = knownProcess(proc, port, &inodes);
    if (!process || !KernelSockets::holdsOne(proc, process->pid(), inodes) || !process->isAlive())
        return std::nullopt;
    return process->pid();
}

// The holder found last, asked about as cheaply as the kernel allows: the
// listener that the program's own address reaches is one of the sockets it
// was found with, and it lives. What the full answer adds (every listener,
// and the holder's descriptors read) tells nothing more about a server
// still serving: only a holder can pass a socket on.
std::optional<qint32> confirmedHolder(const QByteArray &proc, qint64 port)
{
    const std::optional<ProcessHandle> process = knownProcess(proc, port, nullptr);
    if (!process)
        return std::nullopt;
    const std::optional<QList<quint64>> inode = KernelSockets::loopbackListener(quint16(port));
    // Alive, and as lsof would see it: a process this user may signal.
    if (!inode || inode->isEmpty() || knownProcess(proc, port, &*inode) != process || !process->isAlive()
        || !process->signal(0))
        return std::nullopt;
    return process->pid();
}

// How far a probe may go for its answer.
enum class Reach {
    Everything, // every process's open files, and lsof where they cannot tell
    AtOnce,     // the kernel's listener list and one process's open files at most
};

std::optional<PortStatus> ask(const Sources &sources, qint64 port, Reach reach)
{
    const bool atOnce = reach == Reach::AtOnce;
    const QByteArray proc = QFile::encodeName(sources.procFolder);
    if (atOnce && port >= 0 && port <= highestPort) {
        if (const std::optional<qint32> pid = confirmedHolder(proc, port))
            return PortStatus::held(pid);
    }
    // Without the process file system no holder could be named: lsof then.
    if (proc.isEmpty() || port < 0 || port > highestPort || ::access(proc.constData(), R_OK | X_OK) != 0) {
        if (atOnce)
            return std::nullopt;
        qCDebug(lcPlatform, "Port %lld: no process file system at %s, asking lsof", port, proc.constData());
        return askLsof(sources.lsofPath, port, sources.lsofTimeoutMs);
    }
    // Only the listener that a connection to 127.0.0.1 reaches decides:
    // one on [::1] or another address serves nobody who asks there.
    std::optional<QList<quint64>> inodes = KernelSockets::loopbackListener(quint16(port));
    if (!inodes) {
        if (atOnce)
            return std::nullopt;
        qCDebug(lcPlatform, "Port %lld: no socket diagnostics from the kernel, reading %s/net/tcp", port,
                proc.constData());
        inodes = KernelSockets::listeningInodes(proc, quint16(port));
    }
    if (!inodes) {
        qCDebug(lcPlatform, "Port %lld: socket tables unreadable, asking lsof", port);
        return askLsof(sources.lsofPath, port, sources.lsofTimeoutMs);
    }
    if (inodes->isEmpty())
        return PortStatus::free();
    std::sort(inodes->begin(), inodes->end());
    if (const std::optional<qint32> pid = knownHolder(proc, port, *inodes))
        return PortStatus::held(pid);
    if (atOnce)
        return std::nullopt;
    const ProcessHandle::Moment asked = ProcessHandle::now();
    if (const std::optional<qint32> pid = KernelSockets::lowestHolder(proc, *inodes)) {
        // Kept by its identity: the one found, if it existed when we looked.
        std::optional<ProcessHandle> process = ProcessHandle::open(*pid, asked);
        if (process && KernelSockets::holdsOne(proc, *pid, *inodes)) {
            const QMutexLocker locker(&knownLock);
            known = {proc, port, *inodes, std::move(process)};
        }
        return PortStatus::held(pid);
    }
    // Held for certain; lsof may still name a holder the scan missed.
    return heldBySomeoneUnseen(sources, port, *std::move(inodes));
}

} // namespace

Sources systemSources() { return {QStringLiteral("/proc"), QStringLiteral("/usr/bin/lsof")}; }

PortStatus probe(const Sources &sources, qint64 port) { return *ask(sources, port, Reach::Everything); }

std::optional<PortStatus> probeAtOnce(const Sources &sources, qint64 port) { return ask(sources, port, Reach::AtOnce); }

std::optional<QString> programName(qint32 pid)
{
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    if (pid <= 0 || !comm.open(QIODevice::ReadOnly))
        return std::nullopt;
    // The kernel keeps at most 15 bytes of it; whoever chose them is not us.
    const QString name = QString::fromUtf8(comm.read(64)).trimmed();
    if (name.isEmpty())
        return std::nullopt;
    return name;
}

std::optional<qint32> parentOf(qint32 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (pid <= 0 || !stat.open(QIODevice::ReadOnly))
        return std::nullopt;
    // "pid (name) S ppid …": the name may hold anything, the fields follow its last ')'.
    const QByteArray line = stat.read(1024);
    const qsizetype close = line.lastIndexOf(')');
    const QList<QByteArray> fields = line.mid(close + 1).simplified().split(' ');
    bool ok = false;
    const qint32 parent = fields.size() > 1 ? fields.at(1).toInt(&ok) : 0;
    if (close < 0 || !ok)
        return std::nullopt;
    return parent;
}

} // namespace PortProbe
