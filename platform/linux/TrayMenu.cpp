#include "platform/TrayMenu.h"

namespace TrayMenu {

bool popUpOnTrigger() { return true; }

bool followsDBusMenuRules(bool hasPlatformMenu) { return hasPlatformMenu; }

bool isMenuBarWithDock() { return false; }

} // namespace TrayMenu
