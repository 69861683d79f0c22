#pragma once

#include <QString>

// The per-user folders the desktop assigns to programs.
namespace UserFolders {

// Where programs keep the user's data. Linux: $XDG_DATA_HOME, or
// ~/.local/share; macOS: ~/Library/Application Support.
QString dataHome();

// Where programs keep the user's configuration. Linux: $XDG_CONFIG_HOME, or
// ~/.config; macOS: ~/Library/Preferences.
QString configHome();

// The user's runtime folder for sockets: $XDG_RUNTIME_DIR when absolute;
// empty where there is none (macOS, a session without one).
QString runtimeFolder();

// An XDG base directory: `value` (the variable as read) when it is an
// absolute path, else `fallback`. A relative one is to be ignored: it would
// name a different folder in every working directory.
QString xdgBase(const QString &value, const QString &fallback);

} // namespace UserFolders
