// The menu commands of the tray program, chosen from the real menu, against
// project roots whose scripts really run, and the alerts that follow.

#include "tests/app/AppTestSupport.h"

#include <QDBusConnection>

using namespace AppTestSupport;

// Stands in for the desktop's file manager on a private session bus.
class FileManagerService : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")

public:
    QList<QStringList> shown;

public slots:
    void ShowItems(const QStringList &uris, const QString &) { shown.append(uris); }
};

class TestAppCommands : public QObject
{
    Q_OBJECT

    QTemporaryDir m_busDir;
    ChildProcess m_bus;
    QString m_busAddress;

    // Chooses a menu entry and waits for the alert it ends in.
    static Shell::Alert choose(Shell &shell, const QString &entry)
    {
        const qsizetype before = shell.alerts.size();
        if (QAction *action = shell.entry(entry))
            action->trigger();
        if (!QTest::qWaitFor([&] { return shell.alerts.size() > before; }, patienceMs))
            return {u"no alert after "_s + entry, {}, {}, {}};
        return shell.alerts.at(before);
    }

private slots:
    void initTestCase()
    {
        // A bus of our own, without the machine's service files, so no file
        // manager of the machine answers and nothing outlives the test.
        const QString config = m_busDir.filePath(u"bus.conf"_s);
        QVERIFY(writeFile(config, "<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen>"
                                  "<auth>EXTERNAL</auth><policy context=\"default\"><allow send_destination=\"*\"/>"
                                  "<allow receive_sender=\"*\"/><allow own=\"*\"/></policy></busconfig>"));
        m_bus.start(u"/usr/bin/dbus-daemon"_s,
                    {u"--config-file="_s + config, u"--nofork"_s, u"--nosyslog"_s, u"--print-address=1"_s});
        QVERIFY(m_bus.waitForReadyRead(patienceMs));
        m_busAddress = QString::fromUtf8(m_bus.readLine().trimmed());
        qputenv("DBUS_SESSION_BUS_ADDRESS", m_busAddress.toUtf8());
    }

    void startRestartStopReportAndOpenTheDashboard()
    {
        const quint16 port = freePort();
        Project project(port);
        Shell shell(port, project.root());
        shell.launch();
        const QUrl dashboard(u"http://127.0.0.1:%1/"_s.arg(port));
        const QString running = u"Server läuft auf http://127.0.0.1:%1/"_s.arg(port);

        const Shell::Alert started = choose(shell, ShellTexts::startEntry());
        QCOMPARE(started.title, u"Server gestartet"_s);
        QVERIFY2(started.message.startsWith(u"Server gestartet (PID "_s), qPrintable(started.message));
        // Menu first, then the browser, then the alert.
        QCOMPARE(started.statusLine, running);
        QCOMPARE(started.opened, QList<QUrl>{dashboard});
        QTRY_COMPARE_WITH_TIMEOUT(project.calls(), (QStringList{"stop", "generate", "serve"}), patienceMs);

        const Shell::Alert restarted = choose(shell, ShellTexts::restartEntry());
        QCOMPARE(restarted.title, u"Neu gestartet"_s);
        QCOMPARE(restarted.statusLine, running);
        QCOMPARE(restarted.opened, (QList<QUrl>{dashboard, dashboard}));
        // Stop, and the start's own stop, then the new server is up.
        QTRY_COMPARE_WITH_TIMEOUT(project.calls().size(), 7, patienceMs);

        const Shell::Alert stopped = choose(shell, ShellTexts::stopEntry());
        QCOMPARE(stopped.title, u"Server gestoppt"_s);
        QCOMPARE(stopped.message, u"Server gestoppt"_s);
        QCOMPARE(stopped.statusLine, u"Server gestoppt"_s);
        QCOMPARE(shell.opened.size(), 2);
    }

    void failedCommandShowsTheGeneratorsReport_data()
    {
        QTest::addColumn<QString>("entry");
        QTest::newRow("start") << ShellTexts::startEntry();
        QTest::newRow("restart") << ShellTexts::restartEntry();
        QTest::newRow("regenerate") << ShellTexts::regenerateEntry();
    }

    void failedCommandShowsTheGeneratorsReport()
    {
        QFETCH(QString, entry);
        const quint16 port = freePort();
        Project project(port, "Generator kaputt: Konto 1200 fehlt");
        Shell shell(port, project.root());
        shell.launch();
        const Shell::Alert failed = choose(shell, entry);
        QCOMPARE(failed.title, u"Fehler"_s);
        QCOMPARE(failed.message, u"Generator kaputt: Konto 1200 fehlt"_s);
        QCOMPARE(failed.statusLine, u"Server gestoppt"_s);
        QVERIFY(shell.opened.isEmpty());
        QVERIFY(!project.calls().contains(u"serve"_s));
    }

