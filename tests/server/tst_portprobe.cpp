#include "server/PortProbe.h"
#include "server/ServerManager.h"
#include "ServerTestSupport.h"

#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

using namespace ServerTestSupport;

class PortProbeTest : public QObject
{
    Q_OBJECT

private slots:
    void parsesOnlyAStrictFirstLine_data();
    void parsesOnlyAStrictFirstLine();
    void findsTheListenerNotAnEarlierClient();
    void absentWithoutListenerOrLsof();
    void liveness();
    void statusFollowsTheServer();
    void addresses();
};

void PortProbeTest::parsesOnlyAStrictFirstLine_data()
{
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<std::optional<qint32>>("pid");
    using P = std::optional<qint32>;
    QTest::newRow("one") << QByteArray("4711\n") << P(4711);
    QTest::newRow("first of two") << QByteArray("12\n34\n") << P(12);
    QTest::newRow("blank around") << QByteArray(" \n\t 99 \r\n\n") << P(99);
    QTest::newRow("plus") << QByteArray("+7") << P(7);
    QTest::newRow("minus") << QByteArray("-7") << P(-7);
    QTest::newRow("max") << QByteArray("2147483647") << P(2147483647);
    QTest::newRow("min") << QByteArray("-2147483648") << P(std::numeric_limits<qint32>::min());
    QTest::newRow("empty") << QByteArray() << P();
    QTest::newRow("letter, valid second line") << QByteArray("12a\n34\n") << P();
    QTest::newRow("space inside") << QByteArray("12 34\n") << P();
    QTest::newRow("carriage return inside") << QByteArray("12\r\n34") << P();
    QTest::newRow("lone sign") << QByteArray("+\n5") << P();
    QTest::newRow("above max") << QByteArray("2147483648") << P();
    QTest::newRow("below min") << QByteArray("-2147483649") << P();
    QTest::newRow("not UTF-8") << QByteArray("12\xff\n") << P();
    QTest::newRow("other digits") << QByteArray("\xd9\xa1\xd9\xa2") << P();
}

void PortProbeTest::parsesOnlyAStrictFirstLine()
{
    QFETCH(QByteArray, output);
    QFETCH(std::optional<qint32>, pid);
    QCOMPARE(PortProbe::parsePid(output), pid);
}

void PortProbeTest::findsTheListenerNotAnEarlierClient()
{
    // The client starts first, so it has the lower identifier, waits for the
    // port and then holds a connection to it.
    QTemporaryDir dir;
    const QString portFile = dir.filePath(QStringLiteral("port"));
    ChildProcess client;
    client.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral("-c"), QStringLiteral(
        "import os, socket, sys, time\n"
        "while not os.path.exists(sys.argv[1]) or not open(sys.argv[1]).read().strip(): time.sleep(0.02)\n"
        "c = socket.create_connection(('127.0.0.1', int(open(sys.argv[1]).read())))\n"
        "print('connected', flush=True)\n"
        "time.sleep(120)\n"), portFile});
    QVERIFY(client.waitForStarted());
    ChildProcess listener;
    const quint16 port = startListener(listener);
    QVERIFY(port != 0);
    QVERIFY(writeFile(portFile, QByteArray::number(port)));
    QVERIFY(client.waitForReadyRead(patienceMs));
    if (client.processId() > listener.processId())
        QSKIP("process identifiers wrapped around between the two starts");

    // Asked for every socket on the port, lsof names the client first.
    QProcess anySocket;
    anySocket.start(QStringLiteral("/usr/bin/lsof"), {QStringLiteral("-ti"), QStringLiteral(":%1").arg(port)});
    QVERIFY(anySocket.waitForFinished(patienceMs));
    QCOMPARE(PortProbe::parsePid(anySocket.readAllStandardOutput()), std::optional<qint32>(client.processId()));

    QCOMPARE(PortProbe::listenerPid(QStringLiteral("/usr/bin/lsof"), port),
             std::optional<qint32>(listener.processId()));
}

void PortProbeTest::absentWithoutListenerOrLsof()
{
    QCOMPARE(PortProbe::listenerPid(QStringLiteral("/usr/bin/lsof"), freePort()), std::nullopt);

    ChildProcess listener;
    const quint16 port = startListener(listener);
    QVERIFY(port != 0);
    QCOMPARE(PortProbe::listenerPid(QStringLiteral("/nonexistent/lsof"), port), std::nullopt);
}

void PortProbeTest::liveness()
{
    QProcess child;
    child.start(QStringLiteral("/usr/bin/true"), {});
    QVERIFY(child.waitForStarted());
    const qint32 pid = qint32(child.processId());
    QVERIFY(child.waitForFinished());
    QVERIFY(!PortProbe::isAlive(pid));

    QVERIFY(PortProbe::isAlive(qint32(getpid())));
    QVERIFY(PortProbe::isAlive(1));
    // kill() with these addresses process groups, which as root "succeeds".
    QVERIFY(!PortProbe::isAlive(0));
    QVERIFY(!PortProbe::isAlive(-1));

    if (geteuid() == 0)
        QSKIP("as root every process may be signalled; a foreign process cannot be tested");
    QVERIFY(!PortProbe::isAlive(1));
}

void PortProbeTest::statusFollowsTheServer()
{
    ChildProcess listener;
    ServerManager::Config config;
    config.port = startListener(listener);
    QVERIFY(config.port != 0);
    ServerManager manager(config);

    // A server started elsewhere is adopted from the port.
    QVERIFY(manager.isRunning());
    QCOMPARE(manager.serverPID(), std::nullopt);
    manager.refreshStatus();
    QCOMPARE(manager.serverPID(), std::optional<qint32>(listener.processId()));

    // A connection of our own stays open to it; once the listener is gone
    // the status must not cling to that client.
    QTcpSocket keepAlive;
    keepAlive.connectToHost(QHostAddress::LocalHost, quint16(config.port));
    QVERIFY(keepAlive.waitForConnected(patienceMs));
    listener.kill();
    QVERIFY(listener.waitForFinished());
    manager.refreshStatus();
    QCOMPARE(manager.serverPID(), std::nullopt);
    QVERIFY(!manager.isRunning());

    // A live recorded process is trusted without asking the port.
    manager.setServerPID(qint32(getpid()));
    QVERIFY(manager.isRunning());
    manager.refreshStatus();
    QCOMPARE(manager.serverPID(), std::optional<qint32>(getpid()));
}

void PortProbeTest::addresses()
{
    ServerManager &shared = ServerManager::shared();
    QCOMPARE(shared.port(), 8765);
    QCOMPARE(shared.baseAddress(), QStringLiteral("http://127.0.0.1:8765"));
    QCOMPARE(shared.dashboardUrl().toString(), QStringLiteral("http://127.0.0.1:8765/"));
    QCOMPARE(shared.apiVersionUrl().toString(), QStringLiteral("http://127.0.0.1:8765/api/version"));
}

QTEST_GUILESS_MAIN(PortProbeTest)
#include "tst_portprobe.moc"
