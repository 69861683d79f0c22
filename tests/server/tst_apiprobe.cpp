#include "server/ServerManager.h"
#include "HttpResponder.h"
#include "ServerTestSupport.h"

#include <QtTest>

using namespace ServerTestSupport;

namespace {

QByteArray answer(const QByteArray &status, const QByteArray &body, qsizetype declaredLength = -1)
{
    return "HTTP/1.1 " + status + "\r\nContent-Type: text/plain\r\nContent-Length: "
        + QByteArray::number(declaredLength < 0 ? body.size() : declaredLength)
        + "\r\nConnection: close\r\n\r\n" + body;
}

struct VersionOutcome
{
    int calls = 0;
    std::optional<QString> version;
    bool onMainThread = true;
    bool afterReturn = true;
    bool returned = false;
};

// Asks once and waits for the single answer.
std::shared_ptr<VersionOutcome> probe(ServerManager &manager)
{
    auto outcome = std::make_shared<VersionOutcome>();
    manager.fetchAPIVersion([outcome](const std::optional<QString> &version) {
        ++outcome->calls;
        outcome->version = version;
        outcome->onMainThread &= QThread::currentThread() == QCoreApplication::instance()->thread();
        outcome->afterReturn &= outcome->returned;
    });
    outcome->returned = true;
    [&] {
        QTRY_COMPARE_WITH_TIMEOUT(outcome->calls, 1, patienceMs);
        QVERIFY(outcome->onMainThread);
        QVERIFY(outcome->afterReturn);
    }();
    return outcome;
}

ServerManager::Config configFor(quint16 port, int timeoutMs = 30000)
{
    ServerManager::Config config;
    config.port = port;
    config.apiTimeoutMs = timeoutMs;
    return config;
}

} // namespace

class ApiProbeTest : public QObject
{
    Q_OBJECT

private slots:
    void answers_data();
    void answers();
    void nothingListening();
    void silentServerTimesOut();
};

void ApiProbeTest::answers_data()
{
    QTest::addColumn<QByteArray>("response");
    QTest::addColumn<std::optional<QString>>("version");
    using V = std::optional<QString>;
    QTest::newRow("200, trailing line break") << answer("200 OK", "{\"api\": 5}\n") << V("{\"api\": 5}\n");
    QTest::newRow("200, umlaut") << answer("200 OK", "Größe") << V(QStringLiteral("Größe"));
    QTest::newRow("200, empty") << answer("200 OK", "") << V(QString(""));
    QTest::newRow("200, not UTF-8") << answer("200 OK", "v\xff\xfe") << V("OK");
    QTest::newRow("200, cut off") << answer("200 OK", "v5", 10) << V();
    QTest::newRow("204") << answer("204 No Content", "") << V();
    QTest::newRow("404") << answer("404 Not Found", "v5") << V();
    QTest::newRow("500") << answer("500 Internal Server Error", "v5") << V();
}

void ApiProbeTest::answers()
{
    QFETCH(QByteArray, response);
    QFETCH(std::optional<QString>, version);
    HttpResponder responder(response);
    QVERIFY(responder.listen());
    ServerManager manager(configFor(responder.port()));
    const auto outcome = probe(manager);
    QCOMPARE(outcome->version, version);
    QVERIFY2(responder.lastRequest().startsWith("GET /api/version HTTP/1.1\r\n"), responder.lastRequest());
}

void ApiProbeTest::nothingListening()
{
    ServerManager manager(configFor(freePort()));
    QCOMPARE(probe(manager)->version, std::nullopt);
}

void ApiProbeTest::silentServerTimesOut()
{
    HttpResponder silent{QByteArray()};
    QVERIFY(silent.listen());
    ServerManager manager(configFor(silent.port(), 300));
    QCOMPARE(probe(manager)->version, std::nullopt);
    QVERIFY(silent.lastRequest().startsWith("GET /api/version"));
}

QTEST_GUILESS_MAIN(ApiProbeTest)
#include "tst_apiprobe.moc"
