#pragma once

#include "platform/ProcessHandle.h"

#include <QThreadPool>
#include <QtGlobal>

#include <functional>
#include <memory>

// The two hops of every long operation: work on worker threads of its
// owner's, the answer back on the main thread; and the means to call work off.
namespace Dispatch {

// Worker threads owned by the object whose work they run, so that no task
// outlives what it uses: the destructor waits for every task posted. Tasks
// never run on the calling thread; a thread idle for a while ends.
class Workers
{
public:
    // How long a thread waits for its next task before it ends.
    static constexpr int idleThreadMs = 30000;

    // `threads`: how many tasks run side by side at most; later ones wait
    // their turn in the order posted. One thread runs them one after another.
    explicit Workers(int threads);
    // Waits for every task posted, running or waiting.
    ~Workers();
    Q_DISABLE_COPY_MOVE(Workers)

    void post(std::function<void()> task);
    // Blocks until no task runs or waits, or `timeoutMs` is over; true in the
    // first case. For the end and for tests: the main thread of a running
    // program never waits for a worker.
    bool waitForDone(int timeoutMs);

private:
    QThreadPool m_pool;
};

// Runs the task later on the main thread, in an event of its own. Without an
// application object there is no main loop, and the task is dropped.
void toMain(std::function<void()> task);

// Calls off work in flight, so that quitting does not wait for it. Each
// operation takes a ticket when it is asked for; cancelAll() voids every
// ticket taken so far and signals the children their work is running (with
// their process groups, where they lead one). Tickets taken afterwards are valid.
class Cancellation
{
    struct Shared;

public:
    class Ticket
    {
    public:
        // Never cancelled, tracks nothing.
        Ticket() = default;

        bool cancelled() const;
        // Notes a running process that is sent `signal`, with its group if
        // it leads one, should the ticket be voided. False when it is void
        // already: it has been sent the signal at once.
        bool track(qint64 group, int signal) const;
        void untrack(qint64 group) const;
        // The same for a process we did not start as a child (the detached
        // server): signalled through its handle, never by its number.
        bool track(const ProcessHandle &process, int signal) const;
        void untrack(const ProcessHandle &process) const;

    private:
        friend class Cancellation;
        Ticket(std::shared_ptr<Shared> shared, quint64 generation);
        std::shared_ptr<Shared> m_shared;
        quint64 m_generation = 0;
    };

    Cancellation();
    Q_DISABLE_COPY_MOVE(Cancellation)

    Ticket ticket() const;
    void cancelAll();

private:
    const std::shared_ptr<Shared> m_shared;
};

// Polls the condition on the calling (worker) thread until it holds, the
// time is up or the ticket is voided; true only in the first case.
bool waitUntil(const std::function<bool()> &condition, int timeoutMs, const Cancellation::Ticket &ticket);

} // namespace Dispatch
