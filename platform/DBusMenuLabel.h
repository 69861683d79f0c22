#pragma once

#include <QString>

// Labels in the D-Bus menu ("com.canonical.dbusmenu") mark an access key
// with '_' and write a literal underscore as "__".
namespace DBusMenuLabel {

// `label` as the host shows it, but with no access key: the lone markers
// go, doubled underscores stay. GTK hosts (libdbusmenu: waybar,
// xfce4-panel) read a label that has an access key twice, so a "__" after
// it comes out as the marker of a second one; a label without any shows
// every character as it is, on those hosts and on Plasma and GNOME alike.
QString withoutAccessKey(const QString &label);

} // namespace DBusMenuLabel
