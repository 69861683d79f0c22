#pragma once

#include <QString>

#include <optional>

// Creating a folder with its missing parents, as `mkdir -p` does, but
// saying why when it cannot (QDir::mkpath only says that it could not).
namespace MakePath {

// Nothing when the folder exists afterwards (a link to a folder counts);
// otherwise which folder failed and the system's reason.
std::optional<QString> create(const QString &path);

} // namespace MakePath
