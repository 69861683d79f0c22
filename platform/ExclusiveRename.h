#pragma once

#include <QByteArray>

#include <optional>

// Moving a directory entry to a name that must not exist yet, without the
// window between a check and the rename where the system offers that.
namespace ExclusiveRename {

// False with errno set on failure; EEXIST when the name is taken. Both
// paths must lie on one file system.
bool renameNoReplace(const QByteArray &from, const QByteArray &to);

// The system's own exclusive rename: true or false as it answered, absent
// where it has none for this file system (errno then tells nothing).
std::optional<bool> systemRenameNoReplace(const QByteArray &from, const QByteArray &to);

} // namespace ExclusiveRename
