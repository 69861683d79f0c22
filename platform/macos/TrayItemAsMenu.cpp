#include "platform/TrayItemAsMenu.h"

namespace TrayItemAsMenu {

// The menu bar opens the item's menu on any click by itself.
void declare(QObject * /*trayIcon*/) {}

bool isExported(const QObject * /*trayIcon*/) { return false; }

} // namespace TrayItemAsMenu
