#include "server/PortProbe.h"
#include "server/ServerManager.h"
#include "ServerTestSupport.h"

#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <csignal>
#include <unistd.h>

using namespace ServerTestSupport;

namespace {

// A server that says where it prints, then stays (never longer than two
// minutes, should a test fail before it is cleaned up).
const QByteArray lastingServer =
    "import os, sys, time\n"
    "print('serve läuft', os.getpid(), os.environ.get('HARLUNE_HOST', '-'), flush=True)\n"
    "print('fehlerkanal', file=sys.stderr, flush=True)\n"
    "open('served.txt', 'w').write(str(os.getpid()))\n"
    "time.sleep(120)\n";

// Records every lsof call, then runs the real one.
const QByteArray recordingLsof =
    "#!/bin/bash\necho \"$@\" >> \"$(dirname \"$0\")/lsof-calls\"\nexec /usr/bin/lsof \"$@\"\n";

} // namespace

class ServerOperationsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void startLaunchesAndAppendsToTheLog();
    void startWithMissingOrUnusableLog();
    void startFailuresChangeNothing();
    void startWhenTheStopCannotLaunch();
    void twoStartsAtOnce();
    void exitingServerIsSeenStopped();
    void stopOutcomes_data();
    void stopOutcomes();
    void stopWhenBashCannotStart();
    void stopLeavesTheServerToTheNextRefresh();
    void restartReportsTheStart();
    void regenerate();
    void operationsRunSideBySide();
    void foldersAndDashboard();
    void shippedProjectEndToEnd();

private:
    QString root() const { return m_dir->path(); }
    void write(const QString &name, const QByteArray &content) { QVERIFY(writeFile(root() + '/' + name, content)); }
    ServerManager::Config config();
    // Calls the operation, waits for its single answer and checks how it came.
    std::shared_ptr<Outcome> await(const std::function<void(ServerManager::Completion)> &operation);
    // A started server is killed at cleanup.
    qint32 startedPid(const Outcome &outcome);

    std::unique_ptr<QTemporaryDir> m_dir;
    QList<qint32> m_servers;
};

void ServerOperationsTest::initTestCase()
{
    // The server must see the program's environment, without our additions.
    qunsetenv("HARLUNE_HOST");
}

void ServerOperationsTest::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    write("lsof", recordingLsof);
    QFile::setPermissions(root() + "/lsof", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    write("stop.sh", "echo gestoppt >> stop-runs\n");
    write("generate_buchhaltung.py", "print('generiert')\n");
    write("serve.py", lastingServer);
}

void ServerOperationsTest::cleanup()
{
    for (qint32 pid : std::as_const(m_servers))
        ::kill(pid, SIGKILL);
    m_servers.clear();
    qunsetenv("HARLUNE_PORT");
}

ServerManager::Config ServerOperationsTest::config()
{
    ServerManager::Config config;
    config.port = freePort();
    config.projectRoot = [path = root()] { return path; };
    config.lsofPath = root() + "/lsof";
    return config;
}

std::shared_ptr<Outcome> ServerOperationsTest::await(const std::function<void(ServerManager::Completion)> &operation)
{
    auto outcome = std::make_shared<Outcome>();
    operation(recorder(outcome));
    outcome->returned = true;
    [&] { QTRY_COMPARE_WITH_TIMEOUT(outcome->calls, 1, patienceMs); }();
    QCoreApplication::processEvents();
    [&] {
        QCOMPARE(outcome->calls, 1);
        QVERIFY(outcome->onMainThread);
        QVERIFY(outcome->afterReturn);
    }();
    return outcome;
}

qint32 ServerOperationsTest::startedPid(const Outcome &outcome)
{
    const QString prefix = QStringLiteral("Server gestartet (PID ");
    if (!outcome.success || !outcome.message.startsWith(prefix) || !outcome.message.endsWith(')'))
        return 0;
    const qint32 pid = outcome.message.mid(prefix.size()).chopped(1).toInt();
    m_servers.append(pid);
    return pid;
}

