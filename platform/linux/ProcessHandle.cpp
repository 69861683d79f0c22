#include "platform/ProcessHandle.h"

#include <QByteArray>
#include <QList>

#include <array>
#include <cerrno>
#include <csignal>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

// The pidfd names the process itself: liveness and signals go through it,
// and its number is never looked up again. Kernels before 5.3 have none;
// there the start time, compared before each use, stands in for it.
struct ProcessHandle::Identity
{
    qint32 pid = 0;
    qint64 start = 0; // clock ticks since boot, as /proc/<pid>/stat counts them
    int fd = -1;

    Identity() = default;
    Q_DISABLE_COPY_MOVE(Identity)
    ~Identity()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

namespace {

struct Stat
{
    char state = 'X';
    qint64 start = 0;
};

// "pid (name) S ppid … starttime …": the name may hold anything, the fields
// follow its last ')'; the start time is the 22nd field.
std::optional<Stat> readStat(qint32 pid)
{
    const QByteArray path = "/proc/" + QByteArray::number(pid) + "/stat";
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    std::array<char, 1024> buffer;
    ssize_t got = 0;
    do {
        got = ::read(fd, buffer.data(), buffer.size());
    } while (got < 0 && errno == EINTR);
    ::close(fd);
    if (got <= 0)
        return std::nullopt;
    const QByteArray line(buffer.data(), got);
    const qsizetype close = line.lastIndexOf(')');
    const QList<QByteArray> fields = line.mid(close + 1).simplified().split(' ');
    constexpr int startField = 22 - 3;
    bool ok = false;
    const qint64 start = fields.size() > startField ? fields.at(startField).toLongLong(&ok) : 0;
    if (close < 0 || !ok || fields.constFirst().isEmpty())
        return std::nullopt;
    return Stat{fields.constFirst().at(0), start};
}

bool readable(int fd)
{
    pollfd ended{fd, POLLIN, 0};
    int ready = 0;
    do {
        ready = ::poll(&ended, 1, 0);
    } while (ready < 0 && errno == EINTR);
    return ready != 0;
}

bool sendThrough(int fd, int signal) { return ::syscall(SYS_pidfd_send_signal, fd, signal, nullptr, 0) == 0; }

} // namespace

ProcessHandle::Moment ProcessHandle::now()
{
    timespec boot{};
    ::clock_gettime(CLOCK_BOOTTIME, &boot);
    const qint64 tick = 1'000'000'000 / ::sysconf(_SC_CLK_TCK);
    return (qint64(boot.tv_sec) * 1'000'000'000 + boot.tv_nsec) / tick;
}

ProcessHandle::ProcessHandle(std::shared_ptr<const Identity> identity)
    : m_identity(std::move(identity))
{
}

std::optional<ProcessHandle> ProcessHandle::ofUnreaped(qint32 pid)
{
    if (pid <= 0)
        return std::nullopt;
    auto identity = std::make_shared<Identity>();
    identity->pid = pid;
    // Close-on-exec by the kernel's own choice.
    identity->fd = int(::syscall(SYS_pidfd_open, pid, 0));
    if (identity->fd < 0 && errno != ENOSYS)
        return std::nullopt;
    // Read once the handle is held: while it says the process lives, the
    // number is still that process's, and so is what was read.
    const std::optional<Stat> stat = readStat(pid);
    if (!stat)
        return std::nullopt;
    identity->start = stat->start;
    return ProcessHandle(std::move(identity));
}

std::optional<ProcessHandle> ProcessHandle::open(qint32 pid, std::optional<Moment> startedBefore)
{
    std::optional<ProcessHandle> handle = ofUnreaped(pid);
    // As kill(pid, 0) tells it: a process of another user counts as none.
    if (!handle || !handle->isAlive() || !handle->signal(0))
        return std::nullopt;
    if (startedBefore && handle->m_identity->start >= *startedBefore)
        return std::nullopt;
    return handle;
}

qint32 ProcessHandle::pid() const { return m_identity->pid; }

bool ProcessHandle::isAlive() const
{
    if (m_identity->fd >= 0)
        return !readable(m_identity->fd);
    const std::optional<Stat> stat = readStat(m_identity->pid);
    return stat && stat->start == m_identity->start && stat->state != 'Z' && stat->state != 'X';
}

bool ProcessHandle::signal(int signal) const
{
    if (m_identity->fd >= 0)
        return sendThrough(m_identity->fd, signal);
    const std::optional<Stat> stat = readStat(m_identity->pid);
    return stat && stat->start == m_identity->start && ::kill(m_identity->pid, signal) == 0;
}

int ProcessHandle::endDescriptor() const { return m_identity->fd; }

bool operator==(const ProcessHandle &a, const ProcessHandle &b)
{
    return a.m_identity == b.m_identity
            || (a.m_identity->pid == b.m_identity->pid && a.m_identity->start == b.m_identity->start);
}
