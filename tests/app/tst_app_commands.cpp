// The menu commands, chosen from the real menu in projects whose scripts run, and their alerts.

#include "server/StatusModel.h"
#include "tests/app/AppTestSupport.h"

#include "platform/ProcessHandle.h"

using namespace AppTestSupport;
using ForegroundActivation::Front;

class TestAppCommands : public QObject
{
    Q_OBJECT

private slots:
    void commandOutcomes_data()
    {
        QTest::addColumn<QString>("entry");
        QTest::addColumn<QByteArray>("generatorFailure");
        QTest::addColumn<bool>("listening"); // before: another program listens, which the stop script leaves alone
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("message");   // a pattern; STATUS: the status line
        QTest::addColumn<bool>("runningAfter"); // as the menu shows it when the alert comes
        QTest::addColumn<QStringList>("calls");
        const QByteArray broken = "Generator kaputt: Konto 1200 fehlt";
        const QString started = u"^Server gestartet \\(PID \\d+\\)$"_s;
        using namespace ShellTexts;
        // clang-format off
        QTest::newRow("start") << startEntry() << QByteArray() << false << startedTitle() << started << true << QStringList{u"stop"_s, u"generate"_s, u"serve"_s};
        QTest::newRow("restart") << restartEntry() << QByteArray() << false << restartedTitle() << started << true << QStringList{u"stop"_s, u"stop"_s, u"generate"_s, u"serve"_s};
        QTest::newRow("stop") << stopEntry() << QByteArray() << false << stoppedTitle() << u"^Server gestoppt$"_s << false << QStringList{u"stop"_s};
        QTest::newRow("start fails") << startEntry() << broken << false << failureTitle() << QString::fromUtf8(broken) << false << QStringList{u"stop"_s, u"generate"_s};
        QTest::newRow("restart fails") << restartEntry() << broken << false << failureTitle() << QString::fromUtf8(broken) << false << QStringList{u"stop"_s, u"stop"_s, u"generate"_s};
        QTest::newRow("regeneration fails") << regenerateEntry() << broken << false << failureTitle() << QString::fromUtf8(broken) << false << QStringList{u"generate"_s};
        // Touches no server: neither stops it nor looks whether it runs.
        QTest::newRow("regeneration") << regenerateEntry() << QByteArray() << true << regeneratedTitle() << u"^Berichte neu generiert$"_s << false << QStringList{u"generate"_s};
        // Another program on the port is named as the status line names it.
        QTest::newRow("stop leaves the port held") << stopEntry() << QByteArray() << true << stopFailureTitle() << u"^STATUS – es wurde nicht beendet\\.$"_s << false << QStringList{u"stop"_s};
        // clang-format on
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
        QVERIFY2(QRegularExpression(message.replace(u"STATUS"_s, QRegularExpression::escape(alert.statusLine)))
                         .match(alert.message)
                         .hasMatch(),
                 qPrintable(alert.message));
        // Menu first, then the browser (only for a start that worked), then the alert.
        const QString address = u"http://127.0.0.1:%1/"_s.arg(port);
        QVERIFY2(listening ? alert.statusLine.startsWith(u"Port %1 belegt: "_s.arg(port))
                           : alert.statusLine == ShellTexts::statusLine(runningAfter, address),
                 qPrintable(alert.statusLine));
        QCOMPARE(alert.opened, runningAfter ? QList<QUrl>{QUrl(address)} : QList<QUrl>());
        // The browser opens behind the alert, which would else stay behind it.
        QVERIFY(shell.fronts == QList<Front>(shell.opened.size(), Front::Program));
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
        QCOMPARE(shell.delegate->statusLineItem()->text(), ShellTexts::startingLine());
        QVERIFY(enabled() == 0 && shell.entry(ShellTexts::quitEntry())->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(project.root() + u"/waiting"_s), patienceMs);
        shell.entry(ShellTexts::stopEntry())->trigger(); // a disabled entry does nothing
        QVERIFY(writeFile(project.root() + u"/weiter"_s, ""));
        QTRY_COMPARE_WITH_TIMEOUT(shell.titled(ShellTexts::startedTitle()).size(), 1, patienceMs);
        QCOMPARE(enabled(), 3);
        QCOMPARE(project.calls(), (QStringList{u"stop"_s, u"serve"_s}));
    }

    void desktopCommandsOpenTheRightPlaces()
    {
        QTemporaryDir base;
        const QString root = base.path() + u"/Bücher 2024"_s;
        const quint16 port = freePort();
        Shell shell(port, root);
        shell.launch();
        for (const QString &entry : {ShellTexts::dashboardEntry(), ShellTexts::belegeEntry(), ShellTexts::logsEntry()})
            shell.entry(entry)->trigger();
        const QList<QUrl> folders{QUrl(u"http://127.0.0.1:%1/"_s.arg(port)),
                                  QUrl::fromLocalFile(root + u"/Belege-Upload"_s),
                                  QUrl::fromLocalFile(root + u"/logs"_s)};
        QCOMPARE(shell.opened, folders);
        QVERIFY(shell.fronts == QList<Front>(folders.size(), Front::Opened)); // no alert follows
        QVERIFY(QDir(root + u"/Belege-Upload"_s).exists());
    }