    void failedStopIsANoticeAndQuitEndsAnyway()
    {
        // In a missing root the stop script cannot even start, and the port
        // stays held: the stop did not work.
        ChildProcess listener;
        const quint16 port = startListener(listener);
        QVERIFY(port);
        QTemporaryDir base;
        Shell shell(port, base.path() + u"/fehlt"_s);
        QSignalSpy terminations(shell.delegate.get(), &AppDelegate::terminationRequested);
        shell.launch();
        const Shell::Alert notice = choose(shell, ShellTexts::stopEntry());
        QCOMPARE(notice.title, u"Hinweis"_s);
        QVERIFY(!notice.message.isEmpty());
        QVERIFY(notice.statusLine.startsWith(u"Server läuft"_s));

        // Quitting stops first; that fails the same way and the program ends.
        shell.delegate->quitApp();
        QTRY_COMPARE_WITH_TIMEOUT(terminations.size(), 1, patienceMs);
        QVERIFY(shell.manager->isRunning());
    }

    void terminationAndRegenerationLeaveServerAndMenuAlone()
    {
        ChildProcess listener;
        const quint16 port = startListener(listener);
        QVERIFY(port);
        Project project(port);
        Shell shell(port, project.root());
        shell.launch();
        QVERIFY(shell.delegate->pollTimer()->isActive());
        shell.delegate->applicationWillTerminate(); // only the poll stops
        QVERIFY(!shell.delegate->pollTimer()->isActive());
        QVERIFY(shell.manager->isRunning());

        // The server goes away meanwhile; a regeneration does not look.
        listener.kill();
        QVERIFY(listener.waitForFinished(patienceMs));
        const Shell::Alert done = choose(shell, ShellTexts::regenerateEntry());
        QCOMPARE(done.title, u"Fertig"_s);
        QCOMPARE(done.message, u"Berichte neu generiert"_s);
        QCOMPARE(done.statusLine, u"Server läuft auf http://127.0.0.1:%1/"_s.arg(port));
        QVERIFY(shell.opened.isEmpty());
        QCOMPARE(project.calls(), QStringList{u"generate"_s}); // no stop on the way
    }

    void desktopCommandsOpenTheRightPlaces()
    {
        QTemporaryDir base;
        const QString builtRoot = base.path() + u"/Bücher 2024"_s;
        QString root = builtRoot;
        const quint16 port = freePort();
        Shell shell(port, [&root] { return root; });
        shell.launch();
        const qsizetype alertsBefore = shell.alerts.size();
        for (const QString &entry : {ShellTexts::dashboardEntry(), ShellTexts::belegeEntry(), ShellTexts::logsEntry()})
            shell.entry(entry)->trigger();
        const QList<QUrl> folders{QUrl(u"http://127.0.0.1:%1/"_s.arg(port)),
                                  QUrl::fromLocalFile(root + u"/Belege-Upload"_s), QUrl::fromLocalFile(root + u"/logs"_s)};
        QCOMPARE(shell.opened, folders);
        QVERIFY(QDir(root + u"/Belege-Upload"_s).exists());
        QCOMPARE(shell.alerts.size(), alertsBefore);

        QDBusConnection bus = QDBusConnection::connectToBus(m_busAddress, u"fm"_s);
        FileManagerService fileManager;
        QVERIFY(bus.registerObject(u"/org/freedesktop/FileManager1"_s, &fileManager, QDBusConnection::ExportAllSlots));
        QVERIFY(bus.registerService(u"org.freedesktop.FileManager1"_s));
        // The menu keeps the path it was built with; the reveal looks again.
        root = base.path() + u"/Neu & anders"_s;
        shell.entry(ShellTexts::dataEntry(builtRoot))->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(fileManager.shown.size(), 1, patienceMs);
        QCOMPARE(fileManager.shown[0].size(), 1);
        const QUrl shown(fileManager.shown[0][0], QUrl::StrictMode);
        QVERIFY(shown.isValid() && !fileManager.shown[0][0].contains(u' '));
        QCOMPARE(shown.toLocalFile(), root);
        QCOMPARE(shell.opened, folders);

        // Without a file manager on the bus the parent folder opens instead.
        bus.unregisterService(u"org.freedesktop.FileManager1"_s);
        QDBusConnection::disconnectFromBus(u"fm"_s);
        shell.delegate->revealProject();
        QTRY_COMPARE_WITH_TIMEOUT(shell.opened, folders + QList<QUrl>{QUrl::fromLocalFile(base.path())}, patienceMs);
    }

    void quitStopsARunningServerFirstWithoutAlert_data()
    {
        QTest::addColumn<bool>("serverRuns");
        QTest::newRow("no server: at once") << false;
        QTest::newRow("server runs") << true;
    }

    void quitStopsARunningServerFirstWithoutAlert()
    {
        QFETCH(bool, serverRuns);
        ChildProcess listener;
        const quint16 port = serverRuns ? startListener(listener) : freePort();
        QVERIFY(port);
        Project project(port);
        Shell shell(port, project.root());
        QSignalSpy terminations(shell.delegate.get(), &AppDelegate::terminationRequested);
        shell.launch();
        const qsizetype alertsBefore = shell.alerts.size();
        shell.entry(ShellTexts::quitEntry())->trigger();
        // With a server, not before its stop is over.
        QCOMPARE(terminations.size(), serverRuns ? 0 : 1);
        QTRY_COMPARE_WITH_TIMEOUT(terminations.size(), 1, patienceMs);
        QCOMPARE(project.calls(), serverRuns ? QStringList{u"stop"_s} : QStringList());
        QCOMPARE(shell.alerts.size(), alertsBefore);
    }
};

QTEST_MAIN(TestAppCommands)
#include "tst_app_commands.moc"
