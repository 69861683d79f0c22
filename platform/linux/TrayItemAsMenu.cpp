#include "platform/TrayItemAsMenu.h"

#include <QDBusConnection>
#include <QDBusVirtualObject>
#include <QPointer>

#include <QCoreApplication>
#include <QDBusAbstractAdaptor>
#include <QDBusArgument>
#include <QDBusError>
#include <QDBusMetaType>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>
#include <QMetaMethod>
#include <QVariantMap>

namespace {

// Takes the item's object path over on Qt's tray connection, moves Qt's item
// aside, and passes every call on to it, answering ItemIsMenu itself and
// sending the item's change signals from the path hosts watch.
class StatusItemAsMenu : public QDBusVirtualObject
{
    Q_OBJECT

public:
    // Takes over the item of the QSystemTrayIcon shown last. Returns null
    // where Qt exported none (an XEmbed tray, no watcher at the first use).
    static StatusItemAsMenu *takeOver(QObject *parent);

    QString introspect(const QString &path) const override;
    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override;

private slots:
    void relayChange();

private:
    StatusItemAsMenu(const QDBusConnection &connection, QObject *qtItem, QObject *parent);
    void forward(const QDBusMessage &message);

    QDBusConnection m_connection;
    QPointer<QObject> m_qtItem;
};

// Where hosts look for the item, and where Qt's own goes instead.
const QString itemPath = QStringLiteral("/StatusNotifierItem");
const QString qtItemPath = QStringLiteral("/de/harlune/QtStatusNotifierItem");
const QString itemInterface = QStringLiteral("org.kde.StatusNotifierItem");
const QString propertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");
const QString itemIsMenu = QStringLiteral("ItemIsMenu");

// Qt names the connection of its n-th tray item after the item
// (QDBusTrayIcon, Qt 6): "org.kde.StatusNotifierItem-<pid>-<n>".
QString qtConnectionName(int n)
{
    return QStringLiteral("org.kde.StatusNotifierItem-%1-%2")
            .arg(QCoreApplication::applicationPid())
            .arg(n);
}

} // namespace

StatusItemAsMenu *StatusItemAsMenu::takeOver(QObject *parent)
{
    constexpr int mostItems = 256;
    for (int n = mostItems; n > 0; --n) {
        QDBusConnection connection(qtConnectionName(n));
        if (!connection.isConnected())
            continue;
        QObject *qtItem = connection.objectRegisteredAt(itemPath);
        if (!qtItem || qobject_cast<StatusItemAsMenu *>(qtItem))
            return nullptr; // the newest is gone or already ours
        connection.unregisterObject(itemPath);
        if (!connection.registerObject(qtItemPath, qtItem)) {
            connection.registerObject(itemPath, qtItem);
            return nullptr;
        }
        auto *ours = new StatusItemAsMenu(connection, qtItem, parent);
        if (!connection.registerVirtualObject(itemPath, ours)) {
            delete ours;
            connection.unregisterObject(qtItemPath);
            connection.registerObject(itemPath, qtItem);
            return nullptr;
        }
        return ours;
    }
    return nullptr;
}

StatusItemAsMenu::StatusItemAsMenu(const QDBusConnection &connection, QObject *qtItem,
                                   QObject *parent)
    : QDBusVirtualObject(parent)
    , m_connection(connection)
    , m_qtItem(qtItem)
{
    // The item's change signals (NewIcon, NewToolTip, …) come from its adaptor.
    const auto *adaptor = qtItem->findChild<QDBusAbstractAdaptor *>();
    if (!adaptor)
        return;
    const QMetaObject *meta = adaptor->metaObject();
    const QMetaMethod relayChange =
            metaObject()->method(metaObject()->indexOfMethod("relayChange()"));
    for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
        if (meta->method(i).methodType() == QMetaMethod::Signal)
            connect(adaptor, meta->method(i), this, relayChange);
    }
}

