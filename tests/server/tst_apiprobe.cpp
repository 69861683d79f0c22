#include "server/ServerManager.h"
#include "ServerTestSupport.h"

using namespace ServerTestSupport;

namespace {

QByteArray answer(const QByteArray &status, const QByteArray &body, qsizetype declaredLength = -1)
{
    return "HTTP/1.1 " + status + "\r\nContent-Length: "
        + QByteArray::number(declaredLength < 0 ? body.size() : declaredLength)
        + "\r\nConnection: close\r\n\r\n" + body;
}

// The version as an outcome: success when present, the body as message.
std::shared_ptr<Outcome> probe(quint16 port)
{
    ServerManager::Config config;
    config.port = port;
    config.apiTimeoutMs = 2000;
    ServerManager manager(config);
    return await([&](const ServerManager::Completion &done) {
        manager.fetchAPIVersion([done](const std::optional<QString> &version) {
            done(version.has_value(), version.value_or(QString()));
        });
    });
}

} // namespace

class ApiProbeTest : public QObject
{
    Q_OBJECT

private slots:
    void answers_data()
    {
        QTest::addColumn<QByteArray>("response");
        QTest::addColumn<bool>("present");
        QTest::addColumn<QString>("version");
        QTest::newRow("200, trailing line break") << answer("200 OK", "{\"api\": 5}\n") << true << "{\"api\": 5}\n";
        QTest::newRow("200, umlaut") << answer("200 OK", "Größe") << true << QStringLiteral("Größe");
        QTest::newRow("200, empty") << answer("200 OK", "") << true << "";
        QTest::newRow("200, not UTF-8") << answer("200 OK", "v\xff\xfe") << true << "OK";
        QTest::newRow("200, cut off") << answer("200 OK", "v5", 10) << false << "";
        QTest::newRow("204") << answer("204 No Content", "") << false << "";
        QTest::newRow("404") << answer("404 Not Found", "v5") << false << "";
        // Accepts and never answers: the request's own timeout ends it.
        QTest::newRow("silent") << QByteArray() << false << "";
    }

    void answers()
    {
        QFETCH(QByteArray, response);
        QFETCH(bool, present);
        QFETCH(QString, version);
        HttpResponder responder(response);
        QVERIFY(responder.listen());
        const auto outcome = probe(responder.port());
        QCOMPARE(outcome->success, present);
        QCOMPARE(outcome->message, version);
        QVERIFY2(responder.received().startsWith("GET /api/version HTTP/1.1\r\n"), responder.received());
    }
};

QTEST_GUILESS_MAIN(ApiProbeTest)
#include "tst_apiprobe.moc"
