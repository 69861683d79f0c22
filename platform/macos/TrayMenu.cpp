#include "platform/TrayMenu.h"

namespace TrayMenu {

bool popUpOnTrigger() { return false; }

bool followsDBusMenuRules(bool hasPlatformMenu)
{
    (void)hasPlatformMenu; // every menu has one there
    return false;
}

} // namespace TrayMenu
