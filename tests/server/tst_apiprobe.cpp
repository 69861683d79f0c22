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
        // Announces a gigabyte: read up to the limit, and an answer all the same.
        QTest::newRow("200, larger than the limit") << answer("200 OK", QByteArray(1 << 20, 'v'), 1 << 30) << true
                                                    << QString(64 * 1024, 'v');
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
        ServerManager::Config config;
        config.port = responder.port();
        config.apiTimeoutMs = 2000;
        ServerManager manager(config);
        const auto outcome = await([&](auto done) { manager.fetchAPIVersion(done); });
        QCOMPARE(outcome->version, present ? std::optional<QString>(version) : std::nullopt);
        QVERIFY2(responder.received().startsWith("GET /api/version HTTP/1.1\r\n"), responder.received());
    }
};

// Then across the application's end: a request still in flight when the
// application object goes must neither crash nor answer later, and without
// an application the absent answer comes at once.
int main(int argc, char **argv)
{
    QList<std::optional<QString>> answers;
    const auto record = [&](const std::optional<QString> &version) { answers.append(version); };
    auto application = std::make_unique<QCoreApplication>(argc, argv);
    ApiProbeTest test;
    int failures = QTest::qExec(&test, argc, argv);
    auto silent = std::make_unique<HttpResponder>(QByteArray());
    ServerManager::Config config;
    config.port = silent->listen() ? silent->port() : 0;
    ServerManager manager(config);
    manager.fetchAPIVersion(record);
    failures += !QTest::qWaitFor([&] { return silent->received().endsWith("\r\n\r\n"); }, patienceMs);
    silent.reset();
    application.reset();
    failures += !answers.isEmpty();
    manager.fetchAPIVersion(record);
    failures += answers != QList<std::optional<QString>>{std::nullopt};
    std::fprintf(stderr, "%d failure(s) in all\n", failures);
    return failures;
}

#include "tst_apiprobe.moc"
