#include "server/ServerConstants.h"
#include "platform/PortProbe.h"
#include "server/ServerManager.h"
#include "ServerTestSupport.h"

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

using namespace ServerTestSupport;

class ServerOperationsTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    QList<qint32> m_servers;
    int m_inherited = -1; // as if the program had inherited it (not close-on-exec)

    QString root() const { return m_dir->path(); }
    void write(const QString &name, const QByteArray &content) { QVERIFY(writeFile(root() + '/' + name, content)); }

    // The port is free. At lookup `brokenLookup` (counted from 1) the root
    // lies below a file, where no folder can be made.
    ServerManager::Config config(int brokenLookup = 0)
    {
        write("datei", "");
        ServerManager::Config config;
        config.port = freePort();
        auto lookups = std::make_shared<std::atomic<int>>(0);
        config.projectRoot = [lookups, brokenLookup, path = root()] {
            return ++*lookups == brokenLookup ? path + "/datei/x" : path;
        };
        return config;
    }

    // The identifier of a started server, which cleanup kills; 0 if none started.
    qint32 startedPid(const Outcome &outcome)
    {
        const bool started = outcome.result.kind == OperationOutcome::Kind::Started;
        m_servers.append(started ? outcome.result.pid.value_or(0) : 0);
        return m_servers.constLast();
    }

