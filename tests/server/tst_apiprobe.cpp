#include "ServerTestSupport.h"
#include "server/ApiProbe.h"
#include "server/ServerManager.h"
#include "server/StatusModel.h"

using namespace ServerTestSupport;
using namespace Qt::StringLiterals;

namespace {

using State = ApiProbe::Response::State;
constexpr int limit = 64 * 1024;

QByteArray answer(const QByteArray &status, const QByteArray &body, qsizetype declaredLength = -1,
                  const QByteArray &connection = "close")
{
    return "HTTP/1.1 " + status
            + "\r\nContent-Length: " + QByteArray::number(declaredLength < 0 ? body.size() : declaredLength)
            + "\r\nConnection: " + connection + "\r\n\r\n" + body;
}

const QByteArray chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                           "4;ext=1\r\n{\"ap\r\n6\r\ni\": 5}\r\n0\r\nX-Trailer: 1\r\n\r\n";

ServerManager::Config configFor(const HttpResponder &responder)
{
    ServerManager::Config config;
    config.port = responder.port();
    config.apiTimeoutMs = 2000;
    return config;
}

} // namespace

class ApiProbeTest : public QObject
{
    Q_OBJECT

private slots:
    // The answer read whole and in every two pieces; `closed`: the peer
    // closes after the bytes.
    void readsAnswers_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("closed");
        QTest::addColumn<int>("state");
        QTest::addColumn<std::optional<QString>>("version");
        QTest::addColumn<bool>("reusable");
        using V = std::optional<QString>;
        const auto row = [](const char *name, const QByteArray &bytes, bool closed, State state, V version,
                            bool reusable) {
            QTest::newRow(name) << bytes << closed << int(state) << version << reusable;
        };
        const QByteArray large(limit + 1, 'v');
        const V first = QString(limit, u'v'); // longer than the limit: its first 64 KiB, however it is framed
        const auto interim = [](int times) { return QByteArray("HTTP/1.1 100 Continue\r\n\r\n").repeated(times); };
        const State done = State::Complete, broken = State::Broken;
        // clang-format off
        row("kept alive", answer("200 OK", "{\"api\": 5}\n", -1, "keep-alive"), false, done, u"{\"api\": 5}\n"_s, true);
        row("umlaut, lone line feeds", "HTTP/1.1 200 OK\nContent-Length: 7\n\nGröße", false, done, u"Größe"_s, true);
        row("not UTF-8, 1.0 closes", "HTTP/1.0 200 OK\r\nContent-Length: 3\r\n\r\nv\xff\xfe", false, done, u"OK"_s, false);
        row("empty", answer("200 OK", ""), false, done, u""_s, false);
        row("until closed", "HTTP/1.1 200 OK\r\n\r\nv5", true, done, u"v5"_s, false);
        row("chunked, trailer", chunked, false, done, u"{\"api\": 5}"_s, true);
        row("404", answer("404 Not Found", "v5", -1, "keep-alive"), false, done, V(), true);
        row("bytes beyond the answer", answer("200 OK", "v5", -1, "keep-alive") + "HTTP", false, done, u"v5"_s, false);
        row("cut off", answer("200 OK", "v5", 10), true, broken, V(), false);
        row("chunk cut off", chunked.left(chunked.indexOf("0\r\n")), true, broken, V(), false);
        row("framed twice", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nTransfer-Encoding: chunked\r\n\r\n", false, broken, V(), false);
        row("compressed", "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n", false, broken, V(), false);
        row("two lengths", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\n", false, broken, V(), false);
        row("not HTTP", "SSH-2.0-OpenSSH\r\n\r\n", false, broken, V(), false);
        row("head without end", "HTTP/1.1 200 OK\r\nX: " + QByteArray(9000, 'x'), false, broken, V(), false);
        // A few interim answers are passed over; a flood of them, or of
        // short header lines, is no answer of the report server's.
        row("interim answers, a few", interim(4) + answer("200 OK", "v5"), false, done, u"v5"_s, false);
        row("interim answers, a flood", interim(5) + answer("200 OK", "v5"), false, broken, V(), false);
        row("short header lines, a flood", "HTTP/1.1 200 OK\r\n" + QByteArray("X: y\r\n").repeated(4000), false, broken, V(), false);
        row("declared larger", answer("200 OK", large.left(limit), 1 << 30), false, done, first, false);
        row("larger until closed", "HTTP/1.1 200 OK\r\n\r\n" + large, false, done, first, false);
        row("larger in chunks", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + QByteArray::number(limit + 1, 16) + "\r\n" + large, false, done, first, false);
        // clang-format on
    }

    void readsAnswers()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, closed);
        QFETCH(int, state);
        QFETCH(std::optional<QString>, version);
        QFETCH(bool, reusable);
        QList<qsizetype> cuts{bytes.size()};
        for (qsizetype cut = 0; cut < bytes.size(); cut += qMax<qsizetype>(1, bytes.size() / 97))
            cuts.append(cut);
        for (const qsizetype cut : cuts) {
            ApiProbe::Response response;
            response.feed(QByteArrayView(bytes).first(cut));
            response.feed(QByteArrayView(bytes).sliced(cut));
            if (closed)
                response.closed();
            QCOMPARE(int(response.state()), state);
            QCOMPARE(response.version(), version);
            QCOMPARE(response.reusable(), reusable);
        }
    }

    // Through the manager, against real sockets.
    void answersOnTheMainThread_data()
    {
        QTest::addColumn<QByteArray>("response");
        QTest::addColumn<std::optional<QString>>("version");
        QTest::newRow("200") << answer("200 OK", "{\"api\": 5}\n") << std::optional(u"{\"api\": 5}\n"_s);
        QTest::newRow("larger than the limit")
                << answer("200 OK", QByteArray(1 << 20, 'v'), 1 << 30) << std::optional(QString(limit, u'v'));
        // Accepts and never answers: the inactivity time-out ends it.
        QTest::newRow("silent") << QByteArray() << std::optional<QString>();
    }

    void answersOnTheMainThread()
    {
        QFETCH(QByteArray, response);
        QFETCH(std::optional<QString>, version);
        HttpResponder responder(response);
        QVERIFY(responder.listen());
        ServerManager manager(configFor(responder));
        QCOMPARE(await([&](auto done) { manager.fetchAPIVersion(done); })->version, version);
        QVERIFY2(responder.received().startsWith("GET /api/version HTTP/1.1\r\nHost: 127.0.0.1:"),
                 responder.received());
    }

    // A server that keeps the head coming a line at a time, never to its
    // end: the request ends at its deadline all the same.
    void requestHasADeadline()
    {
        QTcpServer dripper;
        QVERIFY(dripper.listen(QHostAddress::LocalHost));
        QTimer drip;
        QList<QTcpSocket *> clients;
        connect(&dripper, &QTcpServer::newConnection, [&] {
            clients.append(dripper.nextPendingConnection());
            clients.constLast()->write("HTTP/1.1 200 OK\r\n");
        });
        connect(&drip, &QTimer::timeout, [&] {
            for (QTcpSocket *client : std::as_const(clients))
                client->write("X: y\r\n");
        });
        drip.start(50);
        ServerManager::Config config;
        config.port = dripper.serverPort();
        config.apiTimeoutMs = patienceMs;
        config.apiDeadlineMs = 500;
        ServerManager manager(config);
        QCOMPARE(await([&](auto done) { manager.fetchAPIVersion(done); })->version, std::nullopt);
    }

    // The port changes hands while a connection to its first holder stays
    // open: the next request goes to the new holder, not along the old one.
    void connectionGoesWithThePortsHolder()
    {
        // "A" lets go of its listener after the first connection and serves
        // that one on; "B" serves every connection.
        const QString serve = QStringLiteral(R"(
import socket, sys, threading
def serve(c):
    buf = b''
    while True:
        d = c.recv(4096)
        if not d: return
        buf += d
        while b'\r\n\r\n' in buf:
            buf = buf.split(b'\r\n\r\n', 1)[1]; print('GET', flush=True)
            c.sendall(b'HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\n' + sys.argv[2].encode())
l = socket.create_server(('127.0.0.1', int(sys.argv[1])))
print(l.getsockname()[1], flush=True)
if sys.argv[2] == 'A':
    c = l.accept()[0]; l.close(); print('closed', flush=True); serve(c)
while True: threading.Thread(target=serve, args=(l.accept()[0],), daemon=True).start()
)");
        // Both are this project's server, as the program would adopt it.
        QTemporaryDir project;
        QVERIFY(writeFile(project.filePath(u"serve.py"_s), serve.toUtf8()));
        ChildProcess first, second;
        first.setWorkingDirectory(project.path());
        second.setWorkingDirectory(project.path());
        first.start(u"/usr/bin/python3"_s, {u"serve.py"_s, u"0"_s, u"A"_s});
        QVERIFY(first.waitForReadyRead(patienceMs));
        ServerManager::Config config;
        config.projectRoot = [root = project.path()] { return root; };
        config.port = first.readLine().trimmed().toInt();
        ServerManager manager(config);
        StatusModel &status = manager.status();
        status.setObserved(true);
        QByteArray firstSaid, secondSaid;
        QTRY_VERIFY_WITH_TIMEOUT(status.current().api == ServerStatus::Api::Online
                                         && (firstSaid += first.readAll()).contains("GET"),
                                 patienceMs);
        QTRY_VERIFY_WITH_TIMEOUT((firstSaid += first.readAll()).contains("closed"), patienceMs);
        second.start(u"/usr/bin/python3"_s, {u"serve.py"_s, QString::number(config.port), u"B"_s});
        QVERIFY(second.waitForReadyRead(patienceMs));
        status.requestUpdate();
        QTRY_VERIFY_WITH_TIMEOUT((secondSaid += second.readAll()).contains("GET"), patienceMs);
        QCOMPARE(QByteArray(firstSaid + first.readAll()).count("GET"), 1);
    }

    // One connection for many requests; one the server closed is replaced
    // without a word, also when it closes just as the request goes out.
    void keepsOneConnection()
    {
        HttpResponder responder(answer("200 OK", "v5", -1, "keep-alive"), true);
        QVERIFY(responder.listen());
        ServerManager manager(configFor(responder));
        const auto fetched = [&] { return await([&](auto done) { manager.fetchAPIVersion(done); })->version; };
        const QList<qsizetype> connections{1, 1, 2, 3};
        for (qsizetype request = 0; request < connections.size(); ++request) {
            QCOMPARE(fetched(), std::optional(u"v5"_s));
            QCOMPARE(responder.connections(), connections[request]);
            if (request > 0) // the next request goes out before the client has seen the close
                responder.closeConnections();
        }
        // Asked again while a request is under way: answered with it.
        auto first = std::make_shared<Outcome>();
        manager.fetchAPIVersion(recorder(first));
        QCOMPARE(await([&](auto done) { manager.fetchAPIVersion(done); })->version, std::optional(u"v5"_s));
        QCOMPARE(first->calls, 1);
        QCOMPARE(responder.received().count("GET"), 5);
    }

    // The manager goes while a request waits: the request goes with it,
    // never answered, and lets go of its connection.
    void waitingRequestGoesWithTheManager()
    {
        HttpResponder silent({});
        QVERIFY(silent.listen());
        ServerManager::Config config = configFor(silent);
        config.apiTimeoutMs = config.apiDeadlineMs = 300;
        const auto answered = std::make_shared<bool>(false);
        {
            ServerManager manager(config);
            manager.fetchAPIVersion([answered](const auto &) { *answered = true; });
            QTRY_VERIFY_WITH_TIMEOUT(silent.received().endsWith("\r\n\r\n"), patienceMs);
        }
        QTRY_COMPARE_WITH_TIMEOUT(silent.openConnections(), 0, patienceMs);
        // Well past the request's own time-outs, which would have answered it.
        QVERIFY(!QTest::qWaitFor([&] { return *answered; }, 5 * config.apiTimeoutMs));
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
