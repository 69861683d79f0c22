// What the program does with the Linux desktop's D-Bus services: the data
// folder shown selected by the file manager (opened plainly where none
// answers), and Qt's tray icon only while no panel takes the program's own
// item. On a private session bus, where this test's services are the only ones.

#include "tests/app/AppTestSupport.h"

#include <QDBusConnection>

using namespace AppTestSupport;

// Stands in for the desktop's file manager.
class FileManagerService : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")

public:
    QList<QStringList> shown;

public slots:
    void ShowItems(const QStringList &uris, const QString &) { shown.append(uris); }
};

// A panel's watcher: the items that registered with it.
class WatcherService : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")

public:
    QStringList items;

public slots:
    void RegisterStatusNotifierItem(const QString &service) { items.append(service); }
};

class TestAppDBus : public QObject
{
    Q_OBJECT

private slots:
    // Qt's tray icon serves only while no panel takes the program's own
    // item: one that comes later replaces it, and it is back when the panel
    // is gone. Never both, never neither.
    void trayIconOnlyWhileNoPanelTakesTheItem()
    {
        const quint16 port = freePort();
        Project project(port);
        Shell shell(port, project.root());
        shell.launch();
        QVERIFY(shell.delegate->statusItem());
        QDBusConnection panel = QDBusConnection::connectToBus(QDBusConnection::SessionBus, u"panel"_s);
        WatcherService watcher;
        QVERIFY(panel.registerObject(u"/StatusNotifierWatcher"_s, &watcher, QDBusConnection::ExportAllSlots));
        QVERIFY(panel.registerService(u"org.kde.StatusNotifierWatcher"_s));
        QTRY_COMPARE_WITH_TIMEOUT(watcher.items, QStringList{QDBusConnection::sessionBus().baseService()}, patienceMs);
        QTRY_VERIFY_WITH_TIMEOUT(!shell.delegate->statusItem(), patienceMs);
        QVERIFY(panel.unregisterService(u"org.kde.StatusNotifierWatcher"_s));
        QTRY_VERIFY_WITH_TIMEOUT(shell.delegate->statusItem(), patienceMs);
        QCOMPARE(shell.delegate->statusItem()->contextMenu(), shell.delegate->statusMenu());
        QDBusConnection::disconnectFromBus(u"panel"_s);
    }

    void dataFolderShownSelectedOrOpened()
    {
        QTemporaryDir base;
        const QString builtRoot = base.path() + u"/Bücher 2024"_s;
        QString root = builtRoot;
        Shell shell(freePort(), [&root] { return root; });
        shell.launch();

        QDBusConnection bus = QDBusConnection::connectToBus(qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS"), u"fm"_s);
        FileManagerService fileManager;
        QVERIFY(bus.registerObject(u"/org/freedesktop/FileManager1"_s, &fileManager, QDBusConnection::ExportAllSlots)
                && bus.registerService(u"org.freedesktop.FileManager1"_s));
        // The menu keeps the path it was built with; the reveal looks again.
        root = base.path() + u"/Neu & anders"_s;
        shell.entry(ShellTexts::dataEntry(builtRoot))->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(fileManager.shown.size(), 1, patienceMs);
        QCOMPARE(fileManager.shown[0], QStringList{QUrl::fromLocalFile(root).toString(QUrl::FullyEncoded)});
        QCOMPARE(shell.opened, QList<QUrl>());

        // Without a file manager on the bus the folder itself opens instead.
        bus.unregisterService(u"org.freedesktop.FileManager1"_s);
        shell.delegate->revealProject();
        QTRY_COMPARE_WITH_TIMEOUT(shell.opened, QList<QUrl>{QUrl::fromLocalFile(root)}, patienceMs);
    }
};

QTEST_MAIN(TestAppDBus)
#include "tst_app_dbus.moc"
