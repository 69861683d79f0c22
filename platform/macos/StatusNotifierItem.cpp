#include "platform/StatusNotifierItem.h"

// The menu bar has its own item (MenuBarItem); no panel takes ours.
class StatusNotifierItem::Exports
{ };

bool StatusNotifierItem::isSupported() { return false; }

bool StatusNotifierItem::otherTrayPossible() { return true; }

StatusNotifierItem::StatusNotifierItem(const QString & /*id*/, const QString & /*title*/,
                                       const QList<QAction *> & /*menu*/, QObject *parent)
    : QObject(parent)
{
}

StatusNotifierItem::~StatusNotifierItem() = default;

void StatusNotifierItem::setIcon(const QIcon & /*icon*/) { }

void StatusNotifierItem::setToolTip(const QString & /*text*/) { }

bool StatusNotifierItem::isRegistered() const { return false; }
