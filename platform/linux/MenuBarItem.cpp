#include "platform/MenuBarItem.h"

// Panels show the tray icon; there is no menu bar to put an item into.
bool MenuBarItem::isAvailable() { return false; }

MenuBarItem::MenuBarItem(QMenu * /*menu*/, const QString & /*title*/, const QString & /*accessibleName*/,
                         QObject *parent)
    : QObject(parent)
{
}

MenuBarItem::~MenuBarItem() = default;

void MenuBarItem::setToolTip(const QString & /*toolTip*/) { }