void ServerOperationsTest::startLaunchesAndAppendsToTheLog()
{
    write("stop.sh", "echo 'nichts zu stoppen'\nexit 1\n");
    write("logs/server-app.log", "alte Zeile\n");
    ServerManager manager(config());
    manager.setLastError(QStringLiteral("alt"));

    const auto outcome = await([&](auto done) { manager.startServer(done); });
    const qint32 pid = startedPid(*outcome);
    QVERIFY2(pid > 0, qPrintable(outcome->message));
    QCOMPARE(manager.serverPID(), std::optional<qint32>(pid));
    QCOMPARE(manager.lastError(), std::nullopt);
    QCOMPARE(manager.lastLogLine(), QStringLiteral("generiert"));
    // A stop script that ran is enough: the port is not asked.
    QVERIFY(!QFile::exists(root() + "/lsof-calls"));

    // The identifier is the server itself; both its channels follow the old log.
    QTRY_COMPARE_WITH_TIMEOUT(readFile(root() + "/served.txt"), QByteArray::number(pid), patienceMs);
    const QByteArray expected = "alte Zeile\nserve läuft " + QByteArray::number(pid) + " -\nfehlerkanal\n";
    QTRY_COMPARE_WITH_TIMEOUT(readFile(root() + "/logs/server-app.log"), expected, patienceMs);
}

void ServerOperationsTest::startWithMissingOrUnusableLog()
{
    ServerManager manager(config());
    qint32 pid = startedPid(*await([&](auto done) { manager.startServer(done); }));
    QVERIFY(pid > 0);
    QTRY_VERIFY_WITH_TIMEOUT(readFile(root() + "/logs/server-app.log").startsWith("serve läuft"), patienceMs);

    // A log that cannot be opened (a folder in its place) does not stop the launch.
    cleanup();
    QVERIFY(QFile::remove(root() + "/logs/server-app.log"));
    QVERIFY(QDir().mkpath(root() + "/logs/server-app.log"));
    QFile::remove(root() + "/served.txt");
    pid = startedPid(*await([&](auto done) { manager.startServer(done); }));
    QVERIFY(pid > 0);
    QTRY_COMPARE_WITH_TIMEOUT(readFile(root() + "/served.txt"), QByteArray::number(pid), patienceMs);
}

void ServerOperationsTest::startFailuresChangeNothing()
{
    ServerManager manager(config());
    manager.setServerPID(4242);
    manager.setLastError(QStringLiteral("alt"));
    const auto unchanged = [&] {
        QCOMPARE(manager.serverPID(), std::optional<qint32>(4242));
        QCOMPARE(manager.lastError(), std::optional<QString>("alt"));
        QVERIFY(!QFile::exists(root() + "/served.txt"));
    };

    write("generate_buchhaltung.py", "import sys\nsys.exit(2)\n");
    auto outcome = await([&](auto done) { manager.startServer(done); });
    QCOMPARE(outcome->success, false);
    QCOMPARE(outcome->message, QStringLiteral("Generator fehlgeschlagen"));
    unchanged();

    write("generate_buchhaltung.py", "import sys\nprint('\\n  Zeile 3: Betrag fehlt  \\n')\nsys.exit(1)\n");
    outcome = await([&](auto done) { manager.startServer(done); });
    QCOMPARE(outcome->message, QStringLiteral("Zeile 3: Betrag fehlt"));
    unchanged();

    // The server's folder turns out to lie below a file: the launch itself fails.
    write("datei", "");
    ServerManager::Config lateFailure = config();
    auto calls = std::make_shared<std::atomic<int>>(0);
    lateFailure.projectRoot = [calls, path = root()] { return ++*calls <= 2 ? path : path + "/datei/x"; };
    write("generate_buchhaltung.py", "print('ok')\n");
    ServerManager failing(lateFailure);
    outcome = await([&](auto done) { failing.startServer(done); });
    QCOMPARE(outcome->success, false);
    QVERIFY2(outcome->message.contains("chdir"), qPrintable(outcome->message));
    QCOMPARE(failing.serverPID(), std::nullopt);
}

void ServerOperationsTest::startWhenTheStopCannotLaunch()
{
    // A missing project root: bash cannot even start the stop script.
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress::LocalHost, 0));
    ServerManager::Config busy = config();
    busy.port = holder.serverPort();
    busy.projectRoot = [path = root() + "/fehlt"] { return path; };
    ServerManager manager(busy);
    auto outcome = await([&](auto done) { manager.startServer(done); });
    QCOMPARE(outcome->success, false);
    QCOMPARE(outcome->message, QStringLiteral("Port %1 noch belegt – bitte zuerst stoppen.").arg(busy.port));
    QVERIFY(readFile(root() + "/lsof-calls").contains(QByteArray::number(busy.port)));
    QVERIFY(!QFile::exists(root() + "/fehlt"));

    // The same with the port free goes on to the generator and the server.
    ServerManager::Config freePortConfig = config();
    auto calls = std::make_shared<std::atomic<int>>(0);
    freePortConfig.projectRoot = [calls, path = root()] { return ++*calls == 1 ? path + "/fehlt" : path; };
    ServerManager onward(freePortConfig);
    outcome = await([&](auto done) { onward.startServer(done); });
    QVERIFY2(startedPid(*outcome) > 0, qPrintable(outcome->message));
    QVERIFY(!QFile::exists(root() + "/stop-runs"));
}

