#pragma once

#include "platform/ProcessHandle.h"
#include "server/Dispatch.h"
#include "server/ShellResult.h"

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <functional>

// Launches the report server, sees it come up, and lets it go.
namespace BackgroundLauncher {

// Who holds the port now, where this user can see it.
using PortHolder = std::function<std::optional<qint32>()>;

struct Launch
{
    enum class Kind {
        Running,      // process: it, or a process it started, listens
        NotListening, // process: it still runs when the wait is over, but does not listen
        EndedAtOnce,  // logTail: what it wrote to its log meanwhile
        Failed,       // failure: it could not be launched
        CalledOff,    // the ticket was voided; a server launched is ended
    };
    Kind kind = Kind::Failed;
    // What we launched, or where it ended at once after starting another
    // that listens, that one.
    std::optional<ProcessHandle> process;
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
// Then it waits, within a bound, until the server listens or has ended, and
// everything it started with it: a server whose first process ends at once
// while a child of it goes on to listen has started.
// A voided ticket ends the server (SIGTERM to the process itself).
Launch startBackground(const QStringList &command, const QString &root, const QProcessEnvironment &environment,
                       const PortHolder &holder, const Dispatch::Cancellation::Ticket &ticket = {});

} // namespace BackgroundLauncher
