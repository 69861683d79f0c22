#pragma once

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

// The program's environment plus what every project command is told:
// HARLUNE_AUTH (kept when set, even empty, else "0"), HARLUNE_HOST, HARLUNE_PORT.
QProcessEnvironment childEnvironment(const QProcessEnvironment &base, qint64 port);

// "/usr/bin/" + name: programs are never looked up on PATH.
QString programPath(const QString &name);

// Success when the child exits with status 0, or whenever it ran and
// allowFailure is set. An empty command or a child that cannot start fails
// with a message of its own as the output.
Run runShell(const QStringList &command, bool allowFailure, const QString &root,
             const QProcessEnvironment &environment);

} // namespace CommandRunner
