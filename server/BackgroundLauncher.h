#pragma once

#include "server/Dispatch.h"
#include "server/ShellResult.h"

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <functional>

// Launches the report server, sees it come up, and lets it go.
namespace BackgroundLauncher {

// Tells whether the process with the given identifier listens on the port.
using ListeningCheck = std::function<bool(qint32 pid)>;

struct Launch
{
    enum class Kind {
        Running,     // pid: it listens, or still runs when the wait is over
        EndedAtOnce, // logTail: what it wrote to its log meanwhile
        Failed,      // failure: it could not be launched
        CalledOff,   // the ticket was voided; a server launched is ended
    };
    Kind kind = Kind::Failed;
    std::optional<qint32> pid;
    OutputText::Excerpt logTail;
    std::optional<RunFailure> failure;
    // Running: the overgrown log could not be moved aside, and grows on.
    bool logNotRotated = false;
};

// Starts "/usr/bin/" + the first element with the remaining elements as
// arguments, in the project root (created when missing), with the given
// environment and the null device as input. Output and errors are appended
// to the server log, which is created when missing and moved aside first
// when it has grown past its limit; a log that is no regular file or cannot
// be opened fails the start (LogUnusable) before anything is launched. Descriptors the program
// inherited itself are not handed on.
//
// The server is detached: re-parented at once and in a session of its own,
// so it is never left as an unreaped child of ours and outlives the program.
//
// Then it waits, within a bound, until the server listens or has ended.
// A voided ticket ends the server (SIGTERM to the process itself).
Launch startBackground(const QStringList &command, const QString &root,
                            const QProcessEnvironment &environment,
                            const ListeningCheck &listening,
                            const Dispatch::Cancellation::Ticket &ticket = {});

} // namespace BackgroundLauncher
