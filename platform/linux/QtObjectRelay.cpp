#include "platform/linux/QtObjectRelay.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>

QtObjectRelay::QtObjectRelay(const QDBusConnection &connection, const QString &asidePath,
                             QObject *parent)
    : QDBusVirtualObject(parent)
    , m_connection(connection)
    , m_asidePath(asidePath)
{
}

bool QtObjectRelay::standIn(const QString &path, QObject *qtObject, QtObjectRelay *relay)
{
    QDBusConnection &bus = relay->m_connection;
    bus.unregisterObject(path);
    if (bus.registerObject(relay->m_asidePath, qtObject)) {
        if (bus.registerVirtualObject(path, relay))
            return true;
        bus.unregisterObject(relay->m_asidePath);
    }
    bus.registerObject(path, qtObject);
    delete relay;
    return false;
}

bool QtObjectRelay::handleMessage(const QDBusMessage &message, const QDBusConnection & /*connection*/)
{
    if (message.type() != QDBusMessage::MethodCallMessage)
        return false;
    // Called on Qt's D-Bus thread; the answer comes from ours.
    QMetaObject::invokeMethod(this, [this, message] { forward(message); }, Qt::QueuedConnection);
    return true;
}

void QtObjectRelay::forward(const QDBusMessage &message)
{
    QDBusMessage call = QDBusMessage::createMethodCall(m_connection.baseService(), m_asidePath,
                                                       message.interface(), message.member());
    call.setArguments(message.arguments());
    auto *pending = new QDBusPendingCallWatcher(m_connection.asyncCall(call), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, [this, pending, message] {
        pending->deleteLater();
        const QDBusMessage reply = pending->reply();
        m_connection.send(reply.type() == QDBusMessage::ErrorMessage
                                  ? message.createErrorReply(reply.errorName(), reply.errorMessage())
                                  : message.createReply(answer(message, reply.arguments())));
    });
}