void ServerOperationsTest::twoStartsAtOnce()
{
    ServerManager manager(config());
    auto first = std::make_shared<Outcome>();
    auto second = std::make_shared<Outcome>();
    manager.startServer(recorder(first));
    manager.startServer(recorder(second));
    first->returned = second->returned = true;
    QTRY_VERIFY_WITH_TIMEOUT(first->calls == 1 && second->calls == 1, patienceMs);
    const qint32 one = startedPid(*first);
    const qint32 two = startedPid(*second);
    QVERIFY(one > 0 && two > 0 && one != two);
    QVERIFY(first->onMainThread && second->onMainThread && first->afterReturn && second->afterReturn);
    QTest::qWait(200);
    QCOMPARE(first->calls + second->calls, 2);
}

void ServerOperationsTest::exitingServerIsSeenStopped()
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

void ServerOperationsTest::stopOutcomes_data()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QString>("message");
    QTest::newRow("prints, exits 1") << QByteArray("echo 'Server gestoppt (PID 12)'\nexit 1\n")
                                     << "Server gestoppt (PID 12)";
    QTest::newRow("silent") << QByteArray("true\n") << "Server gestoppt";
    QTest::newRow("missing") << QByteArray() << "stop.sh";
}

void ServerOperationsTest::stopOutcomes()
{
    QFETCH(QByteArray, script);
    QFETCH(QString, message);
    if (script.isEmpty())
        QVERIFY(QFile::remove(root() + "/stop.sh"));
    else
        write("stop.sh", script);
    ServerManager manager(config());
    manager.setServerPID(qint32(getpid()));
    const auto outcome = await([&](auto done) { manager.stopServer(done); });
    QCOMPARE(outcome->success, true);
    // A missing script: bash's own complaint, which names it.
    if (script.isEmpty())
        QVERIFY2(outcome->message.contains(message), qPrintable(outcome->message));
    else
        QCOMPARE(outcome->message, message);
    QCOMPARE(manager.serverPID(), std::nullopt);
    QVERIFY(!QFile::exists(root() + "/lsof-calls"));
}

void ServerOperationsTest::stopWhenBashCannotStart()
{
    ServerManager::Config missingRoot = config();
    missingRoot.projectRoot = [path = root() + "/fehlt"] { return path; };
    ServerManager freePortManager(missingRoot);
    auto outcome = await([&](auto done) { freePortManager.stopServer(done); });
    QCOMPARE(outcome->success, true);
    QVERIFY2(outcome->message.contains("chdir"), qPrintable(outcome->message));

    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress::LocalHost, 0));
    missingRoot.port = holder.serverPort();
    ServerManager busyManager(missingRoot);
    outcome = await([&](auto done) { busyManager.stopServer(done); });
    QCOMPARE(outcome->success, false);
    QVERIFY(outcome->message.contains("chdir"));
}

void ServerOperationsTest::stopLeavesTheServerToTheNextRefresh()
{
    ChildProcess listener;
    ServerManager::Config withServer = config();
    withServer.port = startListener(listener);
    QVERIFY(withServer.port != 0);
    ServerManager manager(withServer);
    manager.setServerPID(qint32(listener.processId()));
    const auto outcome = await([&](auto done) { manager.stopServer(done); });
    QCOMPARE(outcome->success, true);
    QCOMPARE(manager.serverPID(), std::nullopt);
    manager.refreshStatus();
    QCOMPARE(manager.serverPID(), std::optional<qint32>(listener.processId()));
}

void ServerOperationsTest::restartReportsTheStart()
{
    write("stop.sh", "echo gestoppt >> stop-runs\necho STOPP-MELDUNG\n");
    write("generate_buchhaltung.py", "import sys\nprint('GEN-FEHLER')\nsys.exit(1)\n");
    ServerManager manager(config());
    auto outcome = await([&](auto done) { manager.restartServer(done); });
    QCOMPARE(outcome->success, false);
    QCOMPARE(outcome->message, QStringLiteral("GEN-FEHLER"));

    write("generate_buchhaltung.py", "print('ok')\n");
    QFile::remove(root() + "/stop-runs");
    outcome = await([&](auto done) { manager.restartServer(done); });
    const qint32 pid = startedPid(*outcome);
    QVERIFY2(pid > 0, qPrintable(outcome->message));
    QCOMPARE(manager.serverPID(), std::optional<qint32>(pid));
    // Once for the stop, once more as the start's first step.
    QCOMPARE(readFile(root() + "/stop-runs"), QByteArray("gestoppt\ngestoppt\n"));
}

