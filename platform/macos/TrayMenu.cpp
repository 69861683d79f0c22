#include "platform/TrayMenu.h"

namespace TrayMenu {

bool popUpOnTrigger() { return false; }

bool isMenuBarWithDock() { return true; }

} // namespace TrayMenu
