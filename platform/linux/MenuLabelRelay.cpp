#include "platform/linux/MenuLabelRelay.h"

#include "platform/DBusMenuLabel.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusVariant>
#include <QVariantMap>

namespace {

const QString menuPath = QStringLiteral("/MenuBar"); // where Qt's tray item names it
const QString qtMenuPath = QStringLiteral("/de/harlune/QtMenuBar");
const QString menuInterface = QStringLiteral("com.canonical.dbusmenu");
const QString label = QStringLiteral("label");

// An entry's properties, as GetGroupProperties and ItemsPropertiesUpdated carry them.
struct MenuProperties
{
    int id = 0;
    QVariantMap properties;
};

// An entry with its properties and entries below, as GetLayout carries it.
struct MenuNode
{
    int id = 0;
    QVariantMap properties;
    QList<MenuNode> children;
};

} // namespace

Q_DECLARE_METATYPE(MenuProperties)
Q_DECLARE_METATYPE(MenuNode)

namespace {

QDBusArgument &operator<<(QDBusArgument &argument, const MenuProperties &entry)
{
    argument.beginStructure();
    argument << entry.id << entry.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, MenuProperties &entry)
{
    argument.beginStructure();
    argument >> entry.id >> entry.properties;
    argument.endStructure();
    return argument;
}

QDBusArgument &operator<<(QDBusArgument &argument, const MenuNode &node)
{
    argument.beginStructure();
    argument << node.id << node.properties;
    argument.beginArray(QMetaType::fromType<QDBusVariant>());
    for (const MenuNode &child : node.children)
        argument << QDBusVariant(QVariant::fromValue(child));
    argument.endArray();
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, MenuNode &node)
{
    argument.beginStructure();
    argument >> node.id >> node.properties;
    argument.beginArray();
    node.children.clear();
    while (!argument.atEnd()) {
        QDBusVariant child;
        argument >> child;
        node.children.append(qdbus_cast<MenuNode>(child.variant()));
    }
    argument.endArray();
    argument.endStructure();
    return argument;
}

// How the host that asks reads a label's underscores.
using Relabel = QString (*)(const QString &);

Relabel labelStyle(bool gnomeShell)
{
    return gnomeShell ? &DBusMenuLabel::forGnomeShell : &DBusMenuLabel::withoutAccessKey;
}

void relabel(QVariantMap &properties, Relabel style)
{
    const auto text = properties.find(label);
    if (text != properties.end())
        *text = style(text->toString());
}

void relabel(MenuNode &node, Relabel style)
{
    relabel(node.properties, style);
    for (MenuNode &child : node.children)
        relabel(child, style);
}

QVariant relabelled(const QVariant &group, Relabel style)
{
    auto entries = qdbus_cast<QList<MenuProperties>>(group);
    for (MenuProperties &entry : entries)
        relabel(entry.properties, style);
    return QVariant::fromValue(entries);
}

// The labels in the values of a reply to `member` or of a change signal of that name.
void relabel(const QString &member, QVariantList &values, Relabel style)
{
    if (member == QLatin1String("GetLayout") && values.size() == 2) {
        auto root = qdbus_cast<MenuNode>(values.at(1));
        relabel(root, style);
        values[1] = QVariant::fromValue(root);
    } else if ((member == QLatin1String("GetGroupProperties")
                || member == QLatin1String("ItemsPropertiesUpdated"))
               && !values.isEmpty()) {
        values[0] = relabelled(values.at(0), style);
    } else if (member == QLatin1String("GetProperty") && !values.isEmpty()) {
        const QString text = qdbus_cast<QDBusVariant>(values.first()).variant().toString();
        values.first() = QVariant::fromValue(QDBusVariant(style(text)));
    }
}

} // namespace

