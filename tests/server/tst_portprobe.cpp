#include "server/PortProbe.h"
#include "server/ServerManager.h"
#include "ServerTestSupport.h"

#include <unistd.h>

using namespace ServerTestSupport;

class PortProbeTest : public QObject
{
    Q_OBJECT

private slots:
    void parsesOnlyAStrictFirstLine_data()
    {
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<std::optional<qint32>>("pid");
        using P = std::optional<qint32>;
        QTest::newRow("first of two") << QByteArray("12\n34\n") << P(12);
        QTest::newRow("blank around") << QByteArray(" \n\t 99 \r\n\n") << P(99);
        QTest::newRow("plus") << QByteArray("+7") << P(7);
        QTest::newRow("max") << QByteArray("2147483647") << P(2147483647);
        QTest::newRow("min") << QByteArray("-2147483648") << P(std::numeric_limits<qint32>::min());
        QTest::newRow("empty") << QByteArray() << P();
        QTest::newRow("letter, valid second line") << QByteArray("12a\n34\n") << P();
        QTest::newRow("carriage return inside") << QByteArray("12\r\n34") << P();
        QTest::newRow("lone sign") << QByteArray("+\n5") << P();
        QTest::newRow("above max") << QByteArray("2147483648") << P();
        QTest::newRow("below min") << QByteArray("-2147483649") << P();
        QTest::newRow("not UTF-8") << QByteArray("12\xff\n") << P();
        QTest::newRow("other digits") << QByteArray("\xd9\xa1\xd9\xa2") << P();
    }

    void parsesOnlyAStrictFirstLine()
    {
        QFETCH(QByteArray, output);
        QFETCH(std::optional<qint32>, pid);
        QCOMPARE(PortProbe::parsePid(output), pid);
    }

    void liveness()
    {
        QVERIFY(PortProbe::isAlive(qint32(getpid())));
        // kill() with these addresses process groups, which as root "succeeds".
        QVERIFY(!PortProbe::isAlive(0));
        QVERIFY(!PortProbe::isAlive(-1));
        if (geteuid() == 0)
            QSKIP("as root every process may be signalled; a foreign process cannot be tested");
        QVERIFY(!PortProbe::isAlive(1));
    }

    void statusFollowsTheListener()
    {
        ChildProcess listener;
        ServerManager::Config config;
        config.port = startListener(listener);
        QVERIFY(config.port != 0);
        // A connection from this process, older than the listener: lsof asked
        // for any socket on the port would name us first.
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, quint16(config.port));
        QVERIFY(client.waitForConnected(patienceMs));

        ServerManager::Config noLsof = config;
        noLsof.lsofPath = QStringLiteral("/nonexistent/lsof");
        QVERIFY(!ServerManager(noLsof).isRunning());

        // A server started elsewhere is adopted from the port.
        ServerManager manager(config);
        QVERIFY(manager.isRunning());
        QCOMPARE(manager.serverPID(), std::nullopt);
        manager.refreshStatus();
        QCOMPARE(manager.serverPID(), std::optional<qint32>(listener.processId()));

        // Once it is gone, our connection does not keep the status at running.
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
};

QTEST_GUILESS_MAIN(PortProbeTest)
#include "tst_portprobe.moc"
