// The menu commands of the tray program, chosen from the real menu, against
// project roots whose scripts really run, and the alerts that follow.

#include "app/ShellTexts.h"
#include "tests/app/AppTestSupport.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QSignalSpy>
#include <QTest>

using namespace AppTestSupport;

// Stands in for the desktop's file manager on a private session bus.
class FileManagerService : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")

public:
    QList<QStringList> shown;
    QStringList startupIds;

public slots:
    void ShowItems(const QStringList &uris, const QString &startupId)
    {
        shown.append(uris);
        startupIds.append(startupId);
    }
};

class TestAppCommands : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void startRestartStopReportAndOpenTheDashboard();
    void failedStartAndRestartOpenNoBrowser();
    void failedStopIsANoticeAndQuitEndsAnyway();
    void regenerateReportsWithoutTouchingTheMenu();
    void folderCommandsReachTheDesktop();
    void revealAsksTheFileManagerForTheCurrentRoot();
    void quitWithoutServerEndsAtOnce();
    void quitWithServerStopsItFirstWithoutAlert();

private:
    // Chooses a menu entry and waits for the alert it ends in.
    AlertHand::Seen choose(Shell &shell, const QString &entry);

    QTemporaryDir m_busDir;
    QProcess m_bus;
    QString m_busAddress;
};

void TestAppCommands::initTestCase()
{
    // A bus of our own, without the machine's service files, so no file
    // manager of the machine answers (or opens a window) and nothing
    // outlives the test.
    const QByteArray busConfig =
        "<busconfig>\n"
        "  <type>session</type>\n"
        "  <listen>unix:tmpdir=/tmp</listen>\n"
        "  <auth>EXTERNAL</auth>\n"
        "  <policy context=\"default\">\n"
        "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
        "    <allow eavesdrop=\"true\"/>\n"
        "    <allow own=\"*\"/>\n"
        "  </policy>\n"
        "</busconfig>\n";
    QVERIFY(ServerTestSupport::writeFile(m_busDir.filePath(QStringLiteral("bus.conf")), busConfig));
    m_bus.setProgram(QStringLiteral("/usr/bin/dbus-daemon"));
    m_bus.setArguments({QStringLiteral("--config-file=") + m_busDir.filePath(QStringLiteral("bus.conf")),
                        QStringLiteral("--nofork"), QStringLiteral("--nosyslog"),
                        QStringLiteral("--print-address=1")});
    m_bus.start();
    QVERIFY(m_bus.waitForReadyRead(patienceMs));
    m_busAddress = QString::fromUtf8(m_bus.readLine().trimmed());
    QVERIFY(!m_busAddress.isEmpty());
    qputenv("DBUS_SESSION_BUS_ADDRESS", m_busAddress.toUtf8());
}

void TestAppCommands::cleanupTestCase()
{
    m_bus.kill();
    m_bus.waitForFinished();
}

AlertHand::Seen TestAppCommands::choose(Shell &shell, const QString &entry)
{
    const qsizetype before = shell.alerts.seen.size();
    QAction *action = shell.entry(entry);
    if (!action)
        return {QStringLiteral("no entry ") + entry, {}, {}, {}};
    action->trigger();
    if (!QTest::qWaitFor([&] { return shell.alerts.seen.size() > before; }, patienceMs))
        return {QStringLiteral("no alert after ") + entry, {}, {}, {}};
    return shell.alerts.seen.last();
}

