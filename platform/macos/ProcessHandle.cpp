#include "platform/ProcessHandle.h"

#include <csignal>

#include <libproc.h>
#include <sys/proc.h>
#include <sys/proc_info.h>
#include <sys/time.h>

// No pidfd here: a process is its number and its start time, and the start
// time is compared again before each use. Between the comparison and the
// signal the number could change hands, a window of a system call.
struct ProcessHandle::Identity
{
    qint32 pid = 0;
    qint64 start = 0; // microseconds since the epoch
};

namespace {

struct Info
{
    qint64 start = 0;
    bool zombie = false;
};

std::optional<Info> info(qint32 pid)
{
    proc_bsdinfo bsd{};
    if (pid <= 0 || ::proc_pidinfo(pid, PROC_PIDTBSDINFO, 0, &bsd, sizeof bsd) != int(sizeof bsd))
        return std::nullopt;
    return Info{qint64(bsd.pbi_start_tvsec) * 1'000'000 + qint64(bsd.pbi_start_tvusec), bsd.pbi_status == SZOMB};
}

} // namespace

ProcessHandle::Moment ProcessHandle::now()
{
    timeval now{};
    ::gettimeofday(&now, nullptr);
    return qint64(now.tv_sec) * 1'000'000 + now.tv_usec;
}

ProcessHandle::ProcessHandle(std::shared_ptr<const Identity> identity)
    : m_identity(std::move(identity))
{
}

std::optional<ProcessHandle> ProcessHandle::ofUnreaped(qint32 pid)
{
    const std::optional<Info> found = info(pid);
    if (!found)
        return std::nullopt;
    return ProcessHandle(std::make_shared<const Identity>(Identity{pid, found->start}));
}

std::optional<ProcessHandle> ProcessHandle::open(qint32 pid, std::optional<Moment> startedBefore)
{
    std::optional<ProcessHandle> handle = ofUnreaped(pid);
    if (!handle || !handle->isAlive() || !handle->signal(0))
        return std::nullopt;
    if (startedBefore && handle->m_identity->start >= *startedBefore)
        return std::nullopt;
    return handle;
}

qint32 ProcessHandle::pid() const { return m_identity->pid; }

bool ProcessHandle::isAlive() const
{
    const std::optional<Info> now = info(m_identity->pid);
    return now && now->start == m_identity->start && !now->zombie;
}

bool ProcessHandle::signal(int signal) const
{
    const std::optional<Info> now = info(m_identity->pid);
    return now && now->start == m_identity->start && ::kill(m_identity->pid, signal) == 0;
}

int ProcessHandle::endDescriptor() const
{
    return -1; // the five-second update notices the end
}

bool operator==(const ProcessHandle &a, const ProcessHandle &b)
{
    return a.m_identity == b.m_identity
            || (a.m_identity->pid == b.m_identity->pid && a.m_identity->start == b.m_identity->start);
}
