#pragma once

// How the desktop's tray treats the program's menu.
namespace TrayMenu {

// An XEmbed tray (Linux) reports a left click only as a trigger and opens
// the context menu on the right button alone; users expect either to work,
// so the program pops the menu up itself. The macOS menu bar opens it on
// any click by itself.
bool popUpOnTrigger();

// The item sits in the macOS menu bar, showing its title, beside the
// program's Dock icon; elsewhere a panel's tray shows its icon, and there
// is no Dock.
bool isMenuBarWithDock();

} // namespace TrayMenu
