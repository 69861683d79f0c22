#include "platform/DesktopNotifier.h"

// The status item's own messages are macOS's notices; the caller shows them,
// so there is no service to listen to.
void DesktopNotifier::listen() {}

void DesktopNotifier::notify(const QString &title, const Body &body, const QString & /*actionLabel*/)
{
    QMetaObject::invokeMethod(
            this, [this, title, text = body(true)] { emit unavailable(title, text); },
            Qt::QueuedConnection);
}

void DesktopNotifier::onActionInvoked(uint, const QString &) {}

void DesktopNotifier::onClosed(uint, uint) {}
