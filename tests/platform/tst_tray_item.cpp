// The program's own tray item and its menu, as a panel sees them: over a
// private session bus, this test playing the watcher, the host and GNOME
// Shell on connections of their own.

#include "platform/DesktopNotifier.h"
#include "platform/StatusNotifierItem.h"

#include <QAction>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QPixmap>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

constexpr int patienceMs = 10000;
const QString itemInterface = u"org.kde.StatusNotifierItem"_s;
const QString menuInterface = u"com.canonical.dbusmenu"_s;

// What a watcher is told.
class Watcher : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")

public:
    QStringList registered; // "sender service" a line

public slots:
    void RegisterStatusNotifierItem(const QString &service, const QDBusMessage &message)
    {
        registered << message.service() + u' ' + service;
    }
};

// A notification service as the desktop's: ids counted from 1, a click
// told as ActionInvoked to everyone on the bus.
class NoticeService : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    uint lastId = 0;
    QString lastBody;

public slots:
    QStringList GetCapabilities() { return {u"actions"_s, u"body"_s, u"body-markup"_s}; }
    uint Notify(const QString &, uint replaces, const QString &, const QString &, const QString &body,
                const QStringList &, const QVariantMap &, int)
    {
        lastBody = body;
        return replaces ? replaces : ++lastId;
    }
};

// One event of EventGroup, as a host sends it.
struct GroupEvent
{
    int id = 0;
    QString event;
    QDBusVariant data;
    uint timestamp = 0;
};

QDBusArgument &operator<<(QDBusArgument &argument, const GroupEvent &event)
{
    argument.beginStructure();
    argument << event.id << event.event << event.data << event.timestamp;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, GroupEvent &event)
{
    argument.beginStructure();
    argument >> event.id >> event.event >> event.data >> event.timestamp;
    argument.endStructure();
    return argument;
}

// A connection of its own to the session bus, under `name`.
QDBusConnection connection(const QString &name)
{
    return QDBusConnection::connectToBus(QDBusConnection::SessionBus, name);
}

// A value as it came, out of the variant D-Bus wraps it in.
QVariant plain(const QVariant &value)
{
    return value.canConvert<QDBusVariant>() ? value.value<QDBusVariant>().variant() : value;
}

} // namespace

Q_DECLARE_METATYPE(GroupEvent)

class TrayItemTest : public QObject
{
    Q_OBJECT

private:
    QDBusConnection m_host = connection(u"host"_s);
    QString m_item; // our bus name
    QList<QDBusMessage> m_signals;
    int m_heardHere = 0;

