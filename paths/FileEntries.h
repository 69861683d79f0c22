#pragma once

#include <QString>
#include <QStringList>
#include <optional>

// File-system steps on single directory entries, taken as they are: a
// symbolic link is an entry of its own and is never followed.
namespace FileEntries {

// Some entry exists at the path, a dangling symbolic link included.
bool exists(const QString &path);

// The names directly inside a directory, hidden ones included, in the order
// the system yields them; nothing if the directory cannot be read.
std::optional<QStringList> list(const QString &directory);

// A pipe, a socket or a device: an entry that holds no data of its own and
// can never be copied. False for anything else and when nothing is there.
bool isSpecial(const QString &path);

// Copies the entry at source to destination, which must not exist: a file
// with its content and permissions, a symbolic link as a link with the same
// target, a directory with everything below it but its special entries,
// which are left out. A special entry itself cannot be copied. On failure a
// partial copy may be left at destination.
bool copy(const QString &source, const QString &destination);

// Moves an entry to a name that must not exist yet; an entry already there
// is never replaced. Both must lie on the same file system.
bool renameNoReplace(const QString &source, const QString &destination);

// Removes the entry and, for a directory, everything below it.
bool remove(const QString &path);

// The content of a regular file, read without following a symbolic link at
// the path and without opening a pipe or device; nothing for anything else,
// for an unreadable file and for one larger than maxSize.
std::optional<QByteArray> regularFileContent(const QString &path, qint64 maxSize);

// Puts content at destination so that the name holds either what it held
// before or the complete new content, whatever happens meanwhile: written to
// a new file in the staging folder (same file system), flushed to the disk,
// then renamed over destination, and the folder flushed too. Whatever is at
// destination is replaced as an entry, never written through.
bool replaceAtomically(const QString &staging, const QString &destination, const QByteArray &content, uint mode);

} // namespace FileEntries
