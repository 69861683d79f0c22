#include "ServerTestSupport.h"
#include "platform/PortProbe.h"
#include "server/ServerConstants.h"
#include "server/ServerManager.h"
#include "server/ServerState.h"
#include "server/StatusModel.h"

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace ServerTestSupport;
using namespace Qt::StringLiterals;

class ServerOperationsTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    QList<qint32> m_servers;
    int m_inherited = -1; // as if the program had inherited it (not close-on-exec)

    QString root() const { return m_dir->path(); }
    void write(const QString &name, const QByteArray &content) { QVERIFY(writeFile(root() + u'/' + name, content)); }

    // The port is free. At lookup `brokenLookup` (counted from 1) the root
    // is a folder that is not there (and must not be made).
    ServerManager::Config config(int brokenLookup = 0)
    {
        ServerManager::Config config;
        config.port = freePort();
        auto lookups = std::make_shared<std::atomic<int>>(0);
        config.projectRoot = [lookups, brokenLookup, path = root()] {
            return ++*lookups == brokenLookup ? path + u"/fehlt/x"_s : path;
        };
        return config;
    }

    static auto operation(const QString &name)
    {
        return QMap<QString, void (ServerManager::*)(ServerManager::Completion)>{
                {u"start"_s, &ServerManager::startServer},
                {u"stop"_s, &ServerManager::stopServer},
                {u"restart"_s, &ServerManager::restartServer},
                {u"regenerate"_s, &ServerManager::regenerateReports}}
                .value(name);
    }

    // Runs `function` ("name" or "name:row") again in a child started
    // through `prefix`, with `variable` set: passed or skipped as it is there.
    void asChild(const QStringList &prefix, const char *variable, const QString &value, const QString &function)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QLatin1String(variable), value);
        environment.insert(u"TMPDIR"_s, QDir::tempPath());
        ChildProcess child;
        child.setProcessEnvironment(environment);
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.start(prefix.first(), prefix.mid(1) + QStringList{QCoreApplication::applicationFilePath(), function});
        QVERIFY(child.waitForFinished(patienceMs));
        const QByteArray said = child.readAll();
        if (said.contains("SKIP   :"))
            QSKIP(said.constData());
        QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0
                         && said.contains(QByteArray(
                                 "PASS   : ServerOperationsTest::" + function.section(u':', 0, 0).toUtf8() + '(')),
                 said);
    }

    static constexpr const char *otherUsersPort = "HARLUNE_TEST_OTHER_USERS_PORT";

    // Root looks into every process: the row runs again as a third user, for
    // whom a second user's listener is a program it cannot look into.
    void asThirdUser()
    {
        if (geteuid() != 0)
            QSKIP("only root can run processes as other users");
        ChildProcess listener;
        const quint16 port = startListener(
                listener, 0, {u"/usr/bin/setpriv"_s, u"--reuid=65534"_s, u"--regid=65534"_s, u"--clear-groups"_s});
        QVERIFY(port > 0);
        asChild({u"/usr/bin/setpriv"_s, u"--reuid=65533"_s, u"--regid=65533"_s, u"--clear-groups"_s}, otherUsersPort,
                QString::number(port), u"outcomes:"_s + QString::fromUtf8(QTest::currentDataTag()));
    }

    // The identifier of a started server, which cleanup kills; 0 if none started.
    qint32 startedPid(const Outcome &outcome)
    {
        const bool started = outcome.result.kind == OperationOutcome::Kind::Started
                || outcome.result.kind == OperationOutcome::Kind::StartedNotListening;
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
        write(u"stop.sh"_s, "echo gestoppt >> stop-runs\n");
        write(u"generate_buchhaltung.py"_s, "print('generiert')\n");
        // Listens where it is told, says so on both channels, then stays.
        write(u"serve.py"_s,
              "import os, socket, sys, time\nhost, port = os.environ['HARLUNE_HOST'], os.environ['HARLUNE_PORT']\n"
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
        QTest::newRow("log appended") << QByteArray("alte Zeile\n") << u""_s;
        QTest::newRow("log created") << QByteArray() << u""_s;
        QTest::newRow("overgrown log moved aside") << overgrown << u""_s;
        // Said, not swallowed: the log grows on.
        QTest::newRow("overgrown log, folder as older copy") << overgrown << u"folder.1"_s;
        // No start, and no wait for ever on a FIFO that nobody reads.
        QTest::newRow("folder in the log's place") << QByteArray() << u"folder"_s;
        QTest::newRow("FIFO in the log's place") << QByteArray() << u"fifo"_s;
    }

    void startAppendsToTheLog()
    {
        QFETCH(QByteArray, oldLog);
        QFETCH(QString, inPlace);
        const QString log = root() + u"/logs/server-app.log"_s;
        if (!oldLog.isEmpty())
            write(u"logs/server-app.log"_s, oldLog);
        if (inPlace == u"folder.1"_s)
            QVERIFY(QDir().mkpath(log + u".1/x"_s));
        else
            write(u"logs/server-app.log.1"_s, "uralt\n");
        if (inPlace == u"folder"_s)
            QVERIFY(QDir().mkpath(log));
        if (inPlace == u"fifo"_s)
            QCOMPARE(::mkfifo(QFile::encodeName(log).constData(), 0600), 0);
        ServerManager::Config config = this->config();
        ServerManager manager(config);
        const auto outcome = await([&](auto done) { manager.startServer(done); });
        const qint32 pid = startedPid(*outcome);
        const bool logUsable = inPlace.isEmpty() || inPlace == u"folder.1"_s;
        QCOMPARE(outcome->result.logNotRotated, inPlace == u"folder.1"_s);
        if (!logUsable) {
            QCOMPARE(outcome->result.failure,
                     std::optional<RunFailure>(RunFailure{RunFailure::Kind::LogUnusable, log, {}, 0}));
            QVERIFY(!QFile::exists(root() + u"/served.txt"_s));
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
            QCOMPARE(readFile(log + u".1"_s), moved ? oldLog : QByteArray("uralt\n"));
    }

    void outcomes_data()
    {
        QTest::addColumn<QString>("operation");
        // Files written over the fixture (stop.sh: after the line that counts
        // runs); "lookup": the root lookup that fails; "held": the port is taken.
        // With "no stop script" there is none.
        QTest::addColumn<QVariantMap>("setup");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("output");
        QTest::addColumn<int>("failure"); // RunFailure::Kind, -1: none
        QTest::addColumn<int>("stopRuns");
        using K = OperationOutcome::Kind;
        const auto row = [](const char *name, const QString &operation, const QVariantMap &setup, K kind,
                            const QString &output, int failure, int stopRuns) {
            QTest::newRow(name) << operation << setup << int(kind) << output << failure << stopRuns;
        };
        const QString generator = u"generate_buchhaltung.py"_s;
        const int noRoot = int(RunFailure::Kind::RootMissing);
        const int noScript = int(RunFailure::Kind::ScriptMissing);
        const int timedOut = int(RunFailure::Kind::TimedOut);
        const QString hangingGenerator = u"import subprocess, time\nopen('sleeper', 'w').write(str("
                                         "subprocess.Popen(['/bin/sleep', '60']).pid))\ntime.sleep(60)"_s;
        // clang-format off
        row("start, generator silent", u"start"_s, {{generator, u"raise SystemExit(2)"_s}}, K::GeneratorFailed, u""_s, -1, 1);
        // The first lookup checks the scripts; nothing runs without them.
        row("start, no root", u"start"_s, {{u"lookup"_s, 1}}, K::ProjectIncomplete, u""_s, noRoot, 0);
        row("start, no generator", u"start"_s, {{u"no "_s + generator, true}}, K::ProjectIncomplete, u""_s, noScript, 0);
        row("start, no root at launch", u"start"_s, {{u"lookup"_s, 4}}, K::ServerDidNotStart, u""_s, noRoot, 1);
        row("start, stop cannot run, port held", u"start"_s, {{u"lookup"_s, 2}, {u"held"_s, true}}, K::PortBusy, u""_s, -1, 0);
        row("start, stop cannot run, port free", u"start"_s, {{u"lookup"_s, 2}}, K::Started, u""_s, -1, 0);
        // Not reported as started: its last words instead, and no PID kept.
        row("start, server ends at once", u"start"_s, {{u"serve.py"_s, u"print('kaputt\\nAdresse belegt')\nraise SystemExit(1)"_s}}, K::ServerEndedAtOnce, u"kaputt\nAdresse belegt"_s, -1, 1);
        row("stop, prints, exits 1", u"stop"_s, {{u"stop.sh"_s, u"echo 'Server gestoppt (PID 12)'\nexit 1"_s}}, K::Stopped, u"Server gestoppt (PID 12)"_s, -1, 1);
        row("stop, script missing", u"stop"_s, {{u"no stop.sh"_s, true}}, K::ProjectIncomplete, u""_s, noScript, 0);
        row("stop, port stays held", u"stop"_s, {{u"held"_s, true}, {u"stop.sh"_s, u"echo 'Kein Server'"_s}}, K::StopLeftPortBusy, u"Kein Server"_s, -1, 1);
        row("stop cannot run, port held", u"stop"_s, {{u"lookup"_s, 2}, {u"held"_s, true}}, K::StopLeftPortBusy, u""_s, noRoot, 0);
        // Said once: no server of ours ran, and the port is another user's program's.
        row("stop, another user's listener", u"stop"_s, {{u"held"_s, u"other user"_s}}, K::PortHeldByOther, u""_s, -1, 1);
        // The stop's outcome is never reported, and the start runs its own stop.
        row("restart, generator fails", u"restart"_s, {{u"stop.sh"_s, u"echo STOPP"_s}, {generator, u"print('GEN-FEHLER')\nraise SystemExit(1)"_s}}, K::GeneratorFailed, u"GEN-FEHLER"_s, -1, 2);
        // Without a stop script a restart is as strict as a start, no stricter.
        row("start, no stop script", u"start"_s, {{u"no stop.sh"_s, true}}, K::Started, u""_s, -1, 0);
        row("restart, no stop script", u"restart"_s, {{u"no stop.sh"_s, true}}, K::Started, u""_s, -1, 0);
        row("regenerate", u"regenerate"_s, {{generator, u"print('Bericht')"_s}}, K::Regenerated, u"Bericht"_s, -1, 0);
        row("regenerate, fails silently", u"regenerate"_s, {{generator, u"raise SystemExit(4)"_s}}, K::RegenerationFailed, u""_s, -1, 0);
        row("regenerate, no root", u"regenerate"_s, {{u"lookup"_s, 1}}, K::ProjectIncomplete, u""_s, noRoot, 0);
        // Scripts that never end are ended at their bound ("bound", ms), with all they started.
        row("stop hangs", u"stop"_s, {{u"stop.sh"_s, u"sleep 60 & echo $! > sleeper; wait"_s}, {u"bound"_s, 500}}, K::ScriptTimedOut, u""_s, timedOut, 1);
        row("start, generator hangs", u"start"_s, {{generator, hangingGenerator}, {u"bound"_s, 500}}, K::ScriptTimedOut, u""_s, timedOut, 1);
        // clang-format on
    }

    void outcomes()
    {
        QFETCH(QString, operation);
        QFETCH(QVariantMap, setup);
        QFETCH(int, kind);
        QFETCH(QString, output);
        QFETCH(int, failure);
        QFETCH(int, stopRuns);
        const bool heldByOther = setup.value(u"held"_s) == u"other user"_s;
        if (heldByOther && !qEnvironmentVariableIsSet(otherUsersPort))
            return asThirdUser();
        for (const QString &file : setup.keys().filter(u"."_s))
            if (!file.startsWith(u"no "_s))
                write(file, (file == u"stop.sh"_s ? "echo gestoppt >> stop-runs\n" : "") + setup[file].toByteArray());
        for (const QString &missing : setup.keys().filter(u"no "_s))
            QVERIFY(QFile::remove(root() + u'/' + missing.mid(3)));
        ServerManager::Config config = this->config(setup.value(u"lookup"_s).toInt());
        if (setup.contains(u"bound"_s))
            config.stopScriptBoundMs = config.generatorBoundMs = setup.value(u"bound"_s).toInt();
        QTcpServer holder;
        if (heldByOther)
            config.port = qEnvironmentVariableIntValue(otherUsersPort);
        else if (setup.value(u"held"_s).toBool()) {
            QVERIFY(holder.listen(QHostAddress::LocalHost, 0));
            config.port = holder.serverPort();
        }
        ServerManager manager(config);
        // A live recorded server that the fixture's stop script leaves alone.
        ChildProcess recorded;
        recorded.start(u"/bin/sleep"_s, {u"60"_s});
        QVERIFY(recorded.waitForStarted());
        manager.setServerPID(qint32(recorded.processId()));
        manager.setLastError(QStringLiteral("alt"));
        const auto outcome = await([&](auto done) { (manager.*this->operation(operation))(done); });

        const OperationOutcome &result = outcome->result;
        const qint32 started = startedPid(*outcome);
        QCOMPARE(int(result.kind), kind);
        const QString said = joined(result.output);
        QCOMPARE(said, output);
        QCOMPARE(result.failure ? int(result.failure->kind) : -1, failure);
        QVERIFY(!result.failure || result.failure->path.endsWith(u"/fehlt/x"_s) || result.failure->path == root()
                || result.failure->path == (operation == u"stop"_s ? u"stop.sh"_s : u"generate_buchhaltung.py"_s));
        QVERIFY(!QFileInfo::exists(root() + u"/fehlt"_s));
        // What a script that had to be ended had started is gone too.
        if (QFile::exists(root() + u"/sleeper"_s))
            QTRY_VERIFY_WITH_TIMEOUT(!alive(readFile(root() + u"/sleeper"_s).trimmed().toInt()), patienceMs);
        // Whoever holds the port is named: here the test itself.
        using Holder = std::optional<PortHolder>;
        const bool portNamed = result.kind == OperationOutcome::Kind::PortBusy
                || result.kind == OperationOutcome::Kind::StopLeftPortBusy;
        QCOMPARE(result.holder,
                 portNamed             ? Holder(PortHolder{QCoreApplication::applicationPid(),
                                               PortProbe::programName(QCoreApplication::applicationPid())})
                         : heldByOther ? Holder(PortHolder{})
                                       : Holder());
        QCOMPARE(readFile(root() + u"/stop-runs"_s).count('\n'), stopRuns);
        // A start records its server and clears the error, a stop forgets the
        // server and adopts no program that is none of this project's (here
        // the test itself holds the port); a failure changes nothing.
        const bool stops = (operation == u"stop"_s || operation == u"restart"_s)
                && result.kind != OperationOutcome::Kind::ScriptTimedOut
                && result.kind != OperationOutcome::Kind::ProjectIncomplete && !setup.contains(u"no stop.sh"_s);
        using Pid = std::optional<qint32>;
        QCOMPARE(manager.serverPID(), started ? Pid(started) : stops ? Pid() : Pid(recorded.processId()));
        QCOMPARE(manager.lastError(), started ? std::nullopt : std::optional(u"alt"_s));
        QVERIFY(started || !QFile::exists(root() + u"/served.txt"_s));
        // The last line of what the scripts said is kept.
        if (operation == u"regenerate"_s)
            QCOMPARE(manager.lastLogLine(), said);
    }

    void startedServersAreTrackedAndStopped_data()
    {
        QTest::addColumn<QByteArray>("serve"); // "shipped": the shipped project instead of the fixture
        QTest::addColumn<bool>("listens");
        QTest::newRow("never listens") << QByteArray("import time\ntime.sleep(120)") << false;
        // A started server, though the process we launched never listens.
        QTest::newRow("listens in a forked child")
                << QByteArray("import os, socket, time\nif os.fork() == 0:\n"
                              "    s = socket.create_server(('127.0.0.1', int(os.environ['HARLUNE_PORT'])))\n"
                              "    open('child', 'w').write(str(os.getpid()))\n"
                              "time.sleep(120)\n")
                << true;
        QTest::newRow("shipped project") << QByteArray("shipped") << true;
        // Its first process ends at once, and only later does the child listen.
        QTest::newRow("first process ends, its child listens")
                << QByteArray("import os, socket, time\nif os.fork() != 0:\n    os._exit(0)\ntime.sleep(0.3)\n"
                              "s = socket.create_server(('127.0.0.1', int(os.environ['HARLUNE_PORT'])))\n"
                              "open('child', 'w').write(str(os.getpid()))\ntime.sleep(120)\n")
                << true;
    }

    void startedServersAreTrackedAndStopped()
    {
        QFETCH(QByteArray, serve);
        QFETCH(bool, listens);
        if (serve == "shipped") {
            ChildProcess copy;
            copy.start(u"/bin/cp"_s, {u"-R"_s, HARLUNE_SHIPPED_PROJECT u"/."_s, root()});
            QVERIFY(copy.waitForFinished() && copy.exitCode() == 0);
        } else {
            write(u"serve.py"_s, serve);
            // Ends the listener, as the shipped stop script would; not what never listened.
            write(u"stop.sh"_s, "[ -f child ] && kill $(cat child)\n");
        }
        ServerManager::Config config = this->config();
        ServerManager manager(config);
        const auto started = await([&](auto done) { manager.startServer(done); });
        const qint32 pid = startedPid(*started);
        QVERIFY(pid > 0);
        QCOMPARE(started->result.kind,
                 listens ? OperationOutcome::Kind::Started : OperationOutcome::Kind::StartedNotListening);
        // Running only with a listener, which takes connections by the time
        // the start reports; else starting, with no question to its API.
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, quint16(config.port));
        QCOMPARE(client.waitForConnected(patienceMs), listens);
        const ServerStatus status = manager.status().current();
        QCOMPARE(status.running, listens);
        QCOMPARE(status.state(), listens ? ServerStatus::State::Running : ServerStatus::State::Launching);
        const qint32 child = readFile(root() + u"/child"_s).toInt();
        QCOMPARE(child > 0, serve.contains("fork"));
        // Where the first process ended, the server is the child that listens.
        QCOMPARE(status.pid, std::optional<qint32>(serve.contains("_exit") ? child : pid));
        // The stop ends what we launched, listener or not.
        const auto stopped = await([&](auto done) { manager.stopServer(done); });
        QVERIFY2(stopped->result.kind == OperationOutcome::Kind::Stopped && !manager.isRunning(),
                 qPrintable(joined(stopped->result.output)));
        QCOMPARE(stopped->result.endedSilent, listens ? std::nullopt : std::optional<qint32>(pid));
        QTRY_VERIFY_WITH_TIMEOUT(!alive(pid) && !alive(child), patienceMs);
    }

    // What listens on the port is shown as what it is: a server of this
    // project started by hand is adopted and its interface asked once it
    // runs, once each time it comes; another project's server or another
    // program is named and left alone.
    void listenerIsShownAsWhatItIs_data()
    {
        QTest::addColumn<QString>("where");   // the listener's working folder: "root", "other", "elsewhere"
        QTest::addColumn<QString>("program"); // serve.py by that name or path, or "listener"
        // clang-format off
        QTest::newRow("this project, started by hand") << u"root"_s << u"serve.py"_s;
        QTest::newRow("this project, by its full path") << u"elsewhere"_s << u"ROOT/serve.py"_s;
        QTest::newRow("this project, with options") << u"root"_s << u"-u serve.py --verbose"_s;
        QTest::newRow("another project's server") << u"other"_s << u"serve.py"_s;
        QTest::newRow("another program") << u"elsewhere"_s << u"listener"_s;
        // clang-format on
    }

    void listenerIsShownAsWhatItIs()
    {
        QFETCH(QString, where);
        QFETCH(QString, program);
        QTemporaryDir other, elsewhere;
        QVERIFY(writeFile(other.filePath(u"serve.py"_s), readFile(root() + u"/serve.py"_s)));
        const QString folder = where == u"root"_s ? root() : where == u"other"_s ? other.path() : elsewhere.path();
        ServerManager::Config config = this->config();
        auto state = std::make_shared<ServerState>(config);
        int asked = 0;
        StatusModel model(StatusModel::Probes{
                .observeAtOnce = [state] { return state->observeAtOnce(); },
                .observe = [state] { return state->observe(); },
                .logEnding = [] { return QString(); },
                .fetchVersion =
                        [&asked](auto answer) {
                            ++asked;
                            answer(u"5"_s);
                        },
                .holderChanged = {},
        });
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"HARLUNE_HOST"_s, u"127.0.0.1"_s);
        environment.insert(u"HARLUNE_PORT"_s, QString::number(config.port));
        ChildProcess listener;
        listener.setWorkingDirectory(folder);
        listener.setProcessEnvironment(environment);
        if (program == u"listener"_s) {
            QCOMPARE(startListener(listener, quint16(config.port)), config.port);
        } else {
            listener.start(u"/usr/bin/python3"_s, QString(program).replace(u"ROOT"_s, root()).split(u' '));
            QVERIFY(listener.waitForReadyRead(patienceMs));
        }
        model.start();
        QTRY_VERIFY_WITH_TIMEOUT(model.current().known, patienceMs);
        const ServerStatus &status = model.current();
        const qint32 pid = qint32(listener.processId());
        if (program.contains(u"serve.py"_s) && where != u"other"_s) {
            QCOMPARE(status.state(), ServerStatus::State::Running);
            QCOMPARE(status.pid, std::optional<qint32>(pid));
            QTRY_COMPARE_WITH_TIMEOUT(asked, 1, patienceMs);
            return;
        }
        QCOMPARE(status.state(), ServerStatus::State::Occupied);
        QVERIFY(!status.pid && status.stranger);
        QCOMPARE(*status.stranger,
                 (PortHolder{pid, u"python3"_s, false,
                             where == u"other"_s ? std::optional(QFileInfo(other.path()).canonicalFilePath())
                                                 : std::nullopt}));
        QCOMPARE(asked, 0);
        // The start says so and leaves it alone; so does the stop.
        ServerManager manager(config);
        const auto started = await([&](auto done) { manager.startServer(done); });
        QCOMPARE(started->result.kind, OperationOutcome::Kind::PortBusy);
        QCOMPARE(started->result.holder, status.stranger);
        QVERIFY(!QFile::exists(root() + u"/served.txt"_s) && listener.state() == QProcess::Running);
    }

    void serverOperationsRunOneAtATimeInOrder_data()
    {
        QTest::addColumn<QString>("second");
        QTest::addColumn<int>("kind");
        QTest::addColumn<bool>("runningAfter");
        QTest::addColumn<bool>("firstLives");
        using K = OperationOutcome::Kind;
        // The stop asked for second comes second: nothing runs after it.
        QTest::newRow("start, then stop") << u"stop"_s << int(K::Stopped) << false << false;
        QTest::newRow("start, then restart") << u"restart"_s << int(K::Started) << true << false;
        // The fixture's stop script stops nothing: the first server keeps the port.
        QTest::newRow("start, then start") << u"start"_s << int(K::ServerEndedAtOnce) << true << true;
        // Not a server operation: it runs beside the start (each generator
        // waits until both have begun; one after the other they give up).
        QTest::newRow("start, regeneration beside it") << u"regenerate"_s << int(K::Regenerated) << true << true;
    }

    void serverOperationsRunOneAtATimeInOrder()
    {
        QFETCH(QString, second);
        QFETCH(int, kind);
        QFETCH(bool, runningAfter);
        QFETCH(bool, firstLives);
        // A stop script that ends what the recorded servers are (its list is
        // kept by the test), unless the row starts twice.
        if (second != u"start"_s)
            write(u"stop.sh"_s,
                  "echo gestoppt >> stop-runs\n[ -f servers ] && kill $(cat servers) 2>/dev/null\n"
                  "while [ -f servers ] && kill -0 $(cat servers) 2>/dev/null; do sleep 0.05; done\nrm -f servers\n");
        write(u"serve.py"_s,
              readFile(root() + u"/serve.py"_s)
                      .replace("open('served.txt', 'w').close()", "open('servers', 'a').write('%d ' % os.getpid())"));
        if (second == u"regenerate"_s)
            write(u"generate_buchhaltung.py"_s,
                  "import os, time\nopen('arrived-%d' % os.getpid(), 'w').close()\nfor _ in range(300):\n"
                  "    if sum(n.startswith('arrived-') for n in os.listdir('.')) == 2: break\n"
                  "    time.sleep(0.05)\nelse: raise SystemExit('allein')\n");
        ServerManager manager(config());
        const auto first = std::make_shared<Outcome>();
        const auto next = std::make_shared<Outcome>();
        manager.startServer(recorder(first));
        (manager.*operation(second))(recorder(next));
        first->returned = next->returned = true;
        QTRY_VERIFY_WITH_TIMEOUT(first->calls == 1 && next->calls == 1, patienceMs);
        const qint32 firstPid = startedPid(*first);
        QVERIFY(firstPid > 0);
        const qint32 nextPid = startedPid(*next);
        QCOMPARE(int(next->result.kind), kind);
        QCOMPARE(manager.isRunning(), runningAfter);
        // The restart ended the first server and started another.
        QCOMPARE(alive(firstPid), firstLives);
        QVERIFY(second != u"restart"_s || (nextPid > 0 && nextPid != firstPid));
        if (second == u"start"_s)
            QCOMPARE(next->result.holder,
                     std::optional<PortHolder>(PortHolder{firstPid, processName(firstPid), true, {}}));
    }

    // The server's end is seen when it happens, not at the next update:
    // nothing polls here.
    void serverEndIsSeenAtOnce()
    {
        ServerManager manager(config());
        const auto started = await([&](auto done) { manager.startServer(done); });
        const qint32 pid = startedPid(*started);
        QVERIFY(pid > 0 && manager.status().current().running);
        manager.status().stop();
        QSignalSpy stops(&manager.status(), &StatusModel::unexpectedStop);
        QVERIFY(::kill(pid, SIGKILL) == 0);
        QTRY_VERIFY_WITH_TIMEOUT(!manager.status().current().running && stops.size() == 1, patienceMs);
        // With the end of its log, where it said why.
        QVERIFY(stops.at(0).at(0).toString().endsWith(u"fehlerkanal"_s));
    }

    // The server ends and a stranger gets its number before anything looks:
    // the stranger is neither taken for the server nor signalled by a stop.
    // In a process-number space of our own, where the next number can be
    // chosen; we are its first process and reap what ends in it.
    void reusedNumberIsAStranger()
    {
        if (!qEnvironmentVariableIsSet("HARLUNE_TEST_PID_SPACE")) {
            if (::geteuid() != 0)
                QSKIP("only root can choose the next process number");
            return asChild({u"/usr/bin/unshare"_s, u"--pid"_s, u"--fork"_s, u"--mount-proc"_s},
                           "HARLUNE_TEST_PID_SPACE", u"1"_s, u"reusedNumberIsAStranger"_s);
        }
        ServerManager manager(config());
        const auto started = await([&](auto done) { manager.startServer(done); });
        const qint32 pid = startedPid(*started);
        QVERIFY(pid > 0);
        manager.status().stop();
        QVERIFY(::kill(pid, SIGKILL) == 0 && ::waitpid(pid, nullptr, 0) == pid);
        QFile next(u"/proc/sys/kernel/ns_last_pid"_s);
        if (!next.open(QIODevice::WriteOnly) || next.write(QByteArray::number(pid - 1)) <= 0)
            QSKIP("the next process number cannot be chosen here");
        next.close();
        ChildProcess stranger;
        stranger.start(u"/bin/sleep"_s, {u"60"_s});
        QVERIFY(stranger.waitForStarted() && stranger.processId() == pid);
        // Asked now, before any event of the program ran.
        QVERIFY(!manager.refreshStatus());
        QCOMPARE(manager.serverPID(), std::nullopt);
        const auto stopped = await([&](auto done) { manager.stopServer(done); });
        QCOMPARE(stopped->result.endedSilent, std::nullopt);
        QVERIFY(stranger.state() == QProcess::Running && !stranger.waitForFinished(200));
    }
};

QTEST_GUILESS_MAIN(ServerOperationsTest)
#include "tst_serveroperations.moc"
