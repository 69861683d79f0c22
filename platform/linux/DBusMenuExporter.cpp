#include "platform/linux/DBusMenuExporter.h"

#include "platform/DBusMenuLabel.h"
#include "platform/PlatformLog.h"

#include <QAction>
#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QGuiApplication>
#include <QTimer>

namespace {

const QString menuInterface = QStringLiteral("com.canonical.dbusmenu");
const QString propertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");
const QString label = QStringLiteral("label");
const QString invalidArgs = QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs");

// An entry's properties, as GetGroupProperties and ItemsPropertiesUpdated carry them.
struct MenuProperties
{
    int id = 0;
    QVariantMap properties;
};

// The properties an entry lost, as ItemsPropertiesUpdated carries them.
struct MenuRemovedProperties
{
    int id = 0;
    QStringList names;
};

// An entry with its properties and entries below, as GetLayout carries it.
struct MenuNode
{
    int id = 0;
    QVariantMap properties;
    QList<MenuNode> children;
};

// One event of EventGroup.
struct MenuEvent
{
    int id = 0;
    QString event;
    QDBusVariant data;
    uint timestamp = 0;
};

} // namespace

Q_DECLARE_METATYPE(MenuProperties)
Q_DECLARE_METATYPE(MenuRemovedProperties)
Q_DECLARE_METATYPE(MenuNode)
Q_DECLARE_METATYPE(MenuEvent)

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

QDBusArgument &operator<<(QDBusArgument &argument, const MenuRemovedProperties &entry)
{
    argument.beginStructure();
    argument << entry.id << entry.names;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, MenuRemovedProperties &entry)
{
    argument.beginStructure();
    argument >> entry.id >> entry.names;
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

QDBusArgument &operator<<(QDBusArgument &argument, const MenuEvent &event)
{
    argument.beginStructure();
    argument << event.id << event.event << event.data << event.timestamp;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, MenuEvent &event)
{
    argument.beginStructure();
    argument >> event.id >> event.event >> event.data >> event.timestamp;
    argument.endStructure();
    return argument;
}

// Only the properties asked for; none asked for is all of them.
QVariantMap filtered(QVariantMap properties, const QStringList &names)
{
    if (names.isEmpty())
        return properties;
    for (auto it = properties.begin(); it != properties.end();)
        it = names.contains(it.key()) ? std::next(it) : properties.erase(it);
    return properties;
}

} // namespace

QString introspection(const QDBusMessage &call, const QString &interfaceXml)
{
    if (call.interface() != QLatin1String("org.freedesktop.DBus.Introspectable")
        || call.member() != QLatin1String("Introspect"))
        return {};
    return QStringLiteral(R"xml(<!DOCTYPE node PUBLIC "-//freedesktop//DTD D-BUS Object Introspection 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd">
<node>
<interface name="org.freedesktop.DBus.Introspectable">
  <method name="Introspect"><arg name="xml_data" type="s" direction="out"/></method>
</interface>
<interface name="org.freedesktop.DBus.Properties">
  <method name="Get"><arg name="interface_name" type="s" direction="in"/><arg name="property_name" type="s" direction="in"/><arg name="value" type="v" direction="out"/></method>
  <method name="GetAll"><arg name="interface_name" type="s" direction="in"/><arg name="values" type="a{sv}" direction="out"/></method>
</interface>
)xml") + interfaceXml
            + QStringLiteral("</node>\n");
}

DBusMenuExporter::DBusMenuExporter(const QDBusConnection &connection, QObject *parent)
    : QDBusVirtualObject(parent)
    , m_connection(connection)
{
    qDBusRegisterMetaType<MenuProperties>();
    qDBusRegisterMetaType<QList<MenuProperties>>();
    qDBusRegisterMetaType<MenuRemovedProperties>();
    qDBusRegisterMetaType<QList<MenuRemovedProperties>>();
    qDBusRegisterMetaType<MenuNode>();
    qDBusRegisterMetaType<MenuEvent>();
    qDBusRegisterMetaType<QList<MenuEvent>>();
    followGnomeShell();
}