    // Asks our item's side of the bus from the host's connection; the item
    // answers on this thread, so the wait keeps events flowing.
    QDBusMessage ask(const QString &path, const QString &interface, const QString &method,
                     const QVariantList &arguments = {}, QDBusConnection *from = nullptr)
    {
        QDBusMessage call = QDBusMessage::createMethodCall(m_item, path, interface, method);
        call.setArguments(arguments);
        QDBusPendingCall pending = (from ? *from : m_host).asyncCall(call);
        if (!QTest::qWaitFor([&] { return pending.isFinished(); }, patienceMs))
            return QDBusMessage::createError(u"test.Timeout"_s, method);
        return pending.reply();
    }
    QVariant itemProperty(const QString &name)
    {
        return plain(
                ask(u"/StatusNotifierItem"_s, u"org.freedesktop.DBus.Properties"_s, u"Get"_s, {itemInterface, name})
                        .arguments()
                        .value(0));
    }
    // GetLayout's children as "id label enabled visible type" a line.
    QStringList layout(QDBusConnection *from = nullptr, int depth = -1, const QStringList &names = {},
                       uint *revision = nullptr)
    {
        const QDBusMessage answer = ask(u"/MenuBar"_s, menuInterface, u"GetLayout"_s, {0, depth, names}, from);
        if (answer.type() != QDBusMessage::ReplyMessage)
            return {answer.errorName()};
        if (revision)
            *revision = answer.arguments().at(0).toUInt();
        const QDBusArgument root = answer.arguments().at(1).value<QDBusArgument>();
        QStringList lines;
        int id = 0;
        QVariantMap properties;
        root.beginStructure();
        root >> id >> properties;
        lines << u"root %1"_s.arg(properties.value(u"children-display"_s).toString());
        root.beginArray();
        while (!root.atEnd()) {
            QDBusVariant child;
            root >> child;
            const QDBusArgument node = child.variant().value<QDBusArgument>();
            node.beginStructure();
            node >> id >> properties;
            lines << u"%1 %2 %3 %4 %5"_s.arg(id).arg(
                    properties.value(u"label"_s, u"-"_s).toString(), properties.value(u"enabled"_s, u"-"_s).toString(),
                    properties.value(u"visible"_s, u"-"_s).toString(), properties.value(u"type"_s, u"-"_s).toString());
            node.beginArray(); // no submenus: an empty list
            if (!node.atEnd())
                lines << u"children below %1"_s.arg(id);
            node.endArray();
            node.endStructure();
        }
        root.endArray();
        root.endStructure();
        return lines;
    }
    int signalsNamed(const QString &name) const
    {
        return int(std::count_if(m_signals.cbegin(), m_signals.cend(),
                                 [&name](const QDBusMessage &m) { return m.member() == name; }));
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(m_host.isConnected(), "no session bus: run under dbus-run-session");
        qDBusRegisterMetaType<GroupEvent>();
        qDBusRegisterMetaType<QList<GroupEvent>>();
        for (const QString &interface : {itemInterface, menuInterface})
            QVERIFY(m_host.connect(QString(), QString(), interface, QString(), this, SLOT(heard(QDBusMessage))));
    }

    void heard(const QDBusMessage &message) { m_signals << message; }
    void heardHere(const QDBusMessage &) { ++m_heardHere; }

    // Registered with the watcher there is, and again with every new one:
    // a panel that restarts, or one that comes later.
    void registersWithEveryWatcher()
    {
        Watcher first;
        QVERIFY(m_host.registerObject(u"/StatusNotifierWatcher"_s, &first, QDBusConnection::ExportAllSlots));
        QVERIFY(m_host.registerService(u"org.kde.StatusNotifierWatcher"_s));
        QAction entry(u"Beenden"_s);
        StatusNotifierItem item(u"de.example.tray"_s, u"Beispiel"_s, {&entry});
        QTRY_COMPARE_WITH_TIMEOUT(first.registered.size(), 1, patienceMs);
        QTRY_VERIFY_WITH_TIMEOUT(item.isRegistered(), patienceMs);
        const QString ours = QDBusConnection::sessionBus().baseService();
        QCOMPARE(first.registered.first(), ours + u' ' + ours);

        // The watcher's panel ends: the item is nowhere; another takes the name.
        QVERIFY(m_host.unregisterService(u"org.kde.StatusNotifierWatcher"_s));
        QTRY_VERIFY_WITH_TIMEOUT(!item.isRegistered(), patienceMs);
        QDBusConnection panel = connection(u"panel"_s);
        Watcher second;
        QVERIFY(panel.registerObject(u"/StatusNotifierWatcher"_s, &second, QDBusConnection::ExportAllSlots));
        QVERIFY(panel.registerService(u"org.kde.StatusNotifierWatcher"_s));
        QTRY_COMPARE_WITH_TIMEOUT(second.registered, QStringList{ours + u' ' + ours}, patienceMs);
        QTRY_VERIFY_WITH_TIMEOUT(item.isRegistered(), patienceMs);
        QCOMPARE(first.registered.size(), 1);
        panel.unregisterService(u"org.kde.StatusNotifierWatcher"_s);
        QDBusConnection::disconnectFromBus(u"panel"_s);
        m_host.unregisterObject(u"/StatusNotifierWatcher"_s);
    }

