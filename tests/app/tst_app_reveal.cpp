// "Daten: …" on Linux: the data folder shown selected by the desktop's file
// manager over D-Bus, and opened plainly where none answers. On a private
// session bus, where this test's own file manager is the only one.

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

class TestAppReveal : public QObject
{
    Q_OBJECT

private slots:
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

QTEST_MAIN(TestAppReveal)
#include "tst_app_reveal.moc"
