// Prints medians for the server control, measured on the calling thread:
//   - refreshStatus() with a recorded process and without, nothing listening,
//   - with a recorded server listening (its holder known from the update
//     before), and with a listener whose holder must be looked for,
//   - with lsof alone, and the kernel's two ways of listing listeners,
//   - startServer until the shipped project's server answers "/api/version";
//   - the CPU time (all threads) of one version probe against that server,
//     which every update makes while the server runs.
// Usage: bench_server [shipped-project-folder] [start-runs]

#include "platform/linux/KernelSockets.h"
#include "server/ServerManager.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QHostAddress>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

#include <ctime>
#include <unistd.h>

namespace {

double median(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    const size_t middle = samples.size() / 2;
    return samples.size() % 2 ? samples[middle] : (samples[middle - 1] + samples[middle]) / 2;
}

// Milliseconds per call of the step, one sample per run.
std::vector<double> timeEach(int runs, const std::function<void()> &prepare, const std::function<void()> &step)
{
    std::vector<double> samples;
    QElapsedTimer timer;
    for (int i = 0; i < runs; ++i) {
        prepare();
        timer.start();
        step();
        samples.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    return samples;
}

bool waitFor(const std::function<bool()> &condition, int ms = 30000)
{
    QDeadlineTimer deadline(ms);
    while (!condition() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return condition();
}

quint16 freePort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

void report(const char *what, const std::vector<double> &samples)
{
    std::printf("%-58s median %10.4f ms  (min %.4f, max %.4f, %zu runs)\n", what, median(samples),
                *std::min_element(samples.begin(), samples.end()), *std::max_element(samples.begin(), samples.end()),
                samples.size());
}

double processCpuMs()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

// CPU time per version probe, one sample per probe, the answer awaited.
std::vector<double> probeCpu(ServerManager &manager, int runs)
{
    std::vector<double> samples;
    for (int i = 0; i < runs; ++i) {
        // Blocked in the event loop meanwhile, as the program is.
        QEventLoop loop;
        const double before = processCpuMs();
        manager.fetchAPIVersion([&](const std::optional<QString> &) { loop.quit(); });
        loop.exec();
        samples.push_back(processCpuMs() - before);
    }
    return samples;
}

// Starts the server, waits for the answer to "/api/version", stops it again;
// meanwhile fills `probes` with the CPU time of version probes, if given.
std::optional<double> startUntilAnswer(ServerManager &manager, std::vector<double> *probes = nullptr)
{
    QElapsedTimer timer;
    timer.start();
    std::optional<bool> started;
    manager.startServer([&](const OperationOutcome &outcome) {
        started = outcome.success();
        if (!outcome.success())
            std::fprintf(stderr, "start failed: outcome %d\n", int(outcome.kind));
    });
    if (!waitFor([&] { return started.has_value(); }) || !*started)
        return std::nullopt;
    bool answered = false;
    while (!answered && timer.elapsed() < 30000) {
        bool done = false;
        manager.fetchAPIVersion([&](const std::optional<QString> &version) {
            answered = version.has_value();
            done = true;
        });
        waitFor([&] { return done; });
    }
    const double elapsed = double(timer.nsecsElapsed()) / 1e6;
    if (answered && probes)
        *probes = probeCpu(manager, 200);

    bool stopped = false;
    manager.stopServer([&](const OperationOutcome &) { stopped = true; });
    waitFor([&] { return stopped; });
    waitFor([&] { return !manager.isRunning(); });
    if (!answered)
        return std::nullopt;
    return elapsed;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    const QString shipped = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(HARLUNE_SHIPPED_PROJECT);
    const int startRuns = argc > 2 ? std::max(1, atoi(argv[2])) : 7;

    const quint16 freePortNow = freePort();
    ServerManager::Config config;
    config.port = freePortNow;
    ServerManager status(config);
    report("refreshStatus per update, recorded process, nothing listening",
           timeEach(
                   2000, [&] { status.setServerPID(qint32(getpid())); }, [&] { status.refreshStatus(); }));
    report("refreshStatus per update, nothing listening",
           timeEach(
                   2000, [&] { status.setServerPID(std::nullopt); }, [&] { status.refreshStatus(); }));
    // Two listeners of this process: asking about the other one in between
    // makes the probe look for the holder afresh.
    QTcpServer listener, other;
    listener.listen(QHostAddress::LocalHost, 0);
    other.listen(QHostAddress::LocalHost, 0);
    config.port = listener.serverPort();
    ServerManager held(config);
    config.port = other.serverPort();
    ServerManager elsewhere(config);
    report("refreshStatus per update, live recorded server listening",
           timeEach(
                   2000, [&] { held.setServerPID(qint32(getpid())); }, [&] { held.refreshStatus(); }));
    report("refreshStatus, a new listener to adopt (process scan)",
           timeEach(
                   200,
                   [&] {
                       held.setServerPID(std::nullopt);
                       elsewhere.isRunning();
                   },
                   [&] { held.refreshStatus(); }));
    config.port = freePortNow;
    config.procFolder = QStringLiteral("/nonexistent");
    ServerManager lsofAlone(config);
    report("refreshStatus, nothing listening, lsof alone",
           timeEach(
                   50, [] {}, [&] { lsofAlone.refreshStatus(); }));
    report("the listener 127.0.0.1 reaches, from netlink (sock_diag)",
           timeEach(
                   2000, [] {}, [&] { KernelSockets::loopbackListener(freePortNow); }));
    report("listeners from /proc/net/tcp and tcp6",
           timeEach(
                   200, [] {}, [&] { KernelSockets::listeningInodes(QByteArrayLiteral("/proc"), freePortNow); }));

    // A copy of the shipped project on a free port, which the start hands
    // on to the server it launches.
    QTemporaryDir dir;
    const QString root = dir.filePath(QStringLiteral("buchhaltung"));
    QProcess copy;
    copy.start(QStringLiteral("/bin/cp"), {QStringLiteral("-R"), shipped, root});
    if (!copy.waitForFinished() || copy.exitCode() != 0) {
        std::fprintf(stderr, "cannot copy %s\n", qPrintable(shipped));
        return 1;
    }
    ServerManager::Config startConfig;
    startConfig.port = freePort();
    startConfig.projectRoot = [root] { return root; };
    qunsetenv("HARLUNE_AUTH");
    ServerManager manager(startConfig);

    std::vector<double> starts;
    std::vector<double> probes;
    for (int i = 0; i < startRuns; ++i) {
        const std::optional<double> elapsed = startUntilAnswer(manager, i == 0 ? &probes : nullptr);
        if (!elapsed) {
            std::fprintf(stderr, "run %d: the server did not answer /api/version\n", i + 1);
            return 1;
        }
        starts.push_back(*elapsed);
    }
    report("startServer until /api/version answers (shipped project)", starts);
    report("version probe, CPU time of all threads (shipped server)", probes);
    return 0;
}