private slots:
    void init()
    {
        // The server must listen where the program looks, whatever the
        // program's own environment says.
        qputenv("HARLUNE_HOST", "example.org");
        qputenv("HARLUNE_PORT", "1");
        qunsetenv("HARLUNE_AUTH");
        m_dir = std::make_unique<QTemporaryDir>();
        write("stop.sh", "echo gestoppt >> stop-runs\n");
        write("generate_buchhaltung.py", "print('generiert')\n");
        // Listens where it is told, says so on both channels, then stays.
        write("serve.py", "import os, socket, sys, time\nhost, port = os.environ['HARLUNE_HOST'], os.environ['HARLUNE_PORT']\n"
                          "s = socket.create_server((host, int(port)))\nopen('served.txt', 'w').close()\n"
                          "print('serve läuft', os.getpid(), host, port, os.environ.get('HARLUNE_AUTH', '-'), flush=True)\n"
                          "print('fehlerkanal', file=sys.stderr, flush=True)\ntime.sleep(120)\n");
        m_inherited = ::open(QFile::encodeName(root()).constData(), O_RDONLY);
    }

    void cleanup()
    {
        for (qint32 pid : std::as_const(m_servers))
            ::kill(pid, pid ? SIGKILL : 0);
        m_servers.clear();
        ::close(m_inherited);
    }

    void startAppendsToTheLog_data()
    {
        QTest::addColumn<QByteArray>("oldLog");
        QTest::addColumn<bool>("logUsable");
        QTest::newRow("log appended") << QByteArray("alte Zeile\n") << true;
        QTest::newRow("log created") << QByteArray() << true;
        QTest::newRow("folder in the log's place") << QByteArray() << false;
        QTest::newRow("overgrown log moved aside")
            << QByteArray(ServerConstants::serverLogLimit, 'a') + "\nletzte alte Zeile\n" << true;
    }

    void startAppendsToTheLog()
    {
        QFETCH(QByteArray, oldLog);
        QFETCH(bool, logUsable);
        const QString log = root() + "/logs/server-app.log";
        if (!oldLog.isEmpty())
            write("logs/server-app.log", oldLog);
        write("logs/server-app.log.1", "uralt\n");
        if (!logUsable)
            QVERIFY(QDir().mkpath(log));
        ServerManager::Config config = this->config();
        ServerManager manager(config);
        const qint32 pid = startedPid(*await([&](auto done) { manager.startServer(done); }));
        QVERIFY(pid > 0);
        // Nothing the program inherited reaches the server.
        const QDir descriptors(QStringLiteral("/proc/%1/fd").arg(pid));
        for (const QString &descriptor : descriptors.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot))
            QVERIFY(QFile::symLinkTarget(descriptors.filePath(descriptor)) != root());
        if (!logUsable)
            return;
        // It was told where to listen, and nothing else. Both its channels
        // follow the old log, unless that had grown too large: it then
        // replaces the older copy, whole.
        const bool moved = oldLog.size() > ServerConstants::serverLogLimit;
        const QByteArray served = "serve läuft " + QByteArray::number(pid) + " 127.0.0.1 "
            + QByteArray::number(config.port) + " -\nfehlerkanal\n";
        QTRY_COMPARE_WITH_TIMEOUT(readFile(log), (moved ? QByteArray() : oldLog) + served, patienceMs);
        QCOMPARE(readFile(log + ".1"), moved ? oldLog : QByteArray("uralt\n"));
    }

    void outcomes_data()
    {
        QTest::addColumn<QString>("operation");
        // Files written over the fixture (stop.sh: after the line that counts
        // runs); "lookup": the root lookup that fails; "held": the port is taken.
        // With "no stop script" there is none.
        QTest::addColumn<QVariantMap>("setup");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("output");  // "*x": contains x
        QTest::addColumn<int>("failure");     // RunFailure::Kind, -1: none
        QTest::addColumn<int>("stopRuns");
        using K = OperationOutcome::Kind;
        const auto row = [](const char *name, const char *operation, const QVariantMap &setup, K kind,
                            const QString &output, int failure, int stopRuns) {
            QTest::newRow(name) << operation << setup << int(kind) << output << failure << stopRuns;
        };
        const QString generator = "generate_buchhaltung.py";
        const int noRoot = int(RunFailure::Kind::RootUnavailable);
        row("start, generator silent", "start", {{generator, "raise SystemExit(2)"}}, K::GeneratorFailed, "", -1, 1);
        row("start, no root at launch", "start", {{"lookup", 3}}, K::ServerDidNotStart, "", noRoot, 1);
        row("start, stop cannot run, port held", "start", {{"lookup", 1}, {"held", true}}, K::PortBusy, "", -1, 0);
        row("start, stop cannot run, port free", "start", {{"lookup", 1}}, K::Started, "", -1, 0);
        // Not reported as started: its last words instead, and no PID kept.
        row("start, server ends at once", "start", {{"serve.py", "print('kaputt\\nAdresse belegt')\nraise SystemExit(1)"}},
            K::ServerEndedAtOnce, "kaputt\nAdresse belegt", -1, 1);
        row("start, server not yet listening", "start", {{"serve.py", "import time\ntime.sleep(120)"}}, K::Started, "", -1, 1);
        row("stop, prints, exits 1", "stop", {{"stop.sh", "echo 'Server gestoppt (PID 12)'\nexit 1"}}, K::Stopped,
            "Server gestoppt (PID 12)", -1, 1);
        row("stop, silent", "stop", {}, K::Stopped, "", -1, 1);
        // Bash's own complaint names the script.
        row("stop, script missing", "stop", {{"no stop script", true}}, K::Stopped, "*stop.sh", -1, 0);
        row("stop, port stays held", "stop", {{"held", true}, {"stop.sh", "echo 'Kein Server'"}}, K::StopLeftPortBusy,
            "Kein Server", -1, 1);
        row("stop cannot run, port held", "stop", {{"lookup", 1}, {"held", true}}, K::StopLeftPortBusy, "", noRoot, 0);
        // The stop's outcome is never reported, and the start runs its own stop.
        row("restart, generator fails", "restart", {{"stop.sh", "echo STOPP"}, {generator, "print('GEN-FEHLER')\nraise SystemExit(1)"}},
            K::GeneratorFailed, "GEN-FEHLER", -1, 2);
        row("regenerate", "regenerate", {{generator, "print('Bericht')"}}, K::Regenerated, "Bericht", -1, 0);
        row("regenerate, fails silently", "regenerate", {{generator, "raise SystemExit(4)"}}, K::RegenerationFailed, "", -1, 0);
    }

    void outcomes()
    {
        QFETCH(QString, operation);
        QFETCH(QVariantMap, setup);
        QFETCH(int, kind);
        QFETCH(QString, output);
        QFETCH(int, failure);
        QFETCH(int, stopRuns);
        for (const QString &file : setup.keys().filter("."))
            write(file, (file == "stop.sh" ? "echo gestoppt >> stop-runs\n" : "") + setup[file].toByteArray());
        QVERIFY(!setup.contains("no stop script") || QFile::remove(root() + "/stop.sh"));
        ServerManager::Config config = this->config(setup.value("lookup").toInt());
        QTcpServer holder;
        if (setup.value("held").toBool()) {
            QVERIFY(holder.listen(QHostAddress::LocalHost, 0));
            config.port = holder.serverPort();
        }
        ServerManager manager(config);
        // A live recorded server that the fixture's stop script leaves alone.
        ChildProcess recorded;
        recorded.start("/bin/sleep", {"60"});
        QVERIFY(recorded.waitForStarted());
        manager.setServerPID(qint32(recorded.processId()));
        manager.setLastError(QStringLiteral("alt"));
        const QMap<QString, void (ServerManager::*)(ServerManager::Completion)> operations{{"start", &ServerManager::startServer},
            {"stop", &ServerManager::stopServer}, {"restart", &ServerManager::restartServer}, {"regenerate", &ServerManager::regenerateReports}};
        const auto outcome = await([&](auto done) { (manager.*operations.value(operation))(done); });

        const OperationOutcome &result = outcome->result;
        const qint32 started = startedPid(*outcome);
        QCOMPARE(int(result.kind), kind);
        QCOMPARE(result.port, config.port);
        const QString said = joined(result.output);
        QVERIFY2(output.startsWith('*') ? said.contains(output.mid(1)) : said == output, qPrintable(said));
        QCOMPARE(result.failure ? int(result.failure->kind) : -1, failure);
        QVERIFY(!result.failure || result.failure->path.endsWith("/datei/x"));
        // Whoever holds the port is named: here the test itself.
        using Holder = std::optional<PortHolder>;
        const bool portNamed = result.kind == OperationOutcome::Kind::PortBusy
            || result.kind == OperationOutcome::Kind::StopLeftPortBusy;
        QCOMPARE(result.holder, portNamed ? Holder(PortHolder{QCoreApplication::applicationPid(), PortProbe::programName(
                                                QCoreApplication::applicationPid())}) : Holder());
        QCOMPARE(readFile(root() + "/stop-runs").count('\n'), stopRuns);
        // A start records its server and clears the error, a stop forgets the
        // server and adopts whoever still holds the port; a failure changes nothing.
        const bool stops = operation == "stop" || operation == "restart";
        using Pid = std::optional<qint32>;
        const Pid holderPid = holder.isListening() ? Pid(QCoreApplication::applicationPid()) : Pid();
        QCOMPARE(manager.serverPID(), started ? Pid(started) : stops ? holderPid : Pid(recorded.processId()));
        QCOMPARE(manager.lastError(), started ? std::nullopt : std::optional<QString>("alt"));
        QVERIFY(started || !QFile::exists(root() + "/served.txt"));
        // The last line of what the scripts said is kept.
        if (operation == "regenerate")
            QCOMPARE(manager.lastLogLine(), said);
    }

    void operationsRunSideBySide()
    {
        // Each generator waits until all four have started: run one after
        // another (or two at a time) they would give up.
        write("generate_buchhaltung.py", "import os, time\nopen('arrived-%d' % os.getpid(), 'w').close()\nfor _ in range(300):\n"
                                         "    if sum(n.startswith('arrived-') for n in os.listdir('.')) == 4: break\n"
                                         "    time.sleep(0.05)\nelse: raise SystemExit('allein')\n");
        ServerManager manager(config());
        QList<std::shared_ptr<Outcome>> outcomes;
        for (auto operation : {&ServerManager::startServer, &ServerManager::startServer,
                               &ServerManager::regenerateReports, &ServerManager::regenerateReports}) {
            outcomes.append(std::make_shared<Outcome>());
            (manager.*operation)(recorder(outcomes.constLast()));
            outcomes.constLast()->returned = true;
        }
        const auto once = [&] { return std::all_of(outcomes.cbegin(), outcomes.cend(), [](auto o) { return o->calls == 1; }); };
        QTRY_VERIFY_WITH_TIMEOUT(once(), patienceMs);
        QTest::qWait(200);
        QVERIFY(once() && std::all_of(outcomes.cbegin(), outcomes.cend(), [](auto o) { return o->afterReturn; }));
        // The port takes one of the two servers; the other ends, and says so.
        QCOMPARE(bool(startedPid(*outcomes[0])) + bool(startedPid(*outcomes[1])), 1);
        const qint32 winner = startedPid(*outcomes[0]) + startedPid(*outcomes[1]);
        const OperationOutcome loser = outcomes[startedPid(*outcomes[0]) ? 1 : 0]->result;
        QCOMPARE(loser.kind, OperationOutcome::Kind::ServerEndedAtOnce);
        QVERIFY2(joined(loser.output).contains("Address already in use"), qPrintable(joined(loser.output)));
        QCOMPARE(loser.holder, std::optional<PortHolder>(PortHolder{winner, QString("python3")}));
        for (int regeneration : {2, 3})
            QCOMPARE(outcomes[regeneration]->result.kind, OperationOutcome::Kind::Regenerated);
    }

    void shippedProjectStartsAndStops()
    {
        const QString project = root() + "/buchhaltung";
        ChildProcess copy;
        copy.start("/bin/cp", {"-R", HARLUNE_SHIPPED_PROJECT, project});
        QVERIFY(copy.waitForFinished() && copy.exitCode() == 0);
        ServerManager::Config shipped = config();
        shipped.projectRoot = [project] { return project; };
        ServerManager manager(shipped);
        // It listens by the time the start reports, and no longer after the stop.
        QVERIFY(startedPid(*await([&](auto done) { manager.startServer(done); })) > 0);
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, quint16(shipped.port));
        QVERIFY(client.waitForConnected(patienceMs));
        const auto stopped = await([&](auto done) { manager.stopServer(done); });
        QVERIFY2(stopped->result.success() && !manager.isRunning(), qPrintable(joined(stopped->result.output)));
    }
};

QTEST_GUILESS_MAIN(ServerOperationsTest)
#include "tst_serveroperations.moc"
