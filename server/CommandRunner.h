#pragma once

#include "server/Dispatch.h"
#include "server/ShellResult.h"

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <optional>

// Runs one project command in a child process to its end.
//
// A first element ending in ".sh" is a script in the project root, read by
// /bin/bash (no execute permission needed); anything else is a program in
// /usr/bin with the remaining elements as arguments. The child runs in the
// project root, reads the null device, and prints into one channel shared
// by its standard output and standard error.
namespace CommandRunner {

struct Run
{
    ShellResult result;
    // The last line of the output; present only when the child ran to its end.
    std::optional<QString> lastLogLine;
};

// The program's environment with the server's address: HARLUNE_HOST and
// HARLUNE_PORT replaced by what the program watches. What the server gets.
QProcessEnvironment serverEnvironment(const QProcessEnvironment &base, qint64 port);
// The server's environment plus HARLUNE_AUTH (kept when set, even empty,
// else "0"): what every project command is told.
QProcessEnvironment childEnvironment(const QProcessEnvironment &base, qint64 port);

// "/usr/bin/" + name: programs are never looked up on PATH. The Python
// interpreter is the system's choice (PythonChoice); absent when there is
// no usable one.
std::optional<QString> programPath(const QString &name);

// Why a command naming the interpreter cannot run when there is none.
RunFailure noInterpreter();

// The project root is never created for a command: one that is no folder,
// or lacks a script the command needs, is said instead.
std::optional<RunFailure> checkRoot(const QString &root);
std::optional<RunFailure> checkScripts(const QString &root, const QStringList &scripts);

// Why the program at `path` did not start: missing, not executable, or the
// platform's description when the program itself is in order.
RunFailure launchFailure(const QString &path, const QString &platformError);

// Success when the child exits with status 0, or whenever it ran and
// allowFailure is set. An empty command or a child that cannot start fails
// with the reason as its failure. The output is shortened as
// OutputText::Collector does, however much the child prints.
//
// The child leads a process group of its own, which the ticket's
// cancellation ends (SIGKILL) together with anything the child started.
//
// A child still running after `boundMs` (negative: no bound) is ended with
// its group, and the run fails as TimedOut, whatever allowFailure says.
Run runShell(const QStringList &command, bool allowFailure, const QString &root, const QProcessEnvironment &environment,
             const Dispatch::Cancellation::Ticket &ticket = {}, int boundMs = -1);

} // namespace CommandRunner
