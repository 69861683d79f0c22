#include "server/ServerConstants.h"
#include "platform/PortProbe.h"
#include "server/ServerManager.h"
#include "ServerTestSupport.h"

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
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
        QTest::addColumn<QString>("inPlace"); // what lies where the log (or its older copy) belongs
        const QByteArray overgrown = QByteArray(ServerConstants::serverLogLimit, 'a') + "\nletzte alte Zeile\n";
        QTest::newRow("log appended") << QByteArray("alte Zeile\n") << "";
        QTest::newRow("log created") << QByteArray() << "";
        QTest::newRow("overgrown log moved aside") << overgrown << "";
        // Said, not swallowed: the log grows on.
        QTest::newRow("overgrown log, folder as older copy") << overgrown << "folder.1";
        // No start, and no wait for ever on a FIFO that nobody reads.
        QTest::newRow("folder in the log's place") << QByteArray() << "folder";
        QTest::newRow("FIFO in the log's place") << QByteArray() << "fifo";
    }

    void startAppendsToTheLog()
    {
        QFETCH(QByteArray, oldLog);
        QFETCH(QString, inPlace);
        const QString log = root() + "/logs/server-app.log";
        if (!oldLog.isEmpty())
            write("logs/server-app.log", oldLog);
        if (inPlace == "folder.1")
            QVERIFY(QDir().mkpath(log + ".1/x"));
        else
            write("logs/server-app.log.1", "uralt\n");
        if (inPlace == "folder")
            QVERIFY(QDir().mkpath(log));
        if (inPlace == "fifo")
            QCOMPARE(::mkfifo(QFile::encodeName(log).constData(), 0600), 0);
        ServerManager::Config config = this->config();
        ServerManager manager(config);
        const auto outcome = await([&](auto done) { manager.startServer(done); });
        const qint32 pid = startedPid(*outcome);
        const bool logUsable = inPlace.isEmpty() || inPlace == "folder.1";
        QCOMPARE(outcome->result.logNotRotated, inPlace == "folder.1");
        if (!logUsable) {
            QCOMPARE(outcome->result.failure, std::optional<RunFailure>(RunFailure{RunFailure::Kind::LogUnusable, log, {}, 0}));
            QVERIFY(!QFile::exists(root() + "/served.txt"));
            return;
        }
        QVERIFY(pid > 0);
        // Nothing the program inherited reaches the server.
        const QDir descriptors(QStringLiteral("/proc/%1/fd").arg(pid));
        for (const QString &descriptor : descriptors.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot))
            QVERIFY(QFile::symLinkTarget(descriptors.filePath(descriptor)) != root());
        // It was told where to listen, and nothing else. Both its channels
        // follow the old log, unless that had grown too large: it then
        // replaces the older copy, whole.
        const bool moved = oldLog.size() > ServerConstants::serverLogLimit && inPlace.isEmpty();
        const QByteArray served = "serve läuft " + QByteArray::number(pid) + " 127.0.0.1 "
            + QByteArray::number(config.port) + " -\nfehlerkanal\n";
        QTRY_COMPARE_WITH_TIMEOUT(readFile(log), (moved ? QByteArray() : oldLog) + served, patienceMs);
        if (inPlace.isEmpty())
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
        // Scripts that never end are ended at their bound ("bound", ms), with all they started.
        const int timedOut = int(RunFailure::Kind::TimedOut);
        row("stop hangs", "stop", {{"stop.sh", "sleep 60 & echo $! > sleeper; wait"}, {"bound", 500}},
            K::ScriptTimedOut, "", timedOut, 1);
        row("start, generator hangs", "start", {{generator, "import subprocess\nopen('sleeper', 'w').write(str("
            "subprocess.Popen(['/bin/sleep', '60']).pid))\nimport time\ntime.sleep(60)"}, {"bound", 500}},
            K::ScriptTimedOut, "", timedOut, 1);
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
        if (setup.contains("bound"))
            config.stopScriptBoundMs = config.generatorBoundMs = setup.value("bound").toInt();
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
        QVERIFY(!result.failure || result.failure->path.endsWith("/datei/x")
                || result.failure->path == (operation == "stop" ? "stop.sh" : "generate_buchhaltung.py"));
        // What a script that had to be ended had started is gone too.
        if (QFile::exists(root() + "/sleeper"))
            QTRY_VERIFY_WITH_TIMEOUT(!PortProbe::isAlive(readFile(root() + "/sleeper").trimmed().toInt()), patienceMs);
        // Whoever holds the port is named: here the test itself.
        using Holder = std::optional<PortHolder>;
        const bool portNamed = result.kind == OperationOutcome::Kind::PortBusy
            || result.kind == OperationOutcome::Kind::StopLeftPortBusy;
        QCOMPARE(result.holder, portNamed ? Holder(PortHolder{QCoreApplication::applicationPid(), PortProbe::programName(
                                                QCoreApplication::applicationPid())}) : Holder());
        QCOMPARE(readFile(root() + "/stop-runs").count('\n'), stopRuns);
        // A start records its server and clears the error, a stop forgets the
        // server and adopts whoever still holds the port; a failure changes nothing.
        const bool stops = (operation == "stop" || operation == "restart")
            && result.kind != OperationOutcome::Kind::ScriptTimedOut;
        using Pid = std::optional<qint32>;
        const Pid holderPid = holder.isListening() ? Pid(QCoreApplication::applicationPid()) : Pid();
        QCOMPARE(manager.serverPID(), started ? Pid(started) : stops ? holderPid : Pid(recorded.processId()));
        QCOMPARE(manager.lastError(), started ? std::nullopt : std::optional<QString>("alt"));
        QVERIFY(started || !QFile::exists(root() + "/served.txt"));
        // The last line of what the scripts said is kept.
        if (operation == "regenerate")
            QCOMPARE(manager.lastLogLine(), said);
    }

    void regenerationsRunBesideAStart()
    {
        // Each generator waits until both have started: run one after
        // another they would give up.
        write("generate_buchhaltung.py", "import os, time\nopen('arrived-%d' % os.getpid(), 'w').close()\nfor _ in range(300):\n"
                                         "    if sum(n.startswith('arrived-') for n in os.listdir('.')) == 2: break\n"
                                         "    time.sleep(0.05)\nelse: raise SystemExit('allein')\n");
        ServerManager manager(config());
        QList<std::shared_ptr<Outcome>> outcomes;
        for (auto operation : {&ServerManager::startServer, &ServerManager::regenerateReports}) {
            outcomes.append(std::make_shared<Outcome>());
            (manager.*operation)(recorder(outcomes.constLast()));
            outcomes.constLast()->returned = true;
        }
        QTRY_VERIFY_WITH_TIMEOUT(std::all_of(outcomes.cbegin(), outcomes.cend(), [](auto o) { return o->calls == 1; }), patienceMs);
        QVERIFY(startedPid(*outcomes[0]) > 0);
        QCOMPARE(outcomes[1]->result.kind, OperationOutcome::Kind::Regenerated);
    }

    void serverOperationsRunOneAtATimeInOrder_data()
    {
        QTest::addColumn<QString>("second");
        QTest::addColumn<int>("kind");
        QTest::addColumn<bool>("runningAfter");
        using K = OperationOutcome::Kind;
        // The stop asked for second comes second: nothing runs after it.
        QTest::newRow("start, then stop") << "stop" << int(K::Stopped) << false;
        QTest::newRow("start, then restart") << "restart" << int(K::Started) << true;
        // The fixture's stop script stops nothing: the first server keeps the port.
        QTest::newRow("start, then start") << "start" << int(K::ServerEndedAtOnce) << true;
    }

    void serverOperationsRunOneAtATimeInOrder()
    {
        QFETCH(QString, second);
        QFETCH(int, kind);
        QFETCH(bool, runningAfter);
        // A stop script that ends what the recorded servers are (its list is
        // kept by the test), unless the row starts twice.
        if (second != "start")
            write("stop.sh", "echo gestoppt >> stop-runs\n[ -f servers ] && kill $(cat servers) 2>/dev/null\n"
                             "while [ -f servers ] && kill -0 $(cat servers) 2>/dev/null; do sleep 0.05; done\nrm -f servers\n");
        write("serve.py", readFile(root() + "/serve.py").replace("open('served.txt', 'w').close()",
                                                                 "open('servers', 'a').write('%d ' % os.getpid())"));
        ServerManager manager(config());
        const auto first = std::make_shared<Outcome>();
        const auto next = std::make_shared<Outcome>();
        manager.startServer(recorder(first));
        const QMap<QString, void (ServerManager::*)(ServerManager::Completion)> operations{
            {"start", &ServerManager::startServer}, {"stop", &ServerManager::stopServer}, {"restart", &ServerManager::restartServer}};
        (manager.*operations.value(second))(recorder(next));
        first->returned = next->returned = true;
        QTRY_VERIFY_WITH_TIMEOUT(first->calls == 1 && next->calls == 1, patienceMs);
        const qint32 firstPid = startedPid(*first);
        QVERIFY(firstPid > 0);
        const qint32 nextPid = startedPid(*next);
        QCOMPARE(int(next->result.kind), kind);
        QCOMPARE(manager.isRunning(), runningAfter);
        // The restart ended the first server and started another.
        QCOMPARE(PortProbe::isAlive(firstPid), second == "start");
        QVERIFY(second != "restart" || (nextPid > 0 && nextPid != firstPid));
        if (second == "start")
            QCOMPARE(next->result.holder, std::optional<PortHolder>(PortHolder{firstPid, QString("python3")}));
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
