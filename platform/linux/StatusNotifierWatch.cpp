#include "platform/StatusNotifierWatch.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QGuiApplication>

namespace {

const QString watcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
constexpr int retryMs = 200;
// A panel registers its host right after it took the watcher's name.
constexpr int hostWaitTries = 50;

QDBusMessage hostQuestion()
{
    QDBusMessage question = QDBusMessage::createMethodCall(
            watcherService, QStringLiteral("/StatusNotifierWatcher"),
            QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    question << watcherService << QStringLiteral("IsStatusNotifierHostRegistered");
    return question;
}

} // namespace

StatusNotifierWatch::StatusNotifierWatch(QObject *parent)
    : QObject(parent)
    , m_watcher(new QDBusServiceWatcher(watcherService, QDBusConnection::sessionBus(),
                                        QDBusServiceWatcher::WatchForOwnerChange, this))
{
    m_retry.setSingleShot(true);
    m_retry.setInterval(retryMs);
    connect(&m_retry, &QTimer::timeout, this, &StatusNotifierWatch::askForHost);
    connect(m_watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString &, const QString &, const QString &newOwner) {
                if (newOwner.isEmpty())
                    return;
                m_triesLeft = hostWaitTries;
                askForHost();
            });
}

bool StatusNotifierWatch::itemCanShowNow()
{
    // Without a watcher, Wayland has no tray at all, and Qt would decide
    // for good at the first item that there is none.
    if (QGuiApplication::platformName() != QLatin1String("wayland"))
        return true;
    const QDBusConnectionInterface *bus = QDBusConnection::sessionBus().interface();
    return bus && bus->isServiceRegistered(watcherService);
}

void StatusNotifierWatch::askForHost()
{
    auto *pending = new QDBusPendingCallWatcher(
            QDBusConnection::sessionBus().asyncCall(hostQuestion()), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, [this, pending] {
        pending->deleteLater();
        const QDBusPendingReply<QDBusVariant> answer = *pending;
        if (!answer.isError() && answer.value().variant().toBool())
            emit hostAppeared();
        else if (--m_triesLeft > 0)
            m_retry.start();
    });
}
