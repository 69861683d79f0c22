#pragma once

#include "server/ShellResult.h"

#include <QString>
#include <QStringList>

// Launches the report server and lets it go.
namespace BackgroundLauncher {

// Starts "/usr/bin/" + the first element with the remaining elements as
// arguments, in the project root, with the program's environment unchanged
// and the null device as input. Output and errors are appended to the
// server log, which is created when missing; if it cannot be opened the
// server still starts and prints where the program prints.
//
// The server is detached: re-parented at once and in a session of its own,
// so it is never left as an unreaped child of ours (which kill(pid, 0) would
// count as alive) and outlives the program and its terminal.
//
// Success carries "PID n" as output and the identifier in pid; a failed
// launch carries the launch error's description.
ShellResult startBackground(const QStringList &command, const QString &root);

} // namespace BackgroundLauncher
