#include "platform/DesktopNotifier.h"

#include "platform/PlatformLog.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QVariantMap>

namespace {

const QString service = QStringLiteral("org.freedesktop.Notifications");
const QString path = QStringLiteral("/org/freedesktop/Notifications");
const QString interface = QStringLiteral("org.freedesktop.Notifications");
const QString defaultAction = QStringLiteral("default");

QDBusMessage call(const QString &method) { return QDBusMessage::createMethodCall(service, path, interface, method); }

} // namespace

void DesktopNotifier::listen()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.connect(service, path, interface, QStringLiteral("ActionInvoked"), this, SLOT(onActionInvoked(uint, QString)));
    bus.connect(service, path, interface, QStringLiteral("NotificationClosed"), this, SLOT(onClosed(uint, uint)));
    // A service that restarts counts its ids afresh: the number of our
    // notice may then be another program's.
    auto *restarts = new QDBusServiceWatcher(service, bus, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(restarts, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString &, const QString &, const QString &owner) {
                qCDebug(lcPlatform) << "notice: the notification service is now" << owner;
                m_shownId = 0;
            });
}

void DesktopNotifier::notify(const QString &title, const Body &body, const QString &actionLabel)
{
    // What the service can do decides the text, so ask first (the service
    // may have changed since the last notice: a panel restarted, say).
    auto *asked = new QDBusPendingCallWatcher(
            QDBusConnection::sessionBus().asyncCall(call(QStringLiteral("GetCapabilities"))), this);
    connect(asked, &QDBusPendingCallWatcher::finished, this, [this, asked, title, body, actionLabel] {
        asked->deleteLater();
        const QDBusPendingReply<QStringList> reply = *asked;
        if (reply.isError())
            emit unavailable(title, body(true));
        else
            send(title, body, actionLabel, reply.value());
    });
}

void DesktopNotifier::send(const QString &title, const Body &body, const QString &actionLabel,
                           const QStringList &capabilities)
{
    const bool clickable = capabilities.contains(QStringLiteral("actions"));
    QString text = body(clickable);
    // A log line may hold anything a local client sent the server; shown as
    // markup it could bring its own bold text and links.
    if (capabilities.contains(QStringLiteral("body-markup")))
        text = escapedForMarkup(text);
    const QStringList actions = clickable ? QStringList{defaultAction, actionLabel} : QStringList{};
    // GNOME and Plasma attribute the notice to our desktop entry and keep it.
    const QVariantMap hints{{QStringLiteral("desktop-entry"), m_desktopEntry}};

    QDBusMessage notice = call(QStringLiteral("Notify"));
    notice << m_appName << m_shownId << m_iconName << title << text << actions << hints << qint32(-1);
    auto *sent = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(notice), this);
    connect(sent, &QDBusPendingCallWatcher::finished, this, [this, sent, title, body] {
        sent->deleteLater();
        const QDBusPendingReply<uint> reply = *sent;
        if (reply.isError())
            emit unavailable(title, body(true));
        else
            m_shownId = reply.value();
    });
}

void DesktopNotifier::onActionInvoked(uint id, const QString &action)
{
    qCDebug(lcPlatform) << "notice: action" << action << "on" << id << "of the service; ours:" << m_shownId;
    if (id == m_shownId && m_shownId != 0 && action == defaultAction)
        emit clicked();
}

void DesktopNotifier::onClosed(uint id, uint /*reason*/)
{
    // Gone from the screen: the next notice is a new one, not a replacement.
    if (id == m_shownId)
        m_shownId = 0;
}
