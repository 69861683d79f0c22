#include "platform/TrayMenu.h"

namespace TrayMenu {

bool popUpOnTrigger() { return false; }

bool followsDBusMenuRules(bool hasPlatformMenu)
{
    (void)hasPlatformMenu; // every menu has one there
    return false;
}

bool isMenuBarWithDock() { return true; }

} // namespace TrayMenu