    // A click on any program's notice is told to the whole bus: only ours
    // acts, and only while the service that showed it runs.
    void onlyOurNoticeActs()
    {
        QDBusConnection desktop = connection(u"notices"_s);
        NoticeService service;
        service.lastId = 40;
        QVERIFY(desktop.registerObject(u"/org/freedesktop/Notifications"_s, &service, QDBusConnection::ExportAllSlots));
        QVERIFY(desktop.registerService(u"org.freedesktop.Notifications"_s));
        DesktopNotifier notifier(u"Beispiel"_s, u"de.example.tray"_s, u"de.example.tray"_s);
        int clicks = 0;
        connect(&notifier, &DesktopNotifier::clicked, this, [&] { ++clicks; });
        // Heard here after the notifier, on its connection: once this has
        // the signal, the notifier has had it too.
        QVERIFY(QDBusConnection::sessionBus().connect(QString(), QString(), u"org.freedesktop.Notifications"_s,
                                                      u"ActionInvoked"_s, this, SLOT(heardHere(QDBusMessage))));
        m_heardHere = 0;
        notifier.notify(
                u"Titel"_s, [](bool) { return u"<b>a & b</b>"_s; }, u"Öffnen"_s);
        QTRY_COMPARE_WITH_TIMEOUT(service.lastId, 41u, patienceMs);
        QCOMPARE(service.lastBody, u"&lt;b&gt;a &amp; b&lt;/b&gt;"_s); // a log line's text, no markup of its own
        const auto invoke = [&desktop](uint id, const QString &action) {
            desktop.send(QDBusMessage::createSignal(u"/org/freedesktop/Notifications"_s,
                                                    u"org.freedesktop.Notifications"_s, u"ActionInvoked"_s)
                         << id << action);
        };
        invoke(40, u"default"_s); // another program's
        invoke(41, u"reply"_s);   // ours, but not the click
        QTRY_COMPARE_WITH_TIMEOUT(m_heardHere, 2, patienceMs);
        QCOMPARE(clicks, 0);
        invoke(41, u"default"_s);
        QTRY_COMPARE_WITH_TIMEOUT(m_heardHere, 3, patienceMs);
        QCOMPARE(clicks, 1);
        // The service restarts and counts afresh: its 41 is someone else's.
        QVERIFY(desktop.unregisterService(u"org.freedesktop.Notifications"_s));
        QVERIFY(desktop.registerService(u"org.freedesktop.Notifications"_s));
        invoke(41, u"default"_s);
        QTRY_COMPARE_WITH_TIMEOUT(m_heardHere, 4, patienceMs);
        QCOMPARE(clicks, 1);
        QDBusConnection::disconnectFromBus(u"notices"_s);
    }

