// The four long operations. Each returns at once; its work step runs on the
// worker pool and its reply step calls the completion once, on the main
// thread. They hold the shared state, not the manager, so a reply step still
// finds everything it needs whatever happened to the manager meanwhile.
// Work called off by cancelOperations() stops and never replies.

#include "server/ServerManager.h"

#include "paths/ProjectLayout.h"
#include "server/Dispatch.h"
#include "server/Messages.h"
#include "platform/PortProbe.h"
#include "server/ServerConstants.h"
#include "server/ServerState.h"

namespace {

using Completion = ServerManager::Completion;
using State = std::shared_ptr<ServerState>;
using Ticket = Dispatch::Cancellation::Ticket;

QStringList stopCommand() { return {ProjectLayout::stopScript()}; }
QStringList generatorCommand() { return {ServerConstants::interpreter(), ProjectLayout::generatorScript()}; }
QStringList serverCommand() { return {ServerConstants::interpreter(), ProjectLayout::serveScript()}; }

QString orFallback(const QString &output, const QString &fallback)
{
    return output.isEmpty() ? fallback : output;
}

// A message about the port, with the line that names who holds it, where
// the port is held.
QString withHolder(const QString &message, const PortStatus &port)
{
    if (!port.isHeld())
        return message;
    return message + QLatin1Char('\n')
        + (port.pid ? ServerMessages::heldBy(PortProbe::programName(*port.pid), *port.pid)
                    : ServerMessages::heldByAnotherUser());
}

// Posts the final answer; an empty completion, or one whose work was called
// off meanwhile, is not called.
void reply(const Ticket &ticket, const Completion &completion, bool success, const QString &message)
{
    Dispatch::toMain([ticket, completion, success, message] {
        if (completion && !ticket.cancelled())
            completion(success, message);
    });
}

void startWork(const State &state, const Ticket &ticket, const Completion &completion)
{
    const ShellResult stop = state->runShell(stopCommand(), true, ticket);
    if (ticket.cancelled())
        return;
    // With failure allowed the stop only fails when bash could not start;
    // then nothing may have stopped, and a held port ends the attempt.
    if (!stop.success) {
        // Another user's listener counts as well, though it names nobody.
        const PortStatus port = state->probePort();
        if (port.isHeld()) {
            reply(ticket, completion, false,
                  withHolder(ServerMessages::portStillBusy(state->config().port), port));
            return;
        }
    }

    const ShellResult generated = state->runShell(generatorCommand(), false, ticket);
    if (ticket.cancelled())
        return;
    if (!generated.success) {
        reply(ticket, completion, false, orFallback(generated.output, ServerMessages::generatorFailed()));
        return;
    }

    const ShellResult launch = state->startBackground(
        serverCommand(), [state](qint32 pid) { return state->pidOnPort() == pid; }, ticket);
    if (!launch.success || !launch.pid) {
        // A port someone else holds is the usual reason; say who it is.
        reply(ticket, completion, false,
              withHolder(orFallback(launch.output, ServerMessages::serverDidNotStart()), state->probePort()));
        return;
    }
    // The fields change on the main thread, just before the completion, so
    // the completion already sees the new server.
    Dispatch::toMain([state, ticket, completion, pid = *launch.pid] {
        state->serverPID.set(pid);
        state->lastError.set(std::nullopt);
        if (completion && !ticket.cancelled())
            completion(true, ServerMessages::serverStarted(pid));
    });
}

void start(const State &state, const Ticket &ticket, const Completion &completion)
{
    Dispatch::toWorker([state, ticket, completion] { startWork(state, ticket, completion); });
}

void stop(const State &state, const Ticket &ticket, const Completion &completion)
{
    Dispatch::toWorker([state, ticket, completion] {
        const ShellResult result = state->runShell(stopCommand(), true, ticket);
        if (ticket.cancelled())
            return;
        state->serverPID.set(std::nullopt);
        // Whatever the script said or whether it ran at all: the stop worked
        // when nothing listens on the port any more.
        // No answer from the probe leaves it to the script, which waits for
        // the port itself.
        PortStatus port;
        const bool free = Dispatch::waitUntil([&] { return !(port = state->probePort()).isHeld(); },
                                              ServerConstants::stopGraceMs, ticket);
        if (ticket.cancelled())
            return;
        reply(ticket, completion, free,
              free ? orFallback(result.output, ServerMessages::serverStopped())
                   : withHolder(ServerMessages::stopLeftPortBusy(result.output, state->config().port), port));
    });
}

} // namespace

void ServerManager::startServer(Completion completion)
{
    start(m_state, m_state->cancellation.ticket(), completion);
}

void ServerManager::stopServer(Completion completion)
{
    stop(m_state, m_state->cancellation.ticket(), completion);
}

void ServerManager::restartServer(Completion completion)
{
    const State state = m_state;
    const Ticket ticket = state->cancellation.ticket();
    // The stop's own outcome is not reported; the start runs whatever it was.
    stop(state, ticket, [state, ticket, completion](bool, const QString &) {
        start(state, ticket, completion);
    });
}

void ServerManager::regenerateReports(Completion completion)
{
    const State state = m_state;
    const Ticket ticket = state->cancellation.ticket();
    Dispatch::toWorker([state, ticket, completion] {
        const ShellResult result = state->runShell(generatorCommand(), false, ticket);
        reply(ticket, completion, result.success,
              result.success ? ServerMessages::reportsRegenerated() : result.output);
    });
}

void ServerManager::cancelOperations()
{
    m_state->cancellation.cancelAll();
}
