#include "server/Dispatch.h"

#include "server/ServerConstants.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QHash>
#include <QMetaObject>
#include <QMutex>
#include <QThread>

#include <csignal>
#include <unistd.h>

namespace Dispatch {

namespace {

// A process that leads its group takes the whole group with it; a detached
// server does not lead one (Qt's detached start forks once more after
// setsid()), and its group is nobody else's business.
void signalProcess(qint64 pid, int signal)
{
    if (::getpgid(pid_t(pid)) == pid_t(pid))
        ::kill(-pid_t(pid), signal);
    else
        ::kill(pid_t(pid), signal);
}

} // namespace

Workers::Workers(int threads)
{
    m_pool.setMaxThreadCount(threads);
    m_pool.setExpiryTimeout(idleThreadMs);
}

Workers::~Workers() { m_pool.waitForDone(); }

void Workers::post(std::function<void()> task) { m_pool.start(std::move(task)); }

bool Workers::waitForDone(int timeoutMs) { return m_pool.waitForDone(timeoutMs); }

void toMain(std::function<void()> task)
{
    QCoreApplication *application = QCoreApplication::instance();
    if (!application)
        return;
    QMetaObject::invokeMethod(application, std::move(task), Qt::QueuedConnection);
}

struct Cancellation::Shared
{
    QMutex mutex;
    quint64 generation = 0;
    QHash<qint64, int> groups; // process (and its group, if it leads one) → signal
    QList<std::pair<ProcessHandle, int>> processes;
};

Cancellation::Cancellation()
    : m_shared(std::make_shared<Shared>())
{
}

Cancellation::Ticket Cancellation::ticket() const
{
    QMutexLocker lock(&m_shared->mutex);
    return Ticket(m_shared, m_shared->generation);
}

void Cancellation::cancelAll()
{
    QMutexLocker lock(&m_shared->mutex);
    ++m_shared->generation;
    for (auto it = m_shared->groups.cbegin(); it != m_shared->groups.cend(); ++it)
        signalProcess(it.key(), it.value());
    m_shared->groups.clear();
    for (const auto &[process, signal] : std::as_const(m_shared->processes))
        process.signal(signal);
    m_shared->processes.clear();
}

Cancellation::Ticket::Ticket(std::shared_ptr<Shared> shared, quint64 generation)
    : m_shared(std::move(shared))
    , m_generation(generation)
{
}

bool Cancellation::Ticket::cancelled() const
{
    if (!m_shared)
        return false;
    QMutexLocker lock(&m_shared->mutex);
    return m_generation != m_shared->generation;
}

bool Cancellation::Ticket::track(qint64 group, int signal) const
{
    if (!m_shared || group <= 0)
        return true;
    // Under the lock, so a cancellation either sees the group or is seen here.
    QMutexLocker lock(&m_shared->mutex);
    if (m_generation != m_shared->generation) {
        signalProcess(group, signal);
        return false;
    }
    m_shared->groups.insert(group, signal);
    return true;
}

void Cancellation::Ticket::untrack(qint64 group) const
{
    if (!m_shared)
        return;
    QMutexLocker lock(&m_shared->mutex);
    m_shared->groups.remove(group);
}

bool Cancellation::Ticket::track(const ProcessHandle &process, int signal) const
{
    if (!m_shared)
        return true;
    QMutexLocker lock(&m_shared->mutex);
    if (m_generation != m_shared->generation) {
        process.signal(signal);
        return false;
    }
    m_shared->processes.append({process, signal});
    return true;
}

void Cancellation::Ticket::untrack(const ProcessHandle &process) const
{
    if (!m_shared)
        return;
    QMutexLocker lock(&m_shared->mutex);
    m_shared->processes.removeIf([&process](const auto &tracked) { return tracked.first == process; });
}

bool waitUntil(const std::function<bool()> &condition, int timeoutMs, const Cancellation::Ticket &ticket)
{
    const QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        if (ticket.cancelled())
            return false;
        if (condition())
            return true;
        if (deadline.hasExpired())
            return false;
        QThread::msleep(ServerConstants::pollStepMs);
    }
}

} // namespace Dispatch
