#include "platform/PortProbe.h"

#include "platform/PlatformLog.h"
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
    qint32 pid = 0;
};

QMutex knownLock;
KnownHolder known;

std::optional<qint32> knownHolder(const QByteArray &proc, qint64 port, const QList<quint64> &inodes)
{
    qint32 pid = 0;
    {
        const QMutexLocker locker(&knownLock);
        if (known.procFolder != proc || known.port != port || known.inodes != inodes)
            return std::nullopt;
        pid = known.pid;
    }
    if (!KernelSockets::holdsOne(proc, pid, inodes))
        return std::nullopt;
    return pid;
}

// The holder found last, asked about as cheaply as the kernel allows: the
// listener that the program's own address reaches is one of the sockets it
// was found with, and it lives. What the full answer adds (every listener,
// and the holder's descriptors read) tells nothing more about a server
// still serving: only a holder can pass a socket on.
std::optional<qint32> confirmedHolder(const QByteArray &proc, qint64 port)
{
    KnownHolder holder;
    {
        const QMutexLocker locker(&knownLock);
        if (known.procFolder != proc || known.port != port || known.pid <= 0)
            return std::nullopt;
        holder = known;
    }
    const std::optional<quint64> inode = KernelSockets::loopbackListener(quint16(port));
    if (!inode || !holder.inodes.contains(*inode) || !isAlive(holder.pid))
        return std::nullopt;
    return holder.pid;
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
    std::optional<QList<quint64>> inodes = KernelSockets::listeningInodes(quint16(port));
    if (!inodes) {
        // Reading the tables walks every connection the kernel has.
        if (atOnce)
            return std::nullopt;
        qCDebug(lcPlatform, "Port %lld: no socket diagnostics from the kernel, reading %s/net/tcp",
                port, proc.constData());
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
    if (const std::optional<qint32> pid = KernelSockets::lowestHolder(proc, *inodes)) {
        const QMutexLocker locker(&knownLock);
        known = {proc, port, *inodes, *pid};
        return PortStatus::held(pid);
    }
    // Held for certain; lsof may still name a holder the scan missed.
    return heldBySomeoneUnseen(sources, port, *std::move(inodes));
}

} // namespace

Sources systemSources()
{
    return {QStringLiteral("/proc"), QStringLiteral("/usr/bin/lsof")};
}

PortStatus probe(const Sources &sources, qint64 port)
{
    return *ask(sources, port, Reach::Everything);
}

std::optional<PortStatus> probeAtOnce(const Sources &sources, qint64 port)
{
    return ask(sources, port, Reach::AtOnce);
}

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

namespace {

// Handles (pidfds) on the few processes asked about lately, the server
// among them, asked on every update: while a handle stays open its process
// keeps its number, so a poll on it answers in one call what kill() and the
// stat file take seven for.
class ProcessHandles
{
public:
    ProcessHandles()
    {
        // Whether kill() may reach a process depends on who asks, and a
        // child forked from us may become another user: it starts with none.
        ::pthread_atfork([] { instance().m_lock.lock(); }, [] { instance().m_lock.unlock(); }, [] {
            for (Handle &handle : instance().m_handles)
                release(handle);
            instance().m_lock.unlock();
        });
    }
    Q_DISABLE_COPY_MOVE(ProcessHandles)
    ~ProcessHandles()
    {
        for (Handle &handle : m_handles)
            release(handle);
    }

    static ProcessHandles &instance()
    {
        static ProcessHandles handles;
        return handles;
    }

    // Absent where the kernel hands out no such handles.
    std::optional<bool> isAlive(qint32 pid)
    {
        const QMutexLocker locker(&m_lock);
        const auto found = std::find_if(m_handles.begin(), m_handles.end(),
                                        [pid](const Handle &h) { return h.fd >= 0 && h.pid == pid; });
        if (found != m_handles.end() && alive(*found))
            return true;
        // New, or its process has ended and the number may be another's by now.
        Handle &handle = found != m_handles.end() ? *found : m_handles[m_next++ % m_handles.size()];
        release(handle);
        const int fd = int(::syscall(SYS_pidfd_open, pid, 0));
        if (fd < 0)
            return errno == ESRCH ? std::optional(false) : std::nullopt;
        // As kill(pid, 0) tells it: a process of another user counts as none.
        if (::kill(pid, 0) != 0) {
            ::close(fd);
            return false;
        }
        handle = {pid, fd};
        // A zombie has a handle too, which reports it ended.
        return alive(handle);
    }

private:
    struct Handle
    {
        qint32 pid = 0;
        int fd = -1;
    };

    static bool alive(const Handle &handle)
    {
        pollfd ended{handle.fd, POLLIN, 0};
        int ready = 0;
        do {
            ready = ::poll(&ended, 1, 0);
        } while (ready < 0 && errno == EINTR);
        return ready == 0;
    }

    static void release(Handle &handle)
    {
        if (handle.fd >= 0)
            ::close(handle.fd);
        handle = {};
    }

    QMutex m_lock;
    std::array<Handle, 4> m_handles;
    std::size_t m_next = 0;
};

} // namespace

bool isAlive(qint32 pid)
{
    if (pid <= 0)
        return false;
    if (const std::optional<bool> alive = ProcessHandles::instance().isAlive(pid))
        return *alive;
    if (::kill(pid, 0) != 0)
        return false;
    // /proc tells a zombie ("pid (name) Z …", the name may hold anything,
    // the state follows its last ')').
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true; // /proc not mounted: kill() is all there is
    const QByteArray line = stat.read(1024);
    const qsizetype close = line.lastIndexOf(')');
    const char state = close >= 0 && close + 2 < line.size() ? line.at(close + 2) : 'X';
    return state != 'Z' && state != 'X';
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

