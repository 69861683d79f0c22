#include "platform/TrayItemAsMenu.h"

#include "platform/linux/MenuLabelRelay.h"
#include "platform/linux/QtObjectRelay.h"

#include <QCoreApplication>
#include <QDBusAbstractAdaptor>
#include <QDBusArgument>
#include <QDBusError>
#include <QDBusMetaType>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QMetaMethod>
#include <QPointer>
#include <QVariantMap>

namespace {

// Takes the item's object path over on Qt's tray connection, moves Qt's item
// aside, and passes every call on to it, answering ItemIsMenu itself and
// sending the item's change signals from the path hosts watch.
class StatusItemAsMenu : public QtObjectRelay
{
    Q_OBJECT

public:
    // Takes over the item of the QSystemTrayIcon shown last. Returns null
    // where Qt exported none (an XEmbed tray, no watcher at the first use).
    static StatusItemAsMenu *takeOver(QObject *parent);

    QString introspect(const QString &path) const override;

private slots:
    void relayChange();

private:
    StatusItemAsMenu(const QDBusConnection &connection, QObject *qtItem, QObject *parent);
    void forward(const QDBusMessage &message) override;
    QVariantList answer(const QDBusMessage &call, QVariantList values) const override;

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
        auto *ours = new StatusItemAsMenu(connection, qtItem, parent);
        if (!standIn(itemPath, qtItem, ours))
            return nullptr;
        MenuLabelRelay::takeOver(connection, parent);
        return ours;
    }
    return nullptr;
}

StatusItemAsMenu::StatusItemAsMenu(const QDBusConnection &connection, QObject *qtItem,
                                   QObject *parent)
    : QtObjectRelay(connection, qtItemPath, parent)
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

void StatusItemAsMenu::forward(const QDBusMessage &message)
{
    const QVariantList arguments = message.arguments();
    if (message.interface() == propertiesInterface && message.member() == QLatin1String("Get")
        && arguments.size() > 1 && arguments.at(0).toString() == itemInterface
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
    QtObjectRelay::forward(message);
}

QVariantList StatusItemAsMenu::answer(const QDBusMessage &call, QVariantList values) const
{
    const QVariantList arguments = call.arguments();
    if (call.interface() == propertiesInterface && call.member() == QLatin1String("GetAll")
        && !arguments.isEmpty() && arguments.first().toString() == itemInterface && !values.isEmpty()) {
        QVariantMap map = qdbus_cast<QVariantMap>(values.first());
        map.insert(itemIsMenu, true);
        values.first() = map;
    }
    return values;
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
