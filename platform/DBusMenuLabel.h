#pragma once

#include <QString>

// Labels of the D-Bus menu ("com.canonical.dbusmenu"): '_' marks an access
// key and "__" is a literal underscore; every other character stands for
// itself. The tray menu has no access keys: a label shows its text as it is.
namespace DBusMenuLabel {

// The text an action's text shows: Qt's "&&" is one '&', a lone '&' marks
// an access key and goes.
QString fromActionText(const QString &actionText);

// `text` as a label with no access key: each '_' doubled. GTK hosts
// (libdbusmenu: waybar, xfce4-panel) and Plasma show it as it is.
QString encoded(const QString &text);

// `text` for GNOME Shell's AppIndicator extension, which does not follow
// the format: it takes the first '_' before another character as the
// marker and shows every other '_' as it is, "__" included. So it gets the
// plain text, led by a marker of its own where the text has an '_'.
QString forGnomeShell(const QString &text);

} // namespace DBusMenuLabel
