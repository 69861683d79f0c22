#include "server/PortProbe.h"
#include "server/ServerManager.h"
#include "ServerTestSupport.h"

#include <atomic>
#include <csignal>
#include <unistd.h>

using namespace ServerTestSupport;

class ServerOperationsTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    QList<qint32> m_servers;

    QString root() const { return m_dir->path(); }
    void write(const QString &name, const QByteArray &content) { QVERIFY(writeFile(root() + '/' + name, content)); }

    // The port is free; lsof records its calls into "lsof-calls" (without
    // a process file system, every probe asks it). At lookup
    // `brokenLookup` (counted from 1) the root lies below a file.
    ServerManager::Config config(int brokenLookup = 0)
    {
        ServerManager::Config config;
        config.port = freePort();
        config.lsofPath = root() + "/lsof";
        config.procFolder = root() + "/kein-proc";
        write("datei", "");
        auto lookups = std::make_shared<std::atomic<int>>(0);
        config.projectRoot = [lookups, brokenLookup, path = root()] {
            return ++*lookups == brokenLookup ? path + "/datei/x" : path;
        };
        return config;
    }

    // The identifier of a started server, which cleanup kills; 0 if none started.
    qint32 startedPid(const Outcome &outcome)
    {
        const QString prefix = QStringLiteral("Server gestartet (PID ");
        if (!outcome.success || !outcome.message.startsWith(prefix) || !outcome.message.endsWith(')'))
            return 0;
        m_servers.append(outcome.message.mid(prefix.size()).chopped(1).toInt());
        return m_servers.constLast();
    }

