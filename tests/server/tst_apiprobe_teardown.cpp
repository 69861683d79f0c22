// The version probe across the application's end: a request still in flight
// when the application object goes must neither crash nor answer later; with
// no application the answer comes at once; a new application gets a new
// network manager.

#include "server/ServerManager.h"
#include "HttpResponder.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <cstdio>
#include <memory>

namespace {

int failures = 0;

void check(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "FAIL: %s\n", what);
        ++failures;
    }
}

template<typename Condition>
bool waitFor(Condition condition)
{
    QDeadlineTimer deadline(20000);
    while (!condition() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    return condition();
}

} // namespace

int main(int argc, char **argv)
{
    int calls = 0;
    std::optional<QString> last;
    const auto record = [&](const std::optional<QString> &version) {
        ++calls;
        last = version;
    };

    auto application = std::make_unique<QCoreApplication>(argc, argv);
    auto silent = std::make_unique<HttpResponder>(QByteArray());
    check(silent->listen(), "silent server listens");
    ServerManager::Config config;
    config.port = silent->port();
    ServerManager manager(config);

    manager.fetchAPIVersion(record);
    check(waitFor([&] { return !silent->lastRequest().isEmpty(); }), "request reaches the silent server");
    silent.reset();
    application.reset();
    check(calls == 0, "no answer while the application goes away");

    manager.fetchAPIVersion(record);
    check(calls == 1 && !last.has_value(), "without an application the answer is absent, at once");

    application = std::make_unique<QCoreApplication>(argc, argv);
    HttpResponder answering("HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nv5");
    if (answering.listen(quint16(config.port))) {
        manager.fetchAPIVersion(record);
        check(waitFor([&] { return calls == 2; }), "a new application gets an answer");
        check(last == std::optional<QString>("v5"), "the answer is the body");
    } else {
        std::fprintf(stderr, "SKIP: port %lld taken meanwhile\n", config.port);
    }
    application.reset();

    std::fprintf(stderr, failures ? "%d check(s) failed\n" : "all checks passed\n", failures);
    return failures ? 1 : 0;
}
