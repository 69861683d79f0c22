#pragma once

#include <QtGlobal>

#include <memory>
#include <optional>

// A process known by its identity rather than its number. A number is handed
// out again once its process has ended and been reaped, and whatever has it
// then is a stranger: it is never asked about or signalled in its place.
// Linux keeps a pidfd on the process; macOS compares the start time before
// each use. Copies share the one identity; equal handles name one process.
class ProcessHandle
{
public:
    // A moment on the clock that process start times are counted on.
    using Moment = qint64;
    static Moment now();

    // The live process that has the number now and that this user may
    // signal, if it started before `startedBefore`: a process found by its
    // number at some moment (a probe's answer) is the one found only if it
    // already existed then. Absent when there is none, or it has ended.
    static std::optional<ProcessHandle> open(qint32 pid, std::optional<Moment> startedBefore = std::nullopt);
    // A process whose number cannot have been given to another yet (a
    // child, or the child of a child of ours that is still waiting for its
    // parent), alive or ended already.
    static std::optional<ProcessHandle> ofUnreaped(qint32 pid);

    qint32 pid() const;
    // Not ended (an ended process that is not reaped yet counts as ended).
    bool isAlive() const;
    // Sends the signal to this process, never to another with its number;
    // false when it has ended or may not be signalled.
    bool signal(int signal) const;
    // A descriptor that becomes readable once the process ends, to be
    // watched; -1 where the system offers none (then only asking tells).
    int endDescriptor() const;

    friend bool operator==(const ProcessHandle &a, const ProcessHandle &b);

private:
    struct Identity;
    explicit ProcessHandle(std::shared_ptr<const Identity> identity);
    std::shared_ptr<const Identity> m_identity;
};