void DBusMenuExporter::followGnomeShell()
{
    if (!m_connection.isConnected())
        return;
    // Which caller is GNOME Shell is known before the Shell asks: its name's
    // owner, asked once without waiting and followed from then on.
    const QString shell = QStringLiteral("org.gnome.Shell");
    auto *watch = new QDBusServiceWatcher(shell, m_connection, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watch, &QDBusServiceWatcher::serviceOwnerChanged, this,
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

void DBusMenuExporter::setActions(const QList<QAction *> &actions)
{
    QList<Entry> entries;
    QHash<QAction *, int> ids;
    for (QAction *action : actions) {
        int id = m_ids.value(action);
        if (!id) {
            id = m_nextId++;
            connect(action, &QAction::changed, this, [this] {
                if (!std::exchange(m_changesQueued, true))
                    QTimer::singleShot(0, this, &DBusMenuExporter::sendChanges);
            });
            connect(action, &QObject::destroyed, this, [this, action] {
                m_ids.remove(action); // gone: nothing to disconnect
                QList<QAction *> left;
                for (const Entry &entry : std::as_const(m_entries))
                    if (entry.action && entry.action != action)
                        left.append(entry.action);
                setActions(left);
            });
        }
        ids.insert(action, id);
        Entry entry{id, action, {}};
        entry.sent = properties(entry);
        entries.append(entry);
    }
    for (auto it = m_ids.cbegin(); it != m_ids.cend(); ++it)
        if (!ids.contains(it.key()))
            disconnect(it.key(), nullptr, this, nullptr);
    const bool first = m_entries.isEmpty() && m_ids.isEmpty();
    const bool same = ids.size() == m_ids.size()
            && std::equal(entries.cbegin(), entries.cend(), m_entries.cbegin(), m_entries.cend(),
                          [](const Entry &a, const Entry &b) { return a.id == b.id; });
    m_entries = entries;
    m_ids = ids;
    if (first || same)
        return;
    ++m_revision;
    qCDebug(lcPlatform) << "tray menu: new layout, revision" << m_revision;
    m_connection.send(
            QDBusMessage::createSignal(QString::fromLatin1(path), menuInterface, QStringLiteral("LayoutUpdated"))
            << m_revision << 0);
}

QVariantMap DBusMenuExporter::properties(const Entry &entry) const
{
    const QAction *action = entry.action;
    if (!action)
        return {};
    QVariantMap properties{{QStringLiteral("enabled"), action->isEnabled()},
                           {QStringLiteral("visible"), action->isVisible()}};
    if (action->isSeparator())
        properties.insert(QStringLiteral("type"), QStringLiteral("separator"));
    else
        properties.insert(label, DBusMenuLabel::fromActionText(action->text()));
    return properties;
}

QVariantMap DBusMenuExporter::labelled(QVariantMap properties) const
{
    const auto text = properties.find(label);
    if (text != properties.end())
        *text = m_forGnomeShell ? DBusMenuLabel::forGnomeShell(text->toString())
                                : DBusMenuLabel::encoded(text->toString());
    return properties;
}

const DBusMenuExporter::Entry *DBusMenuExporter::entry(int id) const
{
    for (const Entry &entry : m_entries)
        if (entry.id == id)
            return &entry;
    return nullptr;
}

bool DBusMenuExporter::handleMessage(const QDBusMessage &message, const QDBusConnection & /*connection*/)
{
    if (message.type() != QDBusMessage::MethodCallMessage)
        return false;
    // Called on Qt's D-Bus thread; the actions live on ours.
    QMetaObject::invokeMethod(
            this, [this, message] { answer(message); }, Qt::QueuedConnection);
    return true;
}

void DBusMenuExporter::followCaller(const QDBusMessage &call)
{
    const bool gnomeShell = !m_gnomeShell.isEmpty() && call.service() == m_gnomeShell;
    if (gnomeShell != m_forGnomeShell)
        qCInfo(lcPlatform) << "tray menu: labels in" << (gnomeShell ? "GNOME Shell's" : "the protocol's") << "form for"
                           << call.service();
    m_forGnomeShell = gnomeShell;
}

void DBusMenuExporter::answer(const QDBusMessage &call)
{
    const QString member = call.member();
    const QString signature = call.signature();
    const QVariantList arguments = call.arguments();
    const auto reply = [&](const QVariantList &values) { m_connection.send(call.createReply(values)); };
    const auto refuse = [&](const QString &why) { m_connection.send(call.createErrorReply(invalidArgs, why)); };
    if (const QString xml = introspection(call, introspect(QString())); !xml.isNull())
        return reply({xml});
    if (call.interface() == propertiesInterface) {
        const QVariantMap menuProperties{
                {QStringLiteral("Version"), 3u},
                {QStringLiteral("TextDirection"),
                 QGuiApplication::layoutDirection() == Qt::RightToLeft ? QStringLiteral("rtl") : QStringLiteral("ltr")},
                {QStringLiteral("Status"), QStringLiteral("normal")},
                {QStringLiteral("IconThemePath"), QStringList()}};
        if (member == QLatin1String("GetAll") && signature == QLatin1String("s"))
            return reply({menuProperties});
        if (member == QLatin1String("Get") && signature == QLatin1String("ss")
            && menuProperties.contains(arguments.at(1).toString()))
            return reply({QVariant::fromValue(QDBusVariant(menuProperties.value(arguments.at(1).toString())))});
        return refuse(QStringLiteral("No such property"));
    }
    if (member == QLatin1String("GetLayout") && signature == QLatin1String("iias")) {
        followCaller(call);
        const int parentId = arguments.at(0).toInt();
        const int depth = arguments.at(1).toInt();
        const QStringList names = arguments.at(2).toStringList();
        const Entry *parent = entry(parentId);
        if (parentId != 0 && !parent)
            return refuse(QStringLiteral("No such entry"));
        MenuNode node{parentId, {}, {}};
        if (parent) {
            node.properties = filtered(labelled(properties(*parent)), names);
        } else {
            node.properties = filtered({{QStringLiteral("children-display"), QStringLiteral("submenu")}}, names);
            for (const Entry &child : std::as_const(m_entries))
                if (depth != 0)
                    node.children.append({child.id, filtered(labelled(properties(child)), names), {}});
        }
        return reply({m_revision, QVariant::fromValue(node)});
    }
    if (member == QLatin1String("GetGroupProperties") && signature == QLatin1String("aias")) {
        followCaller(call);
        const auto ids = qdbus_cast<QList<int>>(arguments.at(0));
        const QStringList names = arguments.at(1).toStringList();
        QList<MenuProperties> group;
        for (const Entry &each : std::as_const(m_entries))
            if (ids.isEmpty() || ids.contains(each.id))
                group.append({each.id, filtered(labelled(properties(each)), names)});
        return reply({QVariant::fromValue(group)});
    }
    if (member == QLatin1String("GetProperty") && signature == QLatin1String("is")) {
        followCaller(call);
        const Entry *one = entry(arguments.at(0).toInt());
        const QVariantMap all = one ? labelled(properties(*one)) : QVariantMap();
        const QString name = arguments.at(1).toString();
        if (!all.contains(name))
            return refuse(QStringLiteral("No such entry or property"));
        return reply({QVariant::fromValue(QDBusVariant(all.value(name)))});
    }
    if (member == QLatin1String("Event") && signature == QLatin1String("isvu")) {
        if (!handleEvent(arguments.at(0).toInt(), arguments.at(1).toString()))
            return refuse(QStringLiteral("No such entry"));
        return reply({});
    }
    if (member == QLatin1String("EventGroup") && signature == QLatin1String("a(isvu)")) {
        const auto events = qdbus_cast<QList<MenuEvent>>(arguments.at(0));
        QList<int> unknown;
        for (const MenuEvent &event : events)
            if (!handleEvent(event.id, event.event))
                unknown.append(event.id);
        if (!events.isEmpty() && unknown.size() == events.size())
            return refuse(QStringLiteral("No such entry"));
        return reply({QVariant::fromValue(unknown)});
    }
    if (member == QLatin1String("AboutToShow") && signature == QLatin1String("i")) {
        const int id = arguments.at(0).toInt();
        if (id != 0 && !entry(id))
            return refuse(QStringLiteral("No such entry"));
        emit opened();
        return reply({false}); // the entries are current; a fresh status comes as a change
    }
    if (member == QLatin1String("AboutToShowGroup") && signature == QLatin1String("ai")) {
        QList<int> unknown;
        for (const int id : qdbus_cast<QList<int>>(arguments.at(0)))
            if (id != 0 && !entry(id))
                unknown.append(id);
        emit opened();
        return reply({QVariant::fromValue(QList<int>()), QVariant::fromValue(unknown)});
    }
    m_connection.send(call.createErrorReply(QDBusError::UnknownMethod, QStringLiteral("No such method")));
}

bool DBusMenuExporter::handleEvent(int id, const QString &event)
{
    const Entry *target = entry(id);
    if (id != 0 && !target)
        return false;
    if (event == QLatin1String("opened")) {
        emit opened();
    } else if (event == QLatin1String("closed")) {
        emit closed();
    } else if (event == QLatin1String("clicked") && target && target->action && !target->action->isSeparator()
               && target->action->isEnabled() && target->action->isVisible()) {
        // After the reply: the host is not kept waiting for what the entry does.
        QTimer::singleShot(0, target->action.get(), &QAction::trigger);
    }
    return true;
}

void DBusMenuExporter::sendChanges()
{
    m_changesQueued = false;
    QList<MenuProperties> updated;
    QList<MenuRemovedProperties> removed;
    for (Entry &each : m_entries) {
        const QVariantMap now = properties(each);
        QVariantMap changed;
        QStringList gone;
        for (auto it = now.cbegin(); it != now.cend(); ++it)
            if (each.sent.value(it.key()) != it.value())
                changed.insert(it.key(), it.value());
        for (auto it = each.sent.cbegin(); it != each.sent.cend(); ++it)
            if (!now.contains(it.key()))
                gone.append(it.key());
        each.sent = now;
        if (!changed.isEmpty())
            updated.append({each.id, labelled(changed)});
        if (!gone.isEmpty())
            removed.append({each.id, gone});
    }
    if (updated.isEmpty() && removed.isEmpty())
        return;
    // A change goes to every listener; in practice that is the one host that last asked.
    m_connection.send(QDBusMessage::createSignal(QString::fromLatin1(path), menuInterface,
                                                 QStringLiteral("ItemsPropertiesUpdated"))
                      << QVariant::fromValue(updated) << QVariant::fromValue(removed));
}

QString DBusMenuExporter::introspect(const QString & /*path*/) const
{
    return QStringLiteral(R"xml(<interface name="com.canonical.dbusmenu">
  <property name="Version" type="u" access="read"/>
  <property name="TextDirection" type="s" access="read"/>
  <property name="Status" type="s" access="read"/>
  <property name="IconThemePath" type="as" access="read"/>
  <method name="GetLayout"><arg name="parentId" type="i" direction="in"/><arg name="recursionDepth" type="i" direction="in"/><arg name="propertyNames" type="as" direction="in"/><arg name="revision" type="u" direction="out"/><arg name="layout" type="(ia{sv}av)" direction="out"/></method>
  <method name="GetGroupProperties"><arg name="ids" type="ai" direction="in"/><arg name="propertyNames" type="as" direction="in"/><arg name="properties" type="a(ia{sv})" direction="out"/></method>
  <method name="GetProperty"><arg name="id" type="i" direction="in"/><arg name="name" type="s" direction="in"/><arg name="value" type="v" direction="out"/></method>
  <method name="Event"><arg name="id" type="i" direction="in"/><arg name="eventId" type="s" direction="in"/><arg name="data" type="v" direction="in"/><arg name="timestamp" type="u" direction="in"/></method>
  <method name="EventGroup"><arg name="events" type="a(isvu)" direction="in"/><arg name="idErrors" type="ai" direction="out"/></method>
  <method name="AboutToShow"><arg name="id" type="i" direction="in"/><arg name="needUpdate" type="b" direction="out"/></method>
  <method name="AboutToShowGroup"><arg name="ids" type="ai" direction="in"/><arg name="updatesNeeded" type="ai" direction="out"/><arg name="idErrors" type="ai" direction="out"/></method>
  <signal name="ItemsPropertiesUpdated"><arg name="updatedProps" type="a(ia{sv})"/><arg name="removedProps" type="a(ias)"/></signal>
  <signal name="LayoutUpdated"><arg name="revision" type="u"/><arg name="parent" type="i"/></signal>
  <signal name="ItemActivationRequested"><arg name="id" type="i"/><arg name="timestamp" type="u"/></signal>
</interface>
)xml");
}
