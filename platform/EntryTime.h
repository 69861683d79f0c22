#pragma once

#include <QString>
#include <QtGlobal>

#include <optional>

struct stat;

// When a directory entry itself was last modified, to the nanosecond; a
// symbolic link's own time, not its target's.
namespace EntryTime {

// Nanoseconds since 1970; absent when there is no such entry.
std::optional<qint64> modified(const QString &path);

// The field is named differently on each system.
qint64 modifiedNanoseconds(const struct stat &status);

} // namespace EntryTime
