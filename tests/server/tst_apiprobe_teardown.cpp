// The version probe across the application's end: a request still in flight
// when the application object goes must neither crash nor answer later, and
// without an application the absent answer comes at once.

#include "server/ServerManager.h"
#include "ServerTestSupport.h"

#include <cstdio>

int main(int argc, char **argv)
{
    int failures = 0;
    const auto check = [&failures](bool condition, const char *what) {
        if (!condition)
            std::fprintf(stderr, "FAIL: %s\n", what);
        failures += condition ? 0 : 1;
    };
    int calls = 0;
    std::optional<QString> last = QStringLiteral("nie gefragt");
    const auto record = [&](const std::optional<QString> &version) {
        ++calls;
        last = version;
    };

    auto application = std::make_unique<QCoreApplication>(argc, argv);
    auto silent = std::make_unique<ServerTestSupport::HttpResponder>(QByteArray());
    check(silent->listen(), "silent server listens");
    ServerManager::Config config;
    config.port = silent->port();
    ServerManager manager(config);
    manager.fetchAPIVersion(record);
    check(QTest::qWaitFor([&] { return silent->received().endsWith("\r\n\r\n"); }, ServerTestSupport::patienceMs),
          "request reaches the silent server");
    silent.reset();
    application.reset();
    check(calls == 0, "no answer while the application goes away");

    manager.fetchAPIVersion(record);
    check(calls == 1 && !last.has_value(), "without an application the answer is absent, at once");
    std::fprintf(stderr, failures ? "%d check(s) failed\n" : "all checks passed\n", failures);
    return failures ? 1 : 0;
}
