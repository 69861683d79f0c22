#pragma once

#include <QString>
#include <QUrl>

#include <functional>

class QObject;

// Shows a folder selected inside its parent folder in the desktop's file
// manager: on Linux through the freedesktop FileManager1 interface on the
// session bus, on macOS through the Finder (`open -R`).
namespace FileManagerReveal {

using Opener = std::function<void(const QUrl &url)>;

// Returns at once. When no file manager takes the request (Linux: no
// session bus, no service, an error reply; macOS: `open` cannot start),
// `fallback` is handed the folder itself, which the desktop then opens
// plainly: the parent, with nothing selected, would not show which folder
// is meant. A pending request lives no longer than `context`.
void reveal(const QString &path, const Opener &fallback, QObject *context);

} // namespace FileManagerReveal
