// The four long operations. Each returns at once; its work step runs on the
// worker pool and its reply step calls the completion once, on the main
// thread. They hold the shared state, not the manager, so a reply step still
// finds everything it needs whatever happened to the manager meanwhile.

#include "server/ServerManager.h"

#include "paths/ProjectLayout.h"
#include "server/Dispatch.h"
#include "server/Messages.h"
#include "server/ServerConstants.h"
#include "server/ServerState.h"

namespace {

using Completion = ServerManager::Completion;
using State = std::shared_ptr<ServerState>;

QStringList stopCommand() { return {ProjectLayout::stopScript()}; }
QStringList generatorCommand() { return {ServerConstants::interpreter(), ProjectLayout::generatorScript()}; }
QStringList serverCommand() { return {ServerConstants::interpreter(), ProjectLayout::serveScript()}; }

QString orFallback(const QString &output, const QString &fallback)
{
    return output.isEmpty() ? fallback : output;
}

// Posts the final answer; an empty completion is simply not called.
void reply(const Completion &completion, bool success, const QString &message)
{
    Dispatch::toMain([completion, success, message] {
        if (completion)
            completion(success, message);
    });
}

void startWork(const State &state, const Completion &completion)
{
    const ShellResult stop = state->runShell(stopCommand(), true);
    // With failure allowed the stop only fails when bash could not start;
    // then nothing may have stopped, and a held port ends the attempt.
    if (!stop.success && state->pidOnPort()) {
        reply(completion, false, ServerMessages::portStillBusy(state->config().port));
        return;
    }

    const ShellResult generated = state->runShell(generatorCommand(), false);
    if (!generated.success) {
        reply(completion, false, orFallback(generated.output, ServerMessages::generatorFailed()));
        return;
    }

    const ShellResult launch = state->startBackground(serverCommand());
    // The fields change on the main thread, just before the completion, so
    // the completion already sees the new server.
    Dispatch::toMain([state, completion, launch] {
        if (launch.success && launch.pid) {
            state->serverPID.set(launch.pid);
            state->lastError.set(std::nullopt);
            if (completion)
                completion(true, ServerMessages::serverStarted(*launch.pid));
        } else if (completion) {
            completion(false, orFallback(launch.output, ServerMessages::serverDidNotStart()));
        }
    });
}

void start(const State &state, const Completion &completion)
{
    Dispatch::toWorker([state, completion] { startWork(state, completion); });
}

void stop(const State &state, const Completion &completion)
{
    Dispatch::toWorker([state, completion] {
        const ShellResult result = state->runShell(stopCommand(), true);
        state->serverPID.set(std::nullopt);
        Dispatch::toMain([state, completion, result] {
            // Only when bash itself could not start is the port asked
            // whether the server is gone after all.
            const bool stopped = result.success || !state->pidOnPort();
            if (completion)
                completion(stopped, orFallback(result.output, ServerMessages::serverStopped()));
        });
    });
}

} // namespace

void ServerManager::startServer(Completion completion)
{
    start(m_state, completion);
}

void ServerManager::stopServer(Completion completion)
{
    stop(m_state, completion);
}

void ServerManager::restartServer(Completion completion)
{
    const State state = m_state;
    // The stop's own outcome is not reported; the start runs whatever it was.
    stop(state, [state, completion](bool, const QString &) { start(state, completion); });
}

void ServerManager::regenerateReports(Completion completion)
{
    const State state = m_state;
    Dispatch::toWorker([state, completion] {
        const ShellResult result = state->runShell(generatorCommand(), false);
        reply(completion, result.success,
              result.success ? ServerMessages::reportsRegenerated() : result.output);
    });
}
