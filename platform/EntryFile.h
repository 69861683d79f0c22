#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// Writing a file at a path whose current entry may be anything, even a
// symbolic link someone else placed there.
namespace EntryFile {

// Writes `content` to a new file beside `path` and renames it onto `path`:
// an entry found there, a link included, is replaced and never followed, so
// nothing outside the folder is written; a reader sees either the old entry
// or the whole new file. Nothing on success, else the system's reason.
std::optional<QString> replace(const QString &path, const QByteArray &content);

} // namespace EntryFile