private slots:
    // The server must see the program's environment, without our additions.
    void initTestCase() { qunsetenv("HARLUNE_HOST"); }

    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        write("lsof", "#!/bin/bash\necho \"$@\" >> \"$(dirname \"$0\")/lsof-calls\"\nexec /usr/bin/lsof \"$@\"\n");
        QFile::setPermissions(root() + "/lsof", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        write("stop.sh", "echo gestoppt >> stop-runs\n");
        write("generate_buchhaltung.py", "print('generiert')\n");
        // Says where it prints, then stays (two minutes at most, should cleanup not come).
        write("serve.py", "import os, sys, time\n"
                          "print('serve läuft', os.getpid(), os.environ.get('HARLUNE_HOST', '-'), flush=True)\n"
                          "print('fehlerkanal', file=sys.stderr, flush=True)\n"
                          "open('served.txt', 'w').write(str(os.getpid()))\n"
                          "time.sleep(120)\n");
    }

    void cleanup()
    {
        for (qint32 pid : std::as_const(m_servers))
            ::kill(pid, SIGKILL);
        m_servers.clear();
        qunsetenv("HARLUNE_PORT");
    }

    void startAppendsToTheLog_data()
    {
        QTest::addColumn<QByteArray>("oldLog");
        QTest::addColumn<bool>("logUsable");
        QTest::newRow("log appended") << QByteArray("alte Zeile\n") << true;
        QTest::newRow("log created") << QByteArray() << true;
        QTest::newRow("folder in the log's place") << QByteArray() << false;
    }

    void startAppendsToTheLog()
    {
        QFETCH(QByteArray, oldLog);
        QFETCH(bool, logUsable);
        const QString log = root() + "/logs/server-app.log";
        if (!oldLog.isEmpty())
            write("logs/server-app.log", oldLog);
        if (!logUsable)
            QVERIFY(QDir().mkpath(log));
        ServerManager manager(config());
        const qint32 pid = startedPid(*await([&](auto done) { manager.startServer(done); }));
        QVERIFY(pid > 0);
        // The identifier is the server itself; both its channels follow the old log.
        QTRY_COMPARE_WITH_TIMEOUT(readFile(root() + "/served.txt"), QByteArray::number(pid), patienceMs);
        if (logUsable) {
            const QByteArray expected = oldLog + "serve läuft " + QByteArray::number(pid) + " -\nfehlerkanal\n";
            QTRY_COMPARE_WITH_TIMEOUT(readFile(log), expected, patienceMs);
        }
    }

    void outcomes_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QByteArray>("stopScript");  // after the line that counts runs; "fehlt": no script
        QTest::addColumn<QByteArray>("generator");   // empty: prints "generiert"
        QTest::addColumn<int>("brokenLookup");
        QTest::addColumn<bool>("portHeld");
        QTest::addColumn<bool>("success");
        QTest::addColumn<QString>("message");        // patterns, PORT for the port
        QTest::addColumn<QString>("lastLogLine");
        QTest::addColumn<int>("stopRuns");
        const QByteArray reportsLine3 = "import sys\nprint('\\n  Zeile 3: Betrag fehlt  \\n')\nsys.exit(1)\n";
        QTest::newRow("start, generator silent") << "start" << QByteArray() << QByteArray("import sys\nsys.exit(2)\n")
            << 0 << false << false << "^Generator fehlgeschlagen$" << "^$" << 1;
        QTest::newRow("start, generator reports") << "start" << QByteArray() << reportsLine3
            << 0 << false << false << "^Zeile 3: Betrag fehlt$" << "^Zeile 3: Betrag fehlt$" << 1;
        QTest::newRow("start, server cannot launch") << "start" << QByteArray() << QByteArray()
            << 3 << false << false << "chdir" << "^generiert$" << 1;
        QTest::newRow("start, no bash, port held") << "start" << QByteArray() << QByteArray()
            << 1 << true << false << "^Port PORT noch belegt – bitte zuerst stoppen\\.$" << "^vorher$" << 0;
        QTest::newRow("start, no bash, port free") << "start" << QByteArray() << QByteArray()
            << 1 << false << true << "^Server gestartet \\(PID \\d+\\)$" << "^generiert$" << 0;
        QTest::newRow("stop, prints, exits 1") << "stop" << QByteArray("echo 'Server gestoppt (PID 12)'\nexit 1\n")
            << QByteArray() << 0 << false << true << "^Server gestoppt \\(PID 12\\)$" << "^Server gestoppt \\(PID 12\\)$" << 1;
        QTest::newRow("stop, silent") << "stop" << QByteArray() << QByteArray()
            << 0 << false << true << "^Server gestoppt$" << "^$" << 1;
        // Bash's own complaint names the script.
        QTest::newRow("stop, script missing") << "stop" << QByteArray("fehlt") << QByteArray()
            << 0 << false << true << "stop\\.sh" << "stop\\.sh" << 0;
        QTest::newRow("stop, no bash, port free") << "stop" << QByteArray() << QByteArray()
            << 1 << false << true << "chdir" << "^vorher$" << 0;
        QTest::newRow("stop, no bash, port held") << "stop" << QByteArray() << QByteArray()
            << 1 << true << false << "chdir" << "^vorher$" << 0;
        QTest::newRow("restart") << "restart" << QByteArray("echo STOPP-MELDUNG\n") << QByteArray()
            << 0 << false << true << "^Server gestartet \\(PID \\d+\\)$" << "^generiert$" << 2;
        QTest::newRow("restart, generator fails") << "restart" << QByteArray("echo STOPP-MELDUNG\n")
            << QByteArray("import sys\nprint('GEN-FEHLER')\nsys.exit(1)\n")
            << 0 << false << false << "^GEN-FEHLER$" << "^GEN-FEHLER$" << 2;
        QTest::newRow("regenerate") << "regenerate" << QByteArray() << QByteArray("print('Bericht 1')\nprint('Bericht 2')\n")
            << 0 << false << true << "^Berichte neu generiert$" << "^Bericht 2$" << 0;
        QTest::newRow("regenerate, fails silently") << "regenerate" << QByteArray() << QByteArray("import sys\nsys.exit(4)\n")
            << 0 << false << false << "^$" << "^$" << 0;
        QTest::newRow("regenerate, no project root") << "regenerate" << QByteArray() << QByteArray()
            << 1 << false << false << "chdir" << "^vorher$" << 0;
    }

    void outcomes()
    {
        QFETCH(QString, operation);
        QFETCH(QByteArray, stopScript);
        QFETCH(QByteArray, generator);
        QFETCH(int, brokenLookup);
        QFETCH(bool, portHeld);
        QFETCH(bool, success);
        QFETCH(QString, message);
        QFETCH(QString, lastLogLine);
        QFETCH(int, stopRuns);
        if (stopScript == "fehlt")
            QVERIFY(QFile::remove(root() + "/stop.sh"));
        else
            write("stop.sh", "echo gestoppt >> stop-runs\n" + stopScript);
        if (!generator.isEmpty())
            write("generate_buchhaltung.py", generator);
        ServerManager::Config config = this->config(brokenLookup);
        QTcpServer holder;
        if (portHeld) {
            QVERIFY(holder.listen(QHostAddress::LocalHost, 0));
            config.port = holder.serverPort();
        }
        ServerManager manager(config);
        manager.setServerPID(4242);
        manager.setLastError(QStringLiteral("alt"));
        manager.setLastLogLine(QStringLiteral("vorher"));
        const QMap<QString, void (ServerManager::*)(ServerManager::Completion)> operations{
            {"start", &ServerManager::startServer}, {"stop", &ServerManager::stopServer},
            {"restart", &ServerManager::restartServer}, {"regenerate", &ServerManager::regenerateReports}};
        const auto outcome = await([&](auto done) { (manager.*operations.value(operation))(done); });

        const qint32 started = startedPid(*outcome);
        QCOMPARE(outcome->success, success);
        QVERIFY2(matches(outcome->message, message.replace("PORT", QString::number(config.port))),
                 qPrintable(outcome->message));
        QVERIFY2(matches(manager.lastLogLine(), lastLogLine), qPrintable(manager.lastLogLine()));
        QCOMPARE(readFile(root() + "/stop-runs").count('\n'), stopRuns);
        // The port is asked only when bash could not even start the stop script.
        QCOMPARE(QFile::exists(root() + "/lsof-calls"), brokenLookup == 1 && operation != "regenerate");
        // A start records its server and clears the error, a stop forgets the
        // server; a failure changes nothing.
        const bool stops = operation == "stop" || operation == "restart";
        using Pid = std::optional<qint32>;
        QCOMPARE(manager.serverPID(), started ? Pid(started) : stops ? Pid() : Pid(4242));
        QCOMPARE(manager.lastError(), started ? std::nullopt : std::optional<QString>("alt"));
        QVERIFY(started || !QFile::exists(root() + "/served.txt"));
    }

    void operationsRunSideBySide()
    {
        // Each generator waits until all four have started: run one after
        // another (or two at a time) they would give up.
        write("generate_buchhaltung.py",
              "import os, sys, time\n"
              "open('arrived-%d' % os.getpid(), 'w').close()\n"
              "deadline = time.time() + 15\n"
              "while len([n for n in os.listdir('.') if n.startswith('arrived-')]) < 4:\n"
              "    if time.time() > deadline: print('allein'); sys.exit(1)\n"
              "    time.sleep(0.05)\n");
        ServerManager manager(config());
        QList<std::shared_ptr<Outcome>> outcomes;
        for (auto operation : {&ServerManager::startServer, &ServerManager::startServer,
                               &ServerManager::regenerateReports, &ServerManager::regenerateReports}) {
            outcomes.append(std::make_shared<Outcome>());
            (manager.*operation)(recorder(outcomes.constLast()));
            outcomes.constLast()->returned = true;
        }
        QTRY_VERIFY_WITH_TIMEOUT(std::all_of(outcomes.cbegin(), outcomes.cend(), [](auto o) { return o->calls; }),
                                 patienceMs);
        QTest::qWait(200);
        for (const auto &outcome : std::as_const(outcomes))
            QVERIFY(outcome->calls == 1 && outcome->onMainThread && outcome->afterReturn);
        const qint32 first = startedPid(*outcomes[0]);
        const qint32 second = startedPid(*outcomes[1]);
        QVERIFY(first > 0 && second > 0 && first != second);
        QCOMPARE(outcomes[2]->message, QStringLiteral("Berichte neu generiert"));
        QCOMPARE(outcomes[3]->message, QStringLiteral("Berichte neu generiert"));
    }

    void exitingServerIsSeenStopped()
    {
        write("serve.py", "print('sofort vorbei')\n");
        ServerManager manager(config());
        const qint32 pid = startedPid(*await([&](auto done) { manager.startServer(done); }));
        QVERIFY(pid > 0);
        QCOMPARE(manager.serverPID(), std::optional<qint32>(pid));
        // Not our child: init reaps it, and then it is gone for kill() too.
        QTRY_VERIFY_WITH_TIMEOUT(!PortProbe::isAlive(pid), patienceMs);
        manager.refreshStatus();
        QCOMPARE(manager.serverPID(), std::nullopt);
        QVERIFY(!manager.isRunning());
    }

    void foldersAndDashboard()
    {
        ServerManager::Config nested = config();
        const QString project = root() + "/neu/projekt";
        nested.projectRoot = [project] { return project; };
        ServerManager manager(nested);
        // Without an opener the folders are still made.
        manager.openLogsFolder();
        QVERIFY(QFileInfo(project + "/logs").isDir());

        QList<QUrl> opened;
        manager.setUrlOpener([&opened](const QUrl &url) { opened.append(url); });
        manager.openBelegeFolder();
        QVERIFY(writeFile(project + "/Belege-Upload/beleg.pdf", "%PDF"));
        manager.openBelegeFolder();
        manager.openLogsFolder();
        manager.openDashboard();
        const QUrl belege = QUrl::fromLocalFile(project + "/Belege-Upload");
        QCOMPARE(opened, (QList<QUrl>{belege, belege, QUrl::fromLocalFile(project + "/logs"),
                                      QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(nested.port))}));
        QCOMPARE(readFile(project + "/Belege-Upload/beleg.pdf"), QByteArray("%PDF"));
    }

    void shippedProjectEndToEnd()
    {
        const QString project = root() + "/buchhaltung";
        ChildProcess copy;
        copy.start("/bin/cp", {"-R", HARLUNE_SHIPPED_PROJECT, project});
        QVERIFY(copy.waitForFinished() && copy.exitCode() == 0);
        ServerManager::Config shipped = config();
        shipped.projectRoot = [project] { return project; };
        // The server takes its port from the environment it inherits.
        qputenv("HARLUNE_PORT", QByteArray::number(shipped.port));
        qunsetenv("HARLUNE_AUTH");
        ServerManager manager(shipped);
        const auto versionPresent = [&] {
            auto version = std::make_shared<std::optional<std::optional<QString>>>();
            manager.fetchAPIVersion([version](const std::optional<QString> &answer) { *version = answer; });
            return QTest::qWaitFor([version] { return version->has_value(); }, patienceMs)
                && version->value().has_value();
        };

        const qint32 pid = startedPid(*await([&](auto done) { manager.startServer(done); }));
        QVERIFY(pid > 0);
        QTRY_VERIFY_WITH_TIMEOUT(versionPresent(), patienceMs);
        QVERIFY(manager.isRunning());
        QCOMPARE(await([&](auto done) { manager.regenerateReports(done); })->message,
                 QStringLiteral("Berichte neu generiert"));

        const qint32 restarted = startedPid(*await([&](auto done) { manager.restartServer(done); }));
        QVERIFY(restarted > 0 && restarted != pid);
        QTRY_VERIFY_WITH_TIMEOUT(!PortProbe::isAlive(pid), patienceMs);
        QTRY_VERIFY_WITH_TIMEOUT(versionPresent(), patienceMs);

        const auto stopped = await([&](auto done) { manager.stopServer(done); });
        QVERIFY2(stopped->success, qPrintable(stopped->message));
        QVERIFY(!manager.isRunning());
        QVERIFY(!versionPresent());
    }
};

QTEST_GUILESS_MAIN(ServerOperationsTest)
#include "tst_serveroperations.moc"
