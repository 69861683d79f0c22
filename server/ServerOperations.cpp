// The four long operations. Each returns at once; its work step runs on the
// worker pool and its reply step calls the completion once, on the main
// thread. They hold the shared state, not the manager, so a reply step still
// finds everything it needs whatever happened to the manager meanwhile.
// Work called off by cancelOperations() stops and never replies.

#include "server/ServerManager.h"

#include "paths/ProjectLayout.h"
#include "server/Dispatch.h"
#include "platform/PortProbe.h"
#include "server/ServerConstants.h"
#include "server/ServerState.h"
#include "server/StatusModel.h"

namespace {

using Completion = ServerManager::Completion;
using Kind = OperationOutcome::Kind;
// The work's own report: its outcome, and for commands that change the
// server what was true at their end, found out on the worker.
using Finish = std::function<void(const OperationOutcome &outcome,
                                  const std::optional<ServerObservation> &seen)>;
using State = std::shared_ptr<ServerState>;
using Ticket = Dispatch::Cancellation::Ticket;

QStringList stopCommand() { return {ProjectLayout::stopScript()}; }
QStringList generatorCommand() { return {ServerConstants::interpreter(), ProjectLayout::generatorScript()}; }
QStringList serverCommand() { return {ServerConstants::interpreter(), ProjectLayout::serveScript()}; }

OperationOutcome outcome(const State &state, Kind kind, const ShellResult &result = {})
{
    OperationOutcome made;
    made.kind = kind;
    made.port = state->config().port;
    made.output = result.output;
    made.failure = result.failure;
    return made;
}

// Posts the final answer; one whose work was called off meanwhile is not
// given. `observe`: the server's state is probed first, here on the worker.
void reply(const State &state, const Ticket &ticket, const Finish &finish, const OperationOutcome &outcome,
           bool observe = true)
{
    std::optional<ServerObservation> seen;
    if (observe)
        seen = state->observe();
    Dispatch::toMain([ticket, finish, outcome, seen] {
        if (!ticket.cancelled())
            finish(outcome, seen);
    });
}

void startWork(const State &state, const Ticket &ticket, const Finish &finish)
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
            OperationOutcome busy = outcome(state, Kind::PortBusy);
            busy.holder = ServerState::holder(port);
            reply(state, ticket, finish, busy);
            return;
        }
    }

    const ShellResult generated = state->runShell(generatorCommand(), false, ticket);
    if (ticket.cancelled())
        return;
    if (!generated.success) {
        reply(state, ticket, finish, outcome(state, Kind::GeneratorFailed, generated));
        return;
    }

    const BackgroundLauncher::Launch launch = state->startBackground(
        serverCommand(), [state](qint32 pid) { return state->pidOnPort() == pid; }, ticket);
    if (launch.kind == BackgroundLauncher::Launch::Kind::CalledOff)
        return;
    if (launch.kind != BackgroundLauncher::Launch::Kind::Running || !launch.pid) {
        // A port someone else holds is the usual reason; say who it is.
        const bool ended = launch.kind == BackgroundLauncher::Launch::Kind::EndedAtOnce;
        OperationOutcome failed = outcome(state, ended ? Kind::ServerEndedAtOnce : Kind::ServerDidNotStart,
                                          {false, launch.logTail, std::nullopt, launch.failure});
        failed.holder = ServerState::holder(state->probePort());
        reply(state, ticket, finish, failed);
        return;
    }
    // Recorded before the state is looked at, so the report shows the new server.
    state->serverPID.set(*launch.pid);
    state->lastError.set(std::nullopt);
    OperationOutcome started = outcome(state, Kind::Started);
    started.pid = launch.pid;
    reply(state, ticket, finish, started);
}

void start(const State &state, const Ticket &ticket, const Finish &finish)
{
    Dispatch::toWorker([state, ticket, finish] { startWork(state, ticket, finish); });
}

void stop(const State &state, const Ticket &ticket, const Finish &finish)
{
    Dispatch::toWorker([state, ticket, finish] {
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
        OperationOutcome stopped = outcome(state, free ? Kind::Stopped : Kind::StopLeftPortBusy, result);
        if (!free)
            stopped.holder = ServerState::holder(port);
        reply(state, ticket, finish, stopped);
    });
}

// The status model learns of the command now and of its end before the
// completion runs, so the completion already finds the state it left.
Finish settling(StatusModel &model, ServerStatus::Operation operation, const Completion &completion)
{
    if (operation != ServerStatus::Operation::None)
        model.operationBegan(operation);
    return [model = QPointer(&model), completion](const OperationOutcome &outcome,
                                                 const std::optional<ServerObservation> &seen) {
        if (model && seen)
            model->operationEnded(*seen);
        if (completion)
            completion(outcome);
    };
}

} // namespace

void ServerManager::startServer(Completion completion)
{
    start(m_state, m_state->cancellation.ticket(),
          settling(*m_status, ServerStatus::Operation::Start, completion));
}

void ServerManager::stopServer(Completion completion)
{
    stop(m_state, m_state->cancellation.ticket(),
         settling(*m_status, ServerStatus::Operation::Stop, completion));
}

void ServerManager::restartServer(Completion completion)
{
    const State state = m_state;
    const Ticket ticket = state->cancellation.ticket();
    const Finish finish = settling(*m_status, ServerStatus::Operation::Restart, completion);
    // The stop's own outcome is not reported; the start runs whatever it was.
    stop(state, ticket, [state, ticket, finish](const OperationOutcome &, const auto &) {
        start(state, ticket, finish);
    });
}

void ServerManager::regenerateReports(Completion completion)
{
    const State state = m_state;
    const Ticket ticket = state->cancellation.ticket();
    const Finish finish = settling(*m_status, ServerStatus::Operation::None, completion);
    Dispatch::toWorker([state, ticket, finish] {
        const ShellResult result = state->runShell(generatorCommand(), false, ticket);
        reply(state, ticket, finish,
              outcome(state, result.success ? Kind::Regenerated : Kind::RegenerationFailed, result), false);
    });
}

void ServerManager::cancelOperations()
{
    m_state->cancellation.cancelAll();
}
