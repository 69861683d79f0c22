#pragma once

#include "platform/ProcessHandle.h"

#include <QtGlobal>

#include <functional>
#include <memory>

// The two hops of every long operation: work on the shared worker pool,
// the answer back on the main thread; and the means to call work off.
namespace Dispatch {

// Never runs the task on the calling thread. The tasks mostly wait for child
// processes, so the pool is widened to let several run side by side rather
// than queue behind each other.
void toWorker(std::function<void()> task);

// Runs the task later on the main thread, in an event of its own. Without an
// application object there is no main loop, and the task is dropped: the
// application's destructor clears it first and then waits for the pool, so
// work still running at the end finishes without answering.
void toMain(std::function<void()> task);

// Runs tasks on the worker pool one after another, in the order posted,
// on one worker at a time however many are waiting.
class SerialQueue
{
    struct Shared;

public:
    SerialQueue();
    Q_DISABLE_COPY_MOVE(SerialQueue)
    void post(std::function<void()> task);

private:
    const std::shared_ptr<Shared> m_shared;
};

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
bool waitUntil(const std::function<bool()> &condition, int timeoutMs,
               const Cancellation::Ticket &ticket);

} // namespace Dispatch
