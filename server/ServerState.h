#pragma once

#include "platform/PortStatus.h"
#include "platform/ProcessHandle.h"
#include "server/BackgroundLauncher.h"
#include "server/Dispatch.h"
#include "server/Guarded.h"
#include "server/Outcome.h"
#include "server/ServerManager.h"
#include "server/ServerStatus.h"
#include "server/ShellResult.h"

#include <QString>
#include <QStringList>
#include <optional>

// What ServerManager knows and the blocking steps its operations are built
// of. Shared between the manager, work in flight on its workers and the
// reply steps waiting on the main thread.
class ServerState
{
public:
    explicit ServerState(ServerManager::Config config);
    Q_DISABLE_COPY_MOVE(ServerState)

    const ServerManager::Config &config() const { return m_config; }

    // Written from the main thread and from workers; no invariant spans two
    // of them, so each guards itself.
    // The recorded server, launched or found on the port, by its identity.
    Guarded<std::optional<ProcessHandle>> server;
    Guarded<std::optional<QString>> lastError;
    Guarded<QString> lastLogLine;

    // The server process this program launched, and since when; the one
    // process a stop ends itself when it never listened.
    struct Launched
    {
        ProcessHandle process;
        qint64 atMs = 0;       // QDeadlineTimer::current() at its launch
        bool listened = false; // it, or a child of it, has held the port
        friend bool operator==(const Launched &, const Launched &) = default;
    };
    Guarded<std::optional<Launched>> launched;

    // Looked up afresh; writes nothing.
    QString projectRoot() const;
    // The same, with the per-user data folder filled first should it lack
    // its copy of the packaged project (ProjectPaths::provision).
    QString provisionedRoot() const;
    std::optional<qint32> serverPID() const;

    bool isRunning() const;
    // True when the recorded server holds the port; `silence` tells about a
    // recorded one that lives but does not.
    bool refreshStatus(Silence *silence = nullptr);
    // The port, asked now, is held by the live `process` or by one it started.
    bool servesPort(const ProcessHandle &process) const;
    // Ends the server we launched if it lives and never took the port (no
    // stop script finds it); waits for it within `graceMs`.
    // The identifier of the process ended, if one was.
    std::optional<qint32> endSilentLaunch(const Dispatch::Cancellation::Ticket &ticket, int graceMs);
    // refreshStatus() and what it left behind; blocks as it does.
    ServerObservation observe();
    // The same where it is to be had at once (PortProbe::probeAtOnce), as
    // it usually is: safe on the main thread. Absent where only observe()
    // can tell.
    std::optional<ServerObservation> observeAtOnce();

    // Asks the port now. Blocks while lsof runs, where it has to, and never
    // longer than its time-out (PortProbe::Sources::lsofTimeoutMs) and the
    // moment it takes to kill it. An answer is kept as portStatus().
    PortStatus probePort() const;
    // The last answer of the probe, Unknown until the first.
    PortStatus portStatus() const { return m_lastAnswer.get(); }
    // Who holds the port by the answer: a name where this user can see it,
    // and whether it is a report server of this project or of another.
    std::optional<PortHolder> holder(const PortStatus &answer) const;
    // The folder whose serve.py a process runs, judged by its command line
    // and working folder as the stop script judges them; absent for any
    // other program.
    static std::optional<QString> servedProject(const QStringList &arguments, const QString &workingFolder);
    // The listener on the port that this user can see, asked now. Absent
    // also when only another user's process holds the port and when the
    // probe has no answer: who must not take those for a free port asks
    // probePort().
    std::optional<qint32> pidOnPort() const;
    // Blocks until the child has ended; keeps the last line of its output.
    ShellResult runShell(const QStringList &command, bool allowFailure,
                         const Dispatch::Cancellation::Ticket &ticket = {}, int boundMs = -1);
    // Blocks until the server listens, has ended, or the bounded wait is over.
    BackgroundLauncher::Launch startBackground(const QStringList &command,
                                               const Dispatch::Cancellation::Ticket &ticket = {}) const;

    // Every long operation takes a ticket; quitting voids them all.
    Dispatch::Cancellation cancellation;

private:
    std::optional<bool> refresh(Silence *silence, bool atOnce);
    std::optional<ServerObservation> observe(bool atOnce);
    std::optional<PortStatus> askPort(bool atOnce) const;
    // Running from the port alone: whom the probe names now, or with no
    // answer whom it named last, while that process lives.
    bool listenerRunning(const PortStatus &answer) const;
    static bool servedBy(const PortStatus &answer, const ProcessHandle &process);
    // `pid` runs this project's serve.py: a server started by hand that is ours to show and stop.
    bool ofThisProject(qint32 pid) const;
    static std::optional<QString> projectServedBy(qint32 pid);

    const ServerManager::Config m_config;
    mutable Guarded<PortStatus> m_lastAnswer;
    // The process the last answer named, by its identity: kept while it
    // lives, taken anew only for one that existed when the probe asked.
    mutable Guarded<std::optional<ProcessHandle>> m_lastHolder;
};
