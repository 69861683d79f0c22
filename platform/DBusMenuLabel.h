#pragma once

#include <QString>

// Labels in the D-Bus menu ("com.canonical.dbusmenu") mark an access key
// with '_' and write a literal underscore as "__".
namespace DBusMenuLabel {

// `label` as the host shows it, but with no access key: the lone markers
// go, doubled underscores stay. GTK hosts (libdbusmenu: waybar,
// xfce4-panel) read a label that has an access key twice, so a "__" after
// it comes out as the marker of a second one; a label without any shows
// every character as it is, on those hosts and on Plasma.
QString withoutAccessKey(const QString &label);

// `label` for GNOME Shell's AppIndicator extension, which does not follow
// the format: it takes the first '_' before another character as the
// marker and shows every other '_' as it is, "__" included. So it gets the
// plain text, led by a marker of its own where the text has an '_'.
QString forGnomeShell(const QString &label);

} // namespace DBusMenuLabel