    // What hosts read of the item; a change is announced only when there is one.
    void itemPropertiesAndChanges()
    {
        QAction entry(u"Beenden"_s);
        StatusNotifierItem item(u"de.example.tray"_s, u"Beispiel"_s, {&entry});
        m_item = QDBusConnection::sessionBus().baseService();
        QPixmap red(16, 16), blue(32, 32);
        red.fill(QColor(0xff, 0x00, 0x00));
        blue.fill(QColor(0x00, 0x00, 0xff, 0x80));
        QIcon icon;
        icon.addPixmap(blue);
        icon.addPixmap(red);
        m_signals.clear();
        for (int twice = 0; twice < 2; ++twice) {
            item.setIcon(icon);
            item.setToolTip(u"Server läuft"_s);
        }
        for (const auto &[name, value] : {std::pair{u"Category"_s, QVariant(u"ApplicationStatus"_s)},
                                          {u"Id"_s, u"de.example.tray"_s},
                                          {u"Title"_s, u"Beispiel"_s},
                                          {u"Status"_s, u"Active"_s},
                                          {u"ItemIsMenu"_s, true},
                                          {u"IconName"_s, QString()}})
            QCOMPARE(itemProperty(name), value);
        QCOMPARE(itemProperty(u"Menu"_s).value<QDBusObjectPath>().path(), u"/MenuBar"_s);
        // Each size, smallest first, ARGB in network byte order (not premultiplied).
        const QDBusArgument pixmaps = itemProperty(u"IconPixmap"_s).value<QDBusArgument>();
        QStringList seen;
        pixmaps.beginArray();
        while (!pixmaps.atEnd()) {
            int width = 0, height = 0;
            QByteArray pixels;
            pixmaps.beginStructure();
            pixmaps >> width >> height >> pixels;
            pixmaps.endStructure();
            QCOMPARE(pixels.size(), width * height * 4);
            seen << u"%1x%2 %3"_s.arg(width).arg(height).arg(QString::fromLatin1(pixels.left(4).toHex()));
        }
        pixmaps.endArray();
        QCOMPARE(seen, (QStringList{u"16x16 ffff0000"_s, u"32x32 800000ff"_s}));
        const QDBusArgument tip = itemProperty(u"ToolTip"_s).value<QDBusArgument>();
        QString iconName, title, text;
        tip.beginStructure();
        tip >> iconName;
        tip.beginArray(); // no pictures: the icon's own
        QVERIFY(tip.atEnd());
        tip.endArray();
        tip >> title >> text;
        tip.endStructure();
        QCOMPARE(title, u"Server läuft"_s);
        // A menu has nothing to activate: told so, GNOME's extension opens
        // its menu at once instead of waiting for a double click.
        QCOMPARE(ask(u"/StatusNotifierItem"_s, itemInterface, u"Activate"_s, {0, 0}).errorName(),
                 u"org.freedesktop.DBus.Error.UnknownMethod"_s);
        QCOMPARE(ask(u"/StatusNotifierItem"_s, itemInterface, u"Scroll"_s, {1, u"vertical"_s}).type(),
                 QDBusMessage::ReplyMessage);
        QTRY_COMPARE_WITH_TIMEOUT(signalsNamed(u"NewToolTip"_s), 1, patienceMs);
        QCOMPARE(signalsNamed(u"NewIcon"_s), 1);
        item.setToolTip(u"Server gestoppt"_s);
        QTRY_COMPARE_WITH_TIMEOUT(signalsNamed(u"NewToolTip"_s), 2, patienceMs);
        QCOMPARE(signalsNamed(u"NewIcon"_s), 1);
    }

    // Labels show their text as it is on every host: the protocol's form
    // ('_' doubled, no access key), and GNOME Shell's own, told apart by the
    // owner of its bus name.
    void labelsForEveryHost_data()
    {
        QTest::addColumn<QString>("actionText");
        QTest::addColumn<QString>("label");
        QTest::addColumn<QString>("gnomeLabel");
        // GNOME's extension drops the first '_' before another character and shows the rest as it is.
        // clang-format off
        QTest::newRow("access key") << u"&Beenden"_s << u"Beenden"_s << u"Beenden"_s;
        QTest::newRow("underscores") << u"a_b_c"_s << u"a__b__c"_s << u"_a_b_c"_s;
        QTest::newRow("data path") << u"Daten: /Buchhaltung && Co_mit_Belegen &&&& Leerzeichen"_s << u"Daten: /Buchhaltung & Co__mit__Belegen && Leerzeichen"_s << u"_Daten: /Buchhaltung & Co_mit_Belegen && Leerzeichen"_s;
        QTest::newRow("underscore first") << u"_x && y"_s << u"__x & y"_s << u"__x & y"_s;
        QTest::newRow("at the ends") << u"&&_x_&&"_s << u"&__x__&"_s << u"_&_x_&"_s;
        QTest::newRow("runs") << u"__&&&&__"_s << u"____&&____"_s << u"___&&__"_s;
        QTest::newRow("only underscores") << u"__"_s << u"____"_s << u"__"_s;
        // clang-format on
    }
    void labelsForEveryHost()
    {
        QFETCH(QString, actionText);
        QFETCH(QString, label);
        QFETCH(QString, gnomeLabel);
        QAction entry(actionText);
        StatusNotifierItem item(u"de.example.tray"_s, u"Beispiel"_s, {&entry});
        m_item = QDBusConnection::sessionBus().baseService();
        QCOMPARE(layout().value(1), u"1 %1 true true -"_s.arg(label));
        QDBusConnection shell = connection(u"shell"_s);
        QVERIFY(shell.registerService(u"org.gnome.Shell"_s));
        const auto gnomeShows = [&] { return layout(&shell).value(1); };
        QTRY_COMPARE_WITH_TIMEOUT(gnomeShows(), u"1 %1 true true -"_s.arg(gnomeLabel), patienceMs);
        QCOMPARE(layout().value(1), u"1 %1 true true -"_s.arg(label)); // others as before
        QDBusConnection::disconnectFromBus(u"shell"_s);
    }