    void quitEndsWithoutWaitingForWorkUnderWay_data()
    {
        QTest::addColumn<bool>("serverRuns"); // this project's server, started by hand
        QTest::addColumn<QString>("hangs");   // the project file that hangs: stop.sh, the generator, serve.py
        QTest::addColumn<bool>("said");       // the server outlives the program, and an alert says so
        QTest::newRow("no server: at once") << false << u"generate_buchhaltung.py"_s << false;
        // Waited for as long as the stop takes, not a fixed grace.
        QTest::newRow("server runs, slow stop: waited for") << true << u"slow stop.sh"_s << false;
        QTest::newRow("server runs, stop hangs: said, then ended") << true << u"stop.sh"_s << true;
        QTest::newRow("start under way: called off") << false << u"generate_buchhaltung.py"_s << false;
        // Launched, never listening: the start still waits for it, and it ends with the start.
        QTest::newRow("start under way, server launched: ended") << false << u"serve.py"_s << false;
    }

    void quitEndsWithoutWaitingForWorkUnderWay()
    {
        QFETCH(bool, serverRuns);
        QFETCH(QString, hangs);
        QFETCH(bool, said);
        const bool startUnderWay = QLatin1StringView(QTest::currentDataTag()).startsWith("start under way"_L1);
        const quint16 port = freePort();
        Project project(port);
        ChildProcess server;
        if (serverRuns) {
            server.setWorkingDirectory(project.root());
            server.start(u"/usr/bin/python3"_s, {u"serve.py"_s});
            QVERIFY(server.waitForReadyRead(patienceMs));
        }
        const QString hanging = project.root() + u"/hanging.pid"_s;
        const QString file = project.root() + u"/"_s + hangs.section(u' ', -1);
        QVERIFY(writeFile(file,
                          hangs.startsWith(u"slow"_s) ? "/bin/sleep 3\n" + readFile(file)
                                  : hangs.endsWith(u".sh"_s)
                                  ? QByteArray("/bin/sleep 60 & echo $! > hanging.pid; wait\n")
                                  : QByteArray("import os, time\nopen('hanging.pid', "
                                               "'w').write(str(os.getpid()))\ntime.sleep(60)\n")));
        Shell shell(port, project.root(), 5000); // the slow stop ends within it, the hanging one not
        QSignalSpy terminations(shell.delegate.get(), &AppDelegate::terminationRequested);
        bool aliveAtEnd = false;
        QObject::connect(shell.delegate.get(), &AppDelegate::terminationRequested, [&] {
            const auto process = ProcessHandle::ofUnreaped(qint32(server.processId()));
            aliveAtEnd = serverRuns && process && process->isAlive();
        });
        shell.launch();
        QTRY_COMPARE_WITH_TIMEOUT(shell.manager->status().current().running, serverRuns, patienceMs);
        const qsizetype alertsBefore = shell.alerts.size();
        if (startUnderWay) {
            shell.entry(ShellTexts::startEntry())->trigger();
            QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(hanging), patienceMs);
        }
        shell.entry(ShellTexts::quitEntry())->trigger();
        shell.entry(ShellTexts::quitEntry())->trigger(); // a second choice calls nothing off
        QCOMPARE(terminations.size(), serverRuns ? 0 : 1);
        QTRY_COMPARE_WITH_TIMEOUT(terminations.size(), 1, patienceMs);
        // Never gone leaving our server running unsaid.
        QCOMPARE(aliveAtEnd, said);
        // What hung has ended, so nothing is left to wait for.
        QVERIFY(shell.manager->waitForWorkers(patienceMs));
        if (QFile::exists(hanging))
            QTRY_VERIFY_WITH_TIMEOUT(!alive(readFile(hanging).trimmed().toInt()), patienceMs);
        QVERIFY(serverRuns || startUnderWay || project.calls().isEmpty());
        QCoreApplication::processEvents(); // what was called off reports back now, if at all
        QCOMPARE(shell.alerts.size(), alertsBefore + (said ? 1 : 0));
        QVERIFY(!said || shell.alerts.constLast().title == ShellTexts::quitLeavesServerTitle());
        QVERIFY(shell.delegate->alerts().shown().isEmpty());
        QCOMPARE(terminations.size(), 1);
    }
};

QTEST_MAIN(TestAppCommands)
#include "tst_app_commands.moc"