void TestAppCommands::startRestartStopReportAndOpenTheDashboard()
{
    const quint16 port = ServerTestSupport::freePort();
    Project project(port);
    Shell shell(configFor(port, project.root()));
    shell.launch();
    const QUrl dashboard(QStringLiteral("http://127.0.0.1:%1/").arg(port));
    const QString running = QStringLiteral("Server läuft auf http://127.0.0.1:%1/").arg(port);

    const AlertHand::Seen started = choose(shell, ShellTexts::startEntry());
    QCOMPARE(started.title, QStringLiteral("Server gestartet"));
    QVERIFY2(started.message.startsWith(QStringLiteral("Server gestartet (PID ")), qPrintable(started.message));
    // Menu first, then the browser, then the alert.
    QCOMPARE(started.statusLine, running);
    QCOMPARE(started.opened, QList<QUrl>{dashboard});
    QTRY_COMPARE_WITH_TIMEOUT(project.calls(), (QStringList{"stop", "generate", "serve"}), patienceMs);

    const AlertHand::Seen restarted = choose(shell, ShellTexts::restartEntry());
    QCOMPARE(restarted.title, QStringLiteral("Neu gestartet"));
    QCOMPARE(restarted.statusLine, running);
    QCOMPARE(restarted.opened, (QList<QUrl>{dashboard, dashboard}));
    // Stop, and the start's own stop, then the new server is up.
    QTRY_COMPARE_WITH_TIMEOUT(project.calls().size(), 7, patienceMs);

    const AlertHand::Seen stopped = choose(shell, ShellTexts::stopEntry());
    QCOMPARE(stopped.title, QStringLiteral("Server gestoppt"));
    QCOMPARE(stopped.message, QStringLiteral("Server gestoppt"));
    QCOMPARE(stopped.statusLine, QStringLiteral("Server gestoppt"));
    QCOMPARE(shell.opened.size(), 2);
}

void TestAppCommands::failedStartAndRestartOpenNoBrowser()
{
    const quint16 port = ServerTestSupport::freePort();
    Project project(port, "Generator kaputt: Konto 1200 fehlt");
    Shell shell(configFor(port, project.root()));
    shell.launch();

    for (const QString &entry : {ShellTexts::startEntry(), ShellTexts::restartEntry()}) {
        const AlertHand::Seen failed = choose(shell, entry);
        QCOMPARE(failed.title, QStringLiteral("Fehler"));
        QCOMPARE(failed.message, QStringLiteral("Generator kaputt: Konto 1200 fehlt"));
        QCOMPARE(failed.statusLine, QStringLiteral("Server gestoppt"));
    }
    QVERIFY(shell.opened.isEmpty());
    QVERIFY(!project.calls().contains(QStringLiteral("serve")));
}

void TestAppCommands::failedStopIsANoticeAndQuitEndsAnyway()
{
    // The stop script cannot even be started in a missing root, and the
    // port is still held afterwards: the stop did not work.
    QProcess listener;
    const quint16 port = ServerTestSupport::startListener(listener);
    QVERIFY(port);
    QTemporaryDir base;
    Shell shell(configFor(port, base.path() + QStringLiteral("/fehlt")));
    QSignalSpy terminations(shell.delegate.get(), &AppDelegate::terminationRequested);
    shell.launch();
    const AlertHand::Seen notice = choose(shell, ShellTexts::stopEntry());
    QCOMPARE(notice.title, QStringLiteral("Hinweis"));
    QVERIFY(!notice.message.isEmpty());
    QVERIFY(notice.statusLine.startsWith(QStringLiteral("Server läuft")));

    // Quitting stops first; that fails the same way and the program ends.
    shell.delegate->quitApp();
    QTRY_COMPARE_WITH_TIMEOUT(terminations.size(), 1, patienceMs);
    QVERIFY(shell.manager->isRunning());
}

void TestAppCommands::regenerateReportsWithoutTouchingTheMenu()
{
    const quint16 port = ServerTestSupport::freePort();
    {
        Project project(port);
        Shell shell(configFor(port, project.root()));
        shell.launch();
        shell.delegate->applicationWillTerminate(); // no poll tick in between

        // A server comes up meanwhile; a regeneration does not look.
        QProcess listener;
        QVERIFY(ServerTestSupport::startListener(listener, port));
        const AlertHand::Seen done = choose(shell, ShellTexts::regenerateEntry());
        QCOMPARE(done.title, QStringLiteral("Fertig"));
        QCOMPARE(done.message, QStringLiteral("Berichte neu generiert"));
        QCOMPARE(done.statusLine, QStringLiteral("Server gestoppt"));
        QVERIFY(shell.opened.isEmpty());
    }

    // A generator that fails without a word.
    Project broken(port, "");
    Shell other(configFor(port, broken.root()));
    other.launch();
    const AlertHand::Seen failed = choose(other, ShellTexts::regenerateEntry());
    QCOMPARE(failed.title, QStringLiteral("Fehler"));
    QCOMPARE(failed.message, QString());
}

