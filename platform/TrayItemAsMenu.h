#pragma once

class QObject;

// How the tray item offers its menu. Qt exports the item to StatusNotifier
// hosts (Linux panels) with ItemIsMenu false and no way to change it, so a
// left click there reaches the program as a trigger, where all it could do
// is open a menu of its own: on Wayland a toplevel window far from the
// icon. Declared a menu, the hosts (waybar, xfce4-panel, GNOME's
// AppIndicator extension, Plasma) open their own menu at the icon on a left
// click too. Its menu's labels reach the hosts without access keys, which
// Qt would make of the first '&' (platform/DBusMenuLabel.h). Nothing to do
// elsewhere (an XEmbed tray, the macOS menu bar).
namespace TrayItemAsMenu {

// Declares the item of the tray icon shown last a menu; `trayIcon` (the
// QSystemTrayIcon) owns what this takes over, so it ends with it.
void declare(QObject *trayIcon);

// The item of `trayIcon` went to StatusNotifier hosts over D-Bus: Qt then
// registers it again by itself with a watcher that restarts (a panel, or
// GNOME's extension switched off and on).
bool isExported(const QObject *trayIcon);

} // namespace TrayItemAsMenu