void ServerOperationsTest::regenerate()
{
    ServerManager manager(config());
    manager.setServerPID(4242);
    write("generate_buchhaltung.py", "print('Bericht 1')\nprint('Bericht 2')\n");
    auto outcome = await([&](auto done) { manager.regenerateReports(done); });
    QCOMPARE(outcome->success, true);
    QCOMPARE(outcome->message, QStringLiteral("Berichte neu generiert"));
    QCOMPARE(manager.lastLogLine(), QStringLiteral("Bericht 2"));
    QCOMPARE(manager.serverPID(), std::optional<qint32>(4242));

    write("generate_buchhaltung.py", "import sys\nsys.exit(4)\n");
    outcome = await([&](auto done) { manager.regenerateReports(done); });
    QCOMPARE(outcome->success, false);
    QCOMPARE(outcome->message, QString());

    // A long report comes back whole.
    write("generate_buchhaltung.py", "import sys\nfor i in range(5000): print('Fehler in Zeile', i)\nsys.exit(1)\n");
    outcome = await([&](auto done) { manager.regenerateReports(done); });
    QCOMPARE(outcome->message.count('\n'), 4999);
    QVERIFY(outcome->message.startsWith("Fehler in Zeile 0\n") && outcome->message.endsWith("Zeile 4999"));

    // The interpreter cannot start in a missing root: the last log line stays.
    ServerManager::Config missingRoot = config();
    missingRoot.projectRoot = [path = root() + "/fehlt"] { return path; };
    ServerManager elsewhere(missingRoot);
    elsewhere.setLastLogLine(QStringLiteral("vorher"));
    outcome = await([&](auto done) { elsewhere.regenerateReports(done); });
    QCOMPARE(outcome->success, false);
    QCOMPARE(elsewhere.lastLogLine(), QStringLiteral("vorher"));
}

void ServerOperationsTest::operationsRunSideBySide()
{
    // Each generator waits until all of them have started; run one after
    // another (or two at a time) they would give up.
    constexpr int count = 4;
    write("generate_buchhaltung.py",
          "import os, sys, time\n"
          "open('arrived-%d' % os.getpid(), 'w').close()\n"
          "deadline = time.time() + 15\n"
          "while len([n for n in os.listdir('.') if n.startswith('arrived-')]) < " + QByteArray::number(count) + ":\n"
          "    if time.time() > deadline: print('allein'); sys.exit(1)\n"
          "    time.sleep(0.05)\n");
    ServerManager manager(config());
    QList<std::shared_ptr<Outcome>> outcomes;
    for (int i = 0; i < count; ++i) {
        outcomes.append(std::make_shared<Outcome>());
        manager.regenerateReports(recorder(outcomes.constLast()));
    }
    for (const auto &outcome : std::as_const(outcomes)) {
        QTRY_COMPARE_WITH_TIMEOUT(outcome->calls, 1, patienceMs);
        QCOMPARE(outcome->message, QStringLiteral("Berichte neu generiert"));
    }
}

void ServerOperationsTest::foldersAndDashboard()
{
    ServerManager::Config nested = config();
    const QString projectRoot = root() + "/neu/projekt";
    nested.projectRoot = [projectRoot] { return projectRoot; };
    ServerManager manager(nested);

    // Without an opener the folders are still made.
    manager.openLogsFolder();
    QVERIFY(QFileInfo(projectRoot + "/logs").isDir());

    QList<QUrl> opened;
    manager.setUrlOpener([&opened](const QUrl &url) { opened.append(url); });
    manager.openBelegeFolder();
    QVERIFY(writeFile(projectRoot + "/Belege-Upload/beleg.pdf", "%PDF"));
    manager.openBelegeFolder();
    manager.openLogsFolder();
    manager.openDashboard();
    const QUrl belege = QUrl::fromLocalFile(projectRoot + "/Belege-Upload");
    QCOMPARE(opened, (QList<QUrl>{belege, belege, QUrl::fromLocalFile(projectRoot + "/logs"),
                                  QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(nested.port))}));
    QCOMPARE(readFile(projectRoot + "/Belege-Upload/beleg.pdf"), QByteArray("%PDF"));
}

void ServerOperationsTest::shippedProjectEndToEnd()
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

QTEST_GUILESS_MAIN(ServerOperationsTest)
#include "tst_serveroperations.moc"
