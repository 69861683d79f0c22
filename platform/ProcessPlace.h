#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <optional>

// Where another process of this user runs and how it was started: enough to
// tell a report server of this project folder from any other program.
// Absent where the process is gone or belongs to another user.
namespace ProcessPlace {

// Its working folder (Linux: /proc/<pid>/cwd, macOS: libproc).
std::optional<QString> workingFolder(qint32 pid);

// Its command line, program first (Linux: /proc/<pid>/cmdline, macOS: the
// kernel's KERN_PROCARGS2).
std::optional<QStringList> arguments(qint32 pid);

} // namespace ProcessPlace