void TestAppCommands::folderCommandsReachTheDesktop()
{
    QTemporaryDir root;
    const quint16 port = ServerTestSupport::freePort();
    Shell shell(configFor(port, root.path()));
    shell.launch();
    const qsizetype alertsBefore = shell.alerts.seen.size();
    shell.entry(ShellTexts::dashboardEntry())->trigger();
    shell.entry(ShellTexts::belegeEntry())->trigger();
    shell.entry(ShellTexts::logsEntry())->trigger();
    QCOMPARE(shell.opened,
             (QList<QUrl>{QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(port)),
                          QUrl::fromLocalFile(root.filePath(QStringLiteral("Belege-Upload"))),
                          QUrl::fromLocalFile(root.filePath(QStringLiteral("logs")))}));
    QVERIFY(QDir(root.filePath(QStringLiteral("Belege-Upload"))).exists());
    QCOMPARE(shell.alerts.seen.size(), alertsBefore);
}

void TestAppCommands::revealAsksTheFileManagerForTheCurrentRoot()
{
    QTemporaryDir base;
    QString root = base.path() + QStringLiteral("/Bücher 2024");
    QVERIFY(QDir().mkpath(root));
    ServerManager::Config config = configFor(ServerTestSupport::freePort(), root);
    config.projectRoot = [&root] { return root; };
    Shell shell(std::move(config));
    shell.launch();

    QDBusConnection fileManagerBus = QDBusConnection::connectToBus(m_busAddress, QStringLiteral("fm"));
    FileManagerService fileManager;
    QVERIFY(fileManagerBus.registerObject(QStringLiteral("/org/freedesktop/FileManager1"),
                                          &fileManager, QDBusConnection::ExportAllSlots));
    QVERIFY(fileManagerBus.registerService(QStringLiteral("org.freedesktop.FileManager1")));

    // The menu keeps the path it was built with; the command looks again.
    root = base.path() + QStringLiteral("/Neu & anders");
    shell.entry(ShellTexts::dataEntry(base.path() + QStringLiteral("/Bücher 2024")))->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(fileManager.shown.size(), 1, patienceMs);
    QCOMPARE(fileManager.shown[0].size(), 1);
    const QUrl shown(fileManager.shown[0][0], QUrl::StrictMode);
    QVERIFY(shown.isValid());
    QCOMPARE(shown.toLocalFile(), root);
    QVERIFY(!fileManager.shown[0][0].contains(QLatin1Char(' ')));
    QCOMPARE(fileManager.startupIds[0], QString());
    QVERIFY(shell.opened.isEmpty());

    // Without a file manager on the bus the parent folder opens instead.
    fileManagerBus.unregisterService(QStringLiteral("org.freedesktop.FileManager1"));
    QDBusConnection::disconnectFromBus(QStringLiteral("fm"));
    shell.delegate->revealProject();
    QTRY_COMPARE_WITH_TIMEOUT(shell.opened, QList<QUrl>{QUrl::fromLocalFile(base.path())}, patienceMs);
}

void TestAppCommands::quitWithoutServerEndsAtOnce()
{
    const quint16 port = ServerTestSupport::freePort();
    Project project(port);
    Shell shell(configFor(port, project.root()));
    QSignalSpy terminations(shell.delegate.get(), &AppDelegate::terminationRequested);
    shell.launch();
    shell.entry(ShellTexts::quitEntry())->trigger();
    QCOMPARE(terminations.size(), 1);
    QVERIFY(project.calls().isEmpty()); // no stop script
}

void TestAppCommands::quitWithServerStopsItFirstWithoutAlert()
{
    QProcess listener;
    const quint16 port = ServerTestSupport::startListener(listener);
    QVERIFY(port);
    Project project(port);
    Shell shell(configFor(port, project.root()));
    QSignalSpy terminations(shell.delegate.get(), &AppDelegate::terminationRequested);
    shell.launch();
    const qsizetype alertsBefore = shell.alerts.seen.size();
    shell.entry(ShellTexts::quitEntry())->trigger();
    QCOMPARE(terminations.size(), 0); // not before the stop is over
    QTRY_COMPARE_WITH_TIMEOUT(terminations.size(), 1, patienceMs);
    QCOMPARE(project.calls(), QStringList{QStringLiteral("stop")});
    QCOMPARE(shell.alerts.seen.size(), alertsBefore);
}

QTEST_MAIN(TestAppCommands)
#include "tst_app_commands.moc"