QString StatusItemAsMenu::introspect(const QString & /*path*/) const
{
    return QStringLiteral(R"xml(<interface name="org.kde.StatusNotifierItem">
  <property name="Category" type="s" access="read"/>
  <property name="Id" type="s" access="read"/>
  <property name="Title" type="s" access="read"/>
  <property name="Status" type="s" access="read"/>
  <property name="WindowId" type="i" access="read"/>
  <property name="IconThemePath" type="s" access="read"/>
  <property name="Menu" type="o" access="read"/>
  <property name="ItemIsMenu" type="b" access="read"/>
  <property name="IconName" type="s" access="read"/>
  <property name="IconPixmap" type="a(iiay)" access="read"/>
  <property name="OverlayIconName" type="s" access="read"/>
  <property name="OverlayIconPixmap" type="a(iiay)" access="read"/>
  <property name="AttentionIconName" type="s" access="read"/>
  <property name="AttentionIconPixmap" type="a(iiay)" access="read"/>
  <property name="AttentionMovieName" type="s" access="read"/>
  <property name="ToolTip" type="(sa(iiay)ss)" access="read"/>
  <method name="ContextMenu"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
  <method name="SecondaryActivate"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
  <method name="Scroll"><arg name="delta" type="i" direction="in"/><arg name="orientation" type="s" direction="in"/></method>
  <signal name="NewTitle"/>
  <signal name="NewIcon"/>
  <signal name="NewAttentionIcon"/>
  <signal name="NewOverlayIcon"/>
  <signal name="NewMenu"/>
  <signal name="NewToolTip"/>
  <signal name="NewStatus"><arg name="status" type="s"/></signal>
</interface>
)xml");
}

bool StatusItemAsMenu::handleMessage(const QDBusMessage &message,
                                     const QDBusConnection & /*connection*/)
{
    if (message.type() != QDBusMessage::MethodCallMessage)
        return false;
    // Called on Qt's D-Bus thread; the answer comes from ours.
    QMetaObject::invokeMethod(this, [this, message] { forward(message); }, Qt::QueuedConnection);
    return true;
}

void StatusItemAsMenu::forward(const QDBusMessage &message)
{
    const QVariantList arguments = message.arguments();
    const bool properties = message.interface() == propertiesInterface && !arguments.isEmpty()
            && arguments.first().toString() == itemInterface;
    if (properties && message.member() == QLatin1String("Get") && arguments.size() > 1
        && arguments.at(1).toString() == itemIsMenu) {
        m_connection.send(message.createReply(QVariant::fromValue(QDBusVariant(true))));
        return;
    }
    // A menu has nothing to activate. GNOME's AppIndicator extension calls
    // Activate on a double click whatever ItemIsMenu says, and until told
    // there is no such method it holds every click back for the double-click
    // time; told, it opens its menu on each press at once.
    if (message.interface() == itemInterface && message.member() == QLatin1String("Activate")) {
        m_connection.send(message.createErrorReply(QDBusError::UnknownMethod,
                                                   QStringLiteral("The item is a menu")));
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(m_connection.baseService(), qtItemPath,
                                                       message.interface(), message.member());
    call.setArguments(arguments);
    auto *pending = new QDBusPendingCallWatcher(m_connection.asyncCall(call), this);
    const bool all = properties && message.member() == QLatin1String("GetAll");
    connect(pending, &QDBusPendingCallWatcher::finished, this, [this, pending, message, all] {
        pending->deleteLater();
        const QDBusMessage answer = pending->reply();
        if (answer.type() == QDBusMessage::ErrorMessage) {
            m_connection.send(message.createErrorReply(answer.errorName(), answer.errorMessage()));
            return;
        }
        QVariantList values = answer.arguments();
        if (all && !values.isEmpty()) {
            QVariantMap map = qdbus_cast<QVariantMap>(values.first());
            map.insert(itemIsMenu, true);
            values.first() = map;
        }
        m_connection.send(message.createReply(values));
    });
}

void StatusItemAsMenu::relayChange()
{
    const QMetaMethod signal = sender()->metaObject()->method(senderSignalIndex());
    QDBusMessage change = QDBusMessage::createSignal(itemPath, itemInterface,
                                                     QString::fromLatin1(signal.name()));
    if (signal.parameterCount() > 0 && m_qtItem) // NewStatus: the status itself
        change << sender()->property("Status").toString();
    m_connection.send(change);
}

namespace TrayItemAsMenu {

void declare(QObject *trayIcon)
{
    StatusItemAsMenu::takeOver(trayIcon);
}

bool isExported(const QObject *trayIcon)
{
    return trayIcon
            && trayIcon->findChild<StatusItemAsMenu *>(QString(), Qt::FindDirectChildrenOnly);
}

} // namespace TrayItemAsMenu

#include "TrayItemAsMenu.moc"
