#include "platform/TrayMenu.h"

namespace TrayMenu {

bool popUpOnTrigger() { return true; }

bool isMenuBarWithDock() { return false; }

} // namespace TrayMenu