    // The menu's calls and what they do; a change goes out once, with only
    // what changed; a change of the entries as a new layout revision.
    void menuProtocol()
    {
        QAction status(u"Server gestoppt"_s), separator, start(u"Server starten"_s), quit(u"Beenden"_s),
                hidden(u"Versteckt"_s);
        status.setEnabled(false);
        separator.setSeparator(true);
        hidden.setVisible(false);
        int started = 0, quitted = 0, looks = 0, ends = 0;
        connect(&start, &QAction::triggered, this, [&] { ++started; });
        connect(&status, &QAction::triggered, this, [&] { ++quitted; }); // disabled: never
        connect(&hidden, &QAction::triggered, this, [&] { ++quitted; }); // invisible: never
        connect(&quit, &QAction::triggered, this, [&] { ++quitted; });
        auto *extra = new QAction(u"Weg"_s);
        StatusNotifierItem item(u"de.example.tray"_s, u"Beispiel"_s,
                                {&status, &separator, &start, &quit, &hidden, extra});
        connect(&item, &StatusNotifierItem::menuOpened, this, [&] { ++looks; });
        connect(&item, &StatusNotifierItem::menuClosed, this, [&] { ++ends; });
        m_item = QDBusConnection::sessionBus().baseService();

        uint revision = 0;
        QCOMPARE(layout(nullptr, -1, {}, &revision),
                 (QStringList{u"root submenu"_s, u"1 Server gestoppt false true -"_s, u"2 - true true separator"_s,
                              u"3 Server starten true true -"_s, u"4 Beenden true true -"_s,
                              u"5 Versteckt false false -"_s, u"6 Weg true true -"_s}));
        QCOMPARE(layout(nullptr, 0), QStringList{u"root submenu"_s});
        QCOMPARE(layout(nullptr, 1, {u"enabled"_s}).value(1), u"1 - false - -"_s);
        const auto call = [&](const QString &method, const QVariantList &arguments) {
            return ask(u"/MenuBar"_s, menuInterface, method, arguments);
        };
        const QDBusMessage one = call(u"GetLayout"_s, {3, -1, QStringList{u"label"_s}});
        QCOMPARE(one.arguments().value(1).value<QDBusArgument>().currentSignature(), u"(ia{sv}av)"_s);
        QCOMPARE(call(u"GetLayout"_s, {99, -1, QStringList()}).type(), QDBusMessage::ErrorMessage);
        QCOMPARE(plain(call(u"GetProperty"_s, {3, u"label"_s}).arguments().value(0)).toString(), u"Server starten"_s);
        QCOMPARE(call(u"GetProperty"_s, {3, u"icon-name"_s}).type(), QDBusMessage::ErrorMessage);
        QCOMPARE(call(u"GetGroupProperties"_s, {QVariant::fromValue(QList<int>{1, 4}), QStringList{u"label"_s}})
                         .arguments()
                         .value(0)
                         .value<QDBusArgument>()
                         .currentSignature(),
                 u"a(ia{sv})"_s);
        QCOMPARE(plain(ask(u"/MenuBar"_s, u"org.freedesktop.DBus.Properties"_s, u"Get"_s, {menuInterface, u"Version"_s})
                               .arguments()
                               .value(0))
                         .toUInt(),
                 3u);

        // Clicks: an enabled, visible entry acts, once; others do nothing.
        const QDBusVariant none(QVariant::fromValue(0));
        for (int id : {1, 2, 3, 5})
            QCOMPARE(call(u"Event"_s, {id, u"clicked"_s, QVariant::fromValue(none), 0u}).type(),
                     QDBusMessage::ReplyMessage);
        QCOMPARE(call(u"Event"_s, {99, u"clicked"_s, QVariant::fromValue(none), 0u}).type(),
                 QDBusMessage::ErrorMessage);
        QTRY_COMPARE_WITH_TIMEOUT(started, 1, patienceMs);
        // The group form: the unknown ids come back, the others act.
        const QList<GroupEvent> group{{4, u"clicked"_s, none, 0}, {98, u"clicked"_s, none, 0}};
        const QDBusMessage groupAnswer = call(u"EventGroup"_s, {QVariant::fromValue(group)});
        QCOMPARE(qdbus_cast<QList<int>>(groupAnswer.arguments().value(0)), QList<int>{98});
        QTRY_COMPARE_WITH_TIMEOUT(quitted, 1, patienceMs);
        QTest::qWait(50);
        QCOMPARE(started, 1);
        QCOMPARE(quitted, 1);

        // Looks: AboutToShow, its group form, an "opened" event; "closed" ends one.
        QCOMPARE(call(u"AboutToShow"_s, {0}).arguments().value(0).toBool(), false);
        QCOMPARE(call(u"AboutToShowGroup"_s, {QVariant::fromValue(QList<int>{0, 3})}).type(),
                 QDBusMessage::ReplyMessage);
        QCOMPARE(call(u"Event"_s, {0, u"opened"_s, QVariant::fromValue(none), 0u}).type(), QDBusMessage::ReplyMessage);
        QCOMPARE(call(u"Event"_s, {0, u"closed"_s, QVariant::fromValue(none), 0u}).type(), QDBusMessage::ReplyMessage);
        QCOMPARE(looks, 3);
        QCOMPARE(ends, 1);

        // Changes: one signal with only what changed, none for no change.
        m_signals.clear();
        status.setText(u"Server läuft"_s);
        start.setEnabled(false);
        quit.setText(u"Beenden"_s);
        QTRY_COMPARE_WITH_TIMEOUT(signalsNamed(u"ItemsPropertiesUpdated"_s), 1, patienceMs);
        const QDBusMessage change = m_signals.constLast();
        QCOMPARE(change.signature(), u"a(ia{sv})a(ias)"_s);
        QStringList changed;
        const QDBusArgument updated = change.arguments().at(0).value<QDBusArgument>();
        updated.beginArray();
        while (!updated.atEnd()) {
            int id = 0;
            QVariantMap properties;
            updated.beginStructure();
            updated >> id >> properties;
            updated.endStructure();
            for (auto it = properties.cbegin(); it != properties.cend(); ++it)
                changed << u"%1 %2=%3"_s.arg(id).arg(it.key(), it.value().toString());
        }
        updated.endArray();
        QCOMPARE(changed, (QStringList{u"1 label=Server läuft"_s, u"3 enabled=false"_s}));
        status.setText(u"Server läuft"_s);
        QTest::qWait(100);
        QCOMPARE(signalsNamed(u"ItemsPropertiesUpdated"_s), 1);
        QCOMPARE(signalsNamed(u"LayoutUpdated"_s), 0);

        // An entry gone: a new layout, its revision higher.
        delete extra;
        QTRY_COMPARE_WITH_TIMEOUT(signalsNamed(u"LayoutUpdated"_s), 1, patienceMs);
        uint next = 0;
        QCOMPARE(layout(nullptr, -1, {}, &next).size(), 6);
        QCOMPARE(m_signals.constLast().arguments().value(0).toUInt(), next);
        QVERIFY(next > revision);
    }
};

QTEST_MAIN(TrayItemTest)
#include "tst_tray_item.moc"
