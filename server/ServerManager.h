#pragma once

#include "platform/ForegroundActivation.h"
#include "platform/PortStatus.h"
#include "server/Dispatch.h"
#include "server/Outcome.h"
#include "server/ServerConstants.h"
#include "server/ShellResult.h"

#include <QString>
#include <QStringList>
#include <QUrl>
#include <QtGlobal>

#include <functional>
#include <memory>
#include <optional>

class ApiConnection;
class ServerState;
class StatusModel;

// The one object through which the shell controls the local report server.
// The program makes one, in main(), inside the application object's
// lifetime. Long operations run on worker threads of its own and report
// once, on the main thread, through their completion; status queries are
// synchronous. Gone, it has waited for its work in flight.
class ServerManager
{
public:
    // Called exactly once per long operation, on the main thread, always
    // after the operation's own call has returned, with what it did.
    using Completion = std::function<void(const OperationOutcome &outcome)>;
    // The body of a 200 answer to the version request, or nothing.
    using VersionCompletion = std::function<void(const std::optional<QString> &version)>;
    // Hands a URL (web address or folder) to the desktop, to open in front
    // or behind the alert that follows. The widget side installs
    // ForegroundActivation::openUrl; the core stays free of QtGui.
    using UrlOpener = std::function<void(const QUrl &url, ForegroundActivation::Front front)>;

    static constexpr qint64 defaultPort = 8765;

    // Seams for tests; the production instance uses the defaults.
    struct Config
    {
        qint64 port = defaultPort;
        // Empty: ProjectPaths::buchhaltungRoot(), resolved afresh each time
        // (and the data folder provisioned anew by the commands that run the
        // project's scripts, should it have gone). Given: taken as it is.
        std::function<QString()> projectRoot;
        // Empty: the platform's lsof (/usr/sbin/lsof on macOS, /usr/bin/lsof elsewhere).
        QString lsofPath;
        // Inactivity timeout of the version request.
        int apiTimeoutMs = 30000;
        // The longest one version request may take, whatever trickles in.
        int apiDeadlineMs = 5000;
        // Empty: the platform's process file system (/proc on Linux, none
        // elsewhere). One that cannot be read leaves the port to lsof. (The
        // initialiser lets designated initialisers leave it out quietly.)
        QString procFolder = {};
        // How long the stop script and the generator may run.
        int stopScriptBoundMs = ServerConstants::stopScriptBoundMs;
        int generatorBoundMs = ServerConstants::generatorBoundMs;
    };

    // Two constructors: a default argument cannot use Config's member
    // initialisers while ServerManager is still incomplete.
    ServerManager();
    explicit ServerManager(Config config);
    // Waits for the work in flight: what is not called off finishes, and
    // never answers.
    ~ServerManager();
    Q_DISABLE_COPY_MOVE(ServerManager)

    // State; every access is atomic, no lock is held while a child runs.
    std::optional<qint32> serverPID() const;
    // Records the live process that has the number now (none if there is none).
    void setServerPID(std::optional<qint32> pid);
    std::optional<QString> lastError() const;
    void setLastError(std::optional<QString> error);
    QString lastLogLine() const;
    void setLastLogLine(const QString &line);

    qint64 port() const;
    // The longest a stop may take: its script's bound, its waits for the
    // port and for a server that never listened, and the probes among them.
    int stopBoundMs() const;
    QString baseAddress() const; // "http://127.0.0.1:8765"
    QUrl dashboardUrl() const;   // base + "/"
    QUrl apiVersionUrl() const;  // base + "/api/version"
    QString projectRoot() const; // resolved afresh on every call

    // The recorded server is alive, or a process this user can see listens
    // on the port. When the port probe has no answer, the last answer stands
    // as long as the process it named is alive.
    bool isRunning() const;
    // Drops a dead recorded server and adopts the listener on the port;
    // returns what isRunning() would, from the same single probe.
    bool refreshStatus();
    // The last answer of the port probe (Unknown until the first): tells a
    // free port from one held by another user's process.
    PortStatus portStatus() const;
    // The same state, probed on workers and pushed to the main
    // thread: what the shell shows. Lives as long as the manager.
    StatusModel &status() const;

    void startServer(Completion completion);
    void stopServer(Completion completion);
    void restartServer(Completion completion);
    void regenerateReports(Completion completion);
    // Calls off every long operation asked for so far: the children they run
    // end at once, a start under way launches no server (and ends one it has
    // just launched), and none of their completions is called.
    void cancelOperations();

    // The last lines the server wrote to its log, shortened; empty when
    // there is no log.
    QString serverLogEnding() const;

    void openDashboard(ForegroundActivation::Front front) const;
    void openBelegeFolder() const;
    void openLogsFolder() const;
    void setUrlOpener(UrlOpener opener);

    // Must be called on the main thread. The request gives up after
    // Config::apiTimeoutMs without traffic, and after Config::apiDeadlineMs
    // in all. Without an application object
    // there is no later main-loop turn, so the (absent) answer comes at once.
    void fetchAPIVersion(VersionCompletion completion);

    // Blocks until none of the manager's work runs or waits, or `timeoutMs`
    // is over; true in the first case. For tests: the program's main thread
    // never waits for a worker while it runs.
    bool waitForWorkers(int timeoutMs);

private:
    void openFolder(const QString &name) const;
    // The connection kept for the version request goes: the port's holder
    // is another process now.
    void forgetApiConnection();

    // Fields, port probe and command runner. Work on the workers and the
    // reply steps hold it too, so an operation in flight never outlives it.
    const std::shared_ptr<ServerState> m_state;
    const std::unique_ptr<StatusModel> m_status;
    // One thread each: start, stop and restart run one at a time in the
    // order asked for, and so do regenerations (two generators would write
    // the same reports); a hanging script of one never holds up the other.
    // Declared after what their work uses, so they wait for it first.
    Dispatch::Workers m_serverOperations{1};
    Dispatch::Workers m_regenerations{1};
    // Main thread only.
    UrlOpener m_urlOpener;
    // Goes with the manager: a request still waiting is not answered.
    std::unique_ptr<ApiConnection> m_api;
};
