#pragma once

#include <QString>
#include <QUrl>

#include <functional>

class QObject;

// Shows a folder selected inside its parent folder in the desktop's file
// manager, through the freedesktop FileManager1 interface on the session bus.
namespace FileManagerReveal {

using Opener = std::function<void(const QUrl &url)>;

// Returns at once. When no file manager takes the request (no session bus,
// no service, an error reply), `fallback` is handed the parent folder, which
// the desktop then opens plainly. The pending call lives no longer than
// `context`.
void reveal(const QString &path, const Opener &fallback, QObject *context);

} // namespace FileManagerReveal