bool MenuLabelRelay::takeOver(const QDBusConnection &connection, QObject *parent)
{
    qDBusRegisterMetaType<MenuProperties>();
    qDBusRegisterMetaType<QList<MenuProperties>>();
    qDBusRegisterMetaType<MenuNode>();
    QDBusConnection bus = connection;
    QObject *qtMenu = bus.objectRegisteredAt(menuPath);
    auto *ours = qtMenu ? new MenuLabelRelay(connection, parent) : nullptr;
    if (!ours || !standIn(menuPath, qtMenu, ours))
        return false;
    // Qt's changes come back to us through the bus, like to any listener.
    for (const char *change : {"LayoutUpdated", "ItemsPropertiesUpdated", "ItemActivationRequested"}) {
        bus.connect(bus.baseService(), qtMenuPath, menuInterface, QString::fromLatin1(change), ours,
                    SLOT(relayChange(QDBusMessage)));
    }
    return true;
}

MenuLabelRelay::MenuLabelRelay(const QDBusConnection &connection, QObject *parent)
    : QtObjectRelay(connection, qtMenuPath, parent)
{
    // Which caller is GNOME Shell is known before the Shell asks: its name's
    // owner, asked once without waiting and followed from then on.
    const QString shell = QStringLiteral("org.gnome.Shell");
    auto *shellWatch = new QDBusServiceWatcher(shell, m_connection, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(shellWatch, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString &, const QString &, const QString &owner) { m_gnomeShell = owner; });
    auto *asked = new QDBusPendingCallWatcher(
        m_connection.interface()->asyncCall(QStringLiteral("GetNameOwner"), shell), this);
    connect(asked, &QDBusPendingCallWatcher::finished, this, [this, asked] {
        asked->deleteLater();
        const QDBusPendingReply<QString> owner = *asked;
        if (owner.isValid() && m_gnomeShell.isEmpty())
            m_gnomeShell = owner.value();
    });
}

QString MenuLabelRelay::introspect(const QString & /*path*/) const
{
    return QStringLiteral(R"xml(<interface name="com.canonical.dbusmenu">
  <property name="Version" type="u" access="read"/>
  <property name="TextDirection" type="s" access="read"/>
  <property name="Status" type="s" access="read"/>
  <property name="IconThemePath" type="as" access="read"/>
  <method name="GetLayout"><arg type="i" direction="in"/><arg type="i" direction="in"/><arg type="as" direction="in"/><arg type="u" direction="out"/><arg type="(ia{sv}av)" direction="out"/></method>
  <method name="GetGroupProperties"><arg type="ai" direction="in"/><arg type="as" direction="in"/><arg type="a(ia{sv})" direction="out"/></method>
  <method name="GetProperty"><arg type="i" direction="in"/><arg type="s" direction="in"/><arg type="v" direction="out"/></method>
  <method name="Event"><arg type="i" direction="in"/><arg type="s" direction="in"/><arg type="v" direction="in"/><arg type="u" direction="in"/></method>
  <method name="EventGroup"><arg type="a(isvu)" direction="in"/><arg type="ai" direction="out"/></method>
  <method name="AboutToShow"><arg type="i" direction="in"/><arg type="b" direction="out"/></method>
  <method name="AboutToShowGroup"><arg type="ai" direction="in"/><arg type="ai" direction="out"/><arg type="ai" direction="out"/></method>
  <signal name="ItemsPropertiesUpdated"><arg type="a(ia{sv})"/><arg type="a(ias)"/></signal>
  <signal name="LayoutUpdated"><arg type="u"/><arg type="i"/></signal>
  <signal name="ItemActivationRequested"><arg type="i"/><arg type="u"/></signal>
</interface>
)xml");
}

QVariantList MenuLabelRelay::answer(const QDBusMessage &call, QVariantList values) const
{
    if (call.interface() != menuInterface
        || (call.member() == QLatin1String("GetProperty") && call.arguments().value(1) != label))
        return values;
    m_hostIsGnomeShell = !m_gnomeShell.isEmpty() && call.service() == m_gnomeShell;
    relabel(call.member(), values, labelStyle(m_hostIsGnomeShell));
    return values;
}

void MenuLabelRelay::relayChange(const QDBusMessage &change)
{
    QVariantList values = change.arguments();
    // A change goes to every listener; in practice that is the one host that last asked.
    relabel(change.member(), values, labelStyle(m_hostIsGnomeShell));
    QDBusMessage relayed = QDBusMessage::createSignal(menuPath, menuInterface, change.member());
    relayed.setArguments(values);
    m_connection.send(relayed);
}
