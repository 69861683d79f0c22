// The menu commands, chosen from the real menu in projects whose scripts run, and their alerts.

#include "tests/app/AppTestSupport.h"

#include "platform/PortProbe.h"

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

private slots:
    void commandOutcomes_data()
    {
        QTest::addColumn<QString>("entry");
        QTest::addColumn<QByteArray>("generatorFailure");
        QTest::addColumn<bool>("listening");      // before: a listener the project's stop script leaves alone
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("message");     // a pattern, PORT for the port
        QTest::addColumn<bool>("runningAfter");   // as the menu shows it when the alert comes
        QTest::addColumn<QStringList>("calls");
        const auto row = [](const char *name, const QString &entry, const QByteArray &failure, bool listening,
                            const char *title, const QString &message, bool runningAfter, const QStringList &calls) {
            QTest::newRow(name) << entry << failure << listening << QString(title) << message << runningAfter << calls;
        };
        const QByteArray broken = "Generator kaputt: Konto 1200 fehlt";
        const QString started = u"^Server gestartet \\(PID \\d+\\)$"_s;
        row("start", ShellTexts::startEntry(), {}, false, "Server gestartet", started, true, {"stop", "generate", "serve"});
        row("restart", ShellTexts::restartEntry(), {}, false, "Neu gestartet", started, true,
            {"stop", "stop", "generate", "serve"});
        row("stop", ShellTexts::stopEntry(), {}, false, "Server gestoppt", u"^Server gestoppt$"_s, false, {"stop"});
        row("start fails", ShellTexts::startEntry(), broken, false, "Fehler", broken, false, {"stop", "generate"});
        row("restart fails", ShellTexts::restartEntry(), broken, false, "Fehler", broken, false, {"stop", "stop", "generate"});
        row("regeneration fails", ShellTexts::regenerateEntry(), broken, false, "Fehler", broken, false, {"generate"});
        // Touches no server: neither stops it nor looks whether it runs.
        row("regeneration", ShellTexts::regenerateEntry(), {}, true, "Fertig", u"^Berichte neu generiert$"_s, true,
            {"generate"});
        row("stop leaves the port held", ShellTexts::stopEntry(), {}, true, "Hinweis",
            u"^Port PORT ist noch belegt – der Server wurde nicht gestoppt\\.\nBelegt von: python3 \\(PID \\d+\\)$"_s, true,
            {"stop"});
    }

    void commandOutcomes()
    {
        QFETCH(QString, entry);
        QFETCH(QByteArray, generatorFailure);
        QFETCH(bool, listening);
        QFETCH(QString, title);
        QFETCH(QString, message);
        QFETCH(bool, runningAfter);
        QFETCH(QStringList, calls);
        ChildProcess listener;
        const quint16 port = listening ? startListener(listener) : freePort();
        QVERIFY(port);
        Project project(port, generatorFailure);
        Shell shell(port, project.root());
        shell.launch();
        const qsizetype before = shell.alerts.size();
        shell.entry(entry)->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(shell.alerts.size() > before, patienceMs);
        const Shell::Alert alert = shell.alerts.at(before);
        QCOMPARE(alert.title, title);
        QVERIFY2(QRegularExpression(message.replace(u"PORT"_s, QString::number(port))).match(alert.message).hasMatch(),
                 qPrintable(alert.message));
        // Menu first, then the browser (only for a start that worked), then the alert.
        QCOMPARE(alert.statusLine, runningAfter ? u"Server läuft auf http://127.0.0.1:%1/"_s.arg(port) : u"Server gestoppt"_s);
        QCOMPARE(alert.opened, title.endsWith(u"gestartet"_s) ? QList<QUrl>{QUrl(u"http://127.0.0.1:%1/"_s.arg(port))}
                                                              : QList<QUrl>());
        QCOMPARE(project.calls(), calls);
    }

    void oneServerCommandAtATime()
    {
        const quint16 port = freePort();
        Project project(port);
        // The generator waits until the test lets it go on.
        QVERIFY(writeFile(project.root() + u"/generate_buchhaltung.py"_s,
                          "import os, time\nopen('waiting', 'w').close()\n"
                          "while not os.path.exists('weiter'): time.sleep(0.05)\n"));
        Shell shell(port, project.root());
        shell.launch();
        const auto enabled = [&] { // how many of the three server entries
            int count = 0;
            for (const QString &title : {ShellTexts::startEntry(), ShellTexts::stopEntry(), ShellTexts::restartEntry()})
                count += shell.entry(title)->isEnabled();
            return count;
        };
        QCOMPARE(enabled(), 3);
        shell.entry(ShellTexts::startEntry())->trigger();
        // While it runs the menu says so and offers no second server command.
        QCOMPARE(shell.delegate->statusLineItem()->text(), u"Server wird gestartet …"_s);
        QVERIFY(enabled() == 0 && shell.entry(ShellTexts::quitEntry())->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(project.root() + u"/waiting"_s), patienceMs);
        shell.entry(ShellTexts::stopEntry())->trigger(); // a disabled entry does nothing
        QVERIFY(writeFile(project.root() + u"/weiter"_s, ""));
        QTRY_COMPARE_WITH_TIMEOUT(shell.titled(u"Server gestartet"_s).size(), 1, patienceMs);
        QCOMPARE(enabled(), 3);
        QCOMPARE(shell.delegate->statusLineItem()->text(), u"Server läuft auf http://127.0.0.1:%1/"_s.arg(port));

        shell.entry(ShellTexts::stopEntry())->trigger();
        QCOMPARE(shell.delegate->statusLineItem()->text(), u"Server wird gestoppt …"_s);
        QCOMPARE(enabled(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(shell.titled(u"Server gestoppt"_s).size(), 1, patienceMs);
        QCOMPARE(enabled(), 3);
        QCOMPARE(project.calls(), (QStringList{u"stop"_s, u"serve"_s, u"stop"_s}));
    }

    void desktopCommandsOpenTheRightPlaces()
    {
        QTemporaryDir base;
        const QString builtRoot = base.path() + u"/Bücher 2024"_s;
        QString root = builtRoot;
        const quint16 port = freePort();
        Shell shell(port, [&root] { return root; });
        shell.launch();
        for (const QString &entry : {ShellTexts::dashboardEntry(), ShellTexts::belegeEntry(), ShellTexts::logsEntry()})
            shell.entry(entry)->trigger();
        const QList<QUrl> folders{QUrl(u"http://127.0.0.1:%1/"_s.arg(port)),
                                  QUrl::fromLocalFile(root + u"/Belege-Upload"_s), QUrl::fromLocalFile(root + u"/logs"_s)};
        QCOMPARE(shell.opened, folders);
        QVERIFY(QDir(root + u"/Belege-Upload"_s).exists());

        QDBusConnection bus = QDBusConnection::connectToBus(qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS"), u"fm"_s);
        FileManagerService fileManager;
        QVERIFY(bus.registerObject(u"/org/freedesktop/FileManager1"_s, &fileManager, QDBusConnection::ExportAllSlots)
                && bus.registerService(u"org.freedesktop.FileManager1"_s));
        // The menu keeps the path it was built with; the reveal looks again.
        root = base.path() + u"/Neu & anders"_s;
        shell.entry(ShellTexts::dataEntry(builtRoot))->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(fileManager.shown.size(), 1, patienceMs);
        QCOMPARE(fileManager.shown[0], QStringList{QUrl::fromLocalFile(root).toString(QUrl::FullyEncoded)});
        QCOMPARE(shell.opened, folders);

        // Without a file manager on the bus the folder itself opens instead.
        bus.unregisterService(u"org.freedesktop.FileManager1"_s);
        shell.delegate->revealProject();
        QTRY_COMPARE_WITH_TIMEOUT(shell.opened, folders + QList<QUrl>{QUrl::fromLocalFile(root)}, patienceMs);
    }

    void quitEndsWithoutWaitingForWorkUnderWay_data()
    {
        QTest::addColumn<bool>("serverRuns");
        QTest::addColumn<QString>("hangs");  // the project file that hangs: stop.sh, the generator, serve.py
        QTest::newRow("no server: at once") << false << u"generate_buchhaltung.py"_s;
        // Not before its stop is over, though that leaves the port held.
        QTest::newRow("server runs: stopped first") << true << u"generate_buchhaltung.py"_s;
        QTest::newRow("server runs, stop hangs: ended after the grace") << true << u"stop.sh"_s;
        QTest::newRow("start under way: called off") << false << u"generate_buchhaltung.py"_s;
        // Launched, never listening: the start still waits for it, and it ends with the start.
        QTest::newRow("start under way, server launched: ended") << false << u"serve.py"_s;
    }

    void quitEndsWithoutWaitingForWorkUnderWay()
    {
        QFETCH(bool, serverRuns);
        QFETCH(QString, hangs);
        const bool startUnderWay = QString(QTest::currentDataTag()).startsWith(u"start under way"_s);
        ChildProcess listener;
        const quint16 port = serverRuns ? startListener(listener) : freePort();
        QVERIFY(port);
        Project project(port);
        const QString hanging = project.root() + u"/hanging.pid"_s;
        QVERIFY(writeFile(project.root() + u"/"_s + hangs, hangs.endsWith(u".sh"_s)
            ? QByteArray("/bin/sleep 60 & echo $! > hanging.pid; wait\n")
            : QByteArray("import os, time\nopen('hanging.pid', 'w').write(str(os.getpid()))\ntime.sleep(60)\n")));
        Shell shell(port, project.root());
        QSignalSpy terminations(shell.delegate.get(), &AppDelegate::terminationRequested);
        shell.launch();
        const qsizetype alertsBefore = shell.alerts.size();
        if (startUnderWay) {
            shell.entry(ShellTexts::startEntry())->trigger();
            QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(hanging), patienceMs);
        }
        shell.entry(ShellTexts::quitEntry())->trigger();
        QCOMPARE(terminations.size(), serverRuns ? 0 : 1);
        QTRY_COMPARE_WITH_TIMEOUT(terminations.size(), 1, patienceMs);
        // What hung has ended, so nothing is left to wait for; no alert.
        QVERIFY(QThreadPool::globalInstance()->waitForDone(patienceMs));
        if (QFile::exists(hanging))
            QTRY_VERIFY_WITH_TIMEOUT(!alive(readFile(hanging).trimmed().toInt()), patienceMs);
        QVERIFY(serverRuns || startUnderWay || project.calls().isEmpty());
        QCoreApplication::processEvents(); // what was called off reports back now, if at all
        QVERIFY(shell.alerts.size() == alertsBefore && shell.delegate->alerts().shown().isEmpty());
    }
};

QTEST_MAIN(TestAppCommands)
#include "tst_app_commands.moc"
