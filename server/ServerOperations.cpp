// The four long operations. Each returns at once; its work step runs on a
// worker of the manager's and its reply step calls the completion once, on the main
// thread. They hold the shared state, not the manager, so a reply step still
// finds everything it needs whatever happened to the manager meanwhile.
// Work called off by cancelOperations() stops and never replies.

#include "server/ServerManager.h"

#include "paths/ProjectLayout.h"
#include "platform/PortProbe.h"
#include "server/CommandRunner.h"
#include "server/Dispatch.h"
#include "server/ServerConstants.h"
#include "server/ServerState.h"
#include "server/StatusModel.h"

#include <QDeadlineTimer>

namespace {

using Completion = ServerManager::Completion;
using Kind = OperationOutcome::Kind;
// The work's own report: its outcome, and for commands that change the
// server what was true at their end, found out on the worker.
using Finish = std::function<void(const OperationOutcome &outcome, const std::optional<ServerObservation> &seen)>;
using State = std::shared_ptr<ServerState>;
using Ticket = Dispatch::Cancellation::Ticket;

QStringList stopCommand() { return {ProjectLayout::stopScript()}; }

bool timedOut(const ShellResult &result)
{
    return result.failure && result.failure->kind == RunFailure::Kind::TimedOut;
}

// The project scripts, each within its bound.
ShellResult runStop(const State &state, const Dispatch::Cancellation::Ticket &ticket)
{
    return state->runShell(stopCommand(), true, ticket, state->config().stopScriptBoundMs);
}
QStringList generatorCommand() { return {ServerConstants::interpreter(), ProjectLayout::generatorScript()}; }
QStringList serverCommand() { return {ServerConstants::interpreter(), ProjectLayout::serveScript()}; }

ShellResult runGenerator(const State &state, const Dispatch::Cancellation::Ticket &ticket)
{
    return state->runShell(generatorCommand(), false, ticket, state->config().generatorBoundMs);
}

OperationOutcome outcome(const State &state, Kind kind, const ShellResult &result = {})
{
    OperationOutcome made;
    made.kind = kind;
    made.port = state->config().port;
    made.output = result.output;
    made.failure = result.failure;
    return made;
}

// The scripts a command needs, looked for before anything runs: a root
// that is not there is never made into an empty project. A data folder
// deleted while the program runs is filled again first, as at launch.
std::optional<OperationOutcome> incomplete(const State &state, const QStringList &scripts)
{
    const std::optional<RunFailure> missing = CommandRunner::checkScripts(state->provisionedRoot(), scripts);
    if (!missing)
        return std::nullopt;
    OperationOutcome made = outcome(state, Kind::ProjectIncomplete);
    made.failure = missing;
    return made;
}

QStringList startScripts() { return {ProjectLayout::generatorScript(), ProjectLayout::serveScript()}; }

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

// The start's steps; nothing when the work was called off.
std::optional<OperationOutcome> startWork(const State &state, const Ticket &ticket)
{
    // A missing stop script does not keep the server from starting.
    if (std::optional<OperationOutcome> missing = incomplete(state, startScripts()))
        return missing;
    const ShellResult stop = runStop(state, ticket);
    if (ticket.cancelled())
        return std::nullopt;
    if (timedOut(stop))
        return outcome(state, Kind::ScriptTimedOut, stop);
    // With failure allowed the stop only fails when bash could not start;
    // then nothing may have stopped, and a held port ends the attempt. So
    // does a program that is no server of this project, which no stop ends.
    const PortStatus port = state->probePort();
    if (port.isHeld()) {
        // Another user's listener counts as well, though it names nobody.
        const std::optional<PortHolder> holder = state->holder(port);
        if (!stop.success || !holder->thisProject) {
            OperationOutcome busy = outcome(state, Kind::PortBusy);
            busy.holder = holder;
            return busy;
        }
    }

    const ShellResult generated = runGenerator(state, ticket);
    if (ticket.cancelled())
        return std::nullopt;
    if (!generated.success)
        return outcome(state, timedOut(generated) ? Kind::ScriptTimedOut : Kind::GeneratorFailed, generated);

    const BackgroundLauncher::Launch launch = state->startBackground(serverCommand(), ticket);
    if (launch.kind == BackgroundLauncher::Launch::Kind::CalledOff)
        return std::nullopt;
    const bool listens = launch.kind == BackgroundLauncher::Launch::Kind::Running;
    if ((!listens && launch.kind != BackgroundLauncher::Launch::Kind::NotListening) || !launch.process) {
        // A port someone else holds is the usual reason; say who it is.
        const bool ended = launch.kind == BackgroundLauncher::Launch::Kind::EndedAtOnce;
        OperationOutcome failed = outcome(state, ended ? Kind::ServerEndedAtOnce : Kind::ServerDidNotStart,
                                          {false, launch.logTail, std::nullopt, launch.failure});
        failed.holder = state->holder(state->probePort());
        return failed;
    }
    // Recorded before the state is looked at, so the report shows the new server.
    state->server.set(launch.process);
    state->launched.set(ServerState::Launched{*launch.process, QDeadlineTimer::current().deadline(), listens});
    state->lastError.set(std::nullopt);
    OperationOutcome started = outcome(state, listens ? Kind::Started : Kind::StartedNotListening);
    started.pid = launch.process->pid();
    started.logNotRotated = launch.logNotRotated;
    return started;
}

std::optional<OperationOutcome> stopWork(const State &state, const Ticket &ticket)
{
    if (std::optional<OperationOutcome> missing = incomplete(state, stopCommand()))
        return missing;
    const ShellResult result = runStop(state, ticket);
    if (ticket.cancelled())
        return std::nullopt;
    if (timedOut(result))
        return outcome(state, Kind::ScriptTimedOut, result);
    state->server.set(std::nullopt);
    // Whatever the script said or whether it ran at all: the stop worked
    // when nothing listens on the port any more.
    // No answer from the probe leaves it to the script, which waits for
    // the port itself.
    PortStatus port;
    const bool free = Dispatch::waitUntil([&] { return !(port = state->probePort()).isHeld(); },
                                          ServerConstants::stopGraceMs, ticket);
    if (ticket.cancelled())
        return std::nullopt;
    // A server of ours that never listened is found by no stop script; one
    // whose listening child the script ended is asked only once the port is
    // free, so it is not taken for a server still serving.
    const std::optional<qint32> silent = state->endSilentLaunch(ticket, ServerConstants::stopGraceMs);
    if (ticket.cancelled())
        return std::nullopt;
    // A listener we cannot look into is no server we could have started:
    // another user's program, which no stop of ours ends.
    const Kind kind = free ? Kind::Stopped : port.pid ? Kind::StopLeftPortBusy : Kind::PortHeldByOther;
    OperationOutcome stopped = outcome(state, kind, result);
    stopped.endedSilent = silent;
    if (!free)
        stopped.holder = state->holder(port);
    return stopped;
}

// Runs the steps after every server operation asked for earlier has ended:
// one server operation at a time, in the order they were asked for.
void serially(Dispatch::Workers &serverOperations, const State &state, const Ticket &ticket, const Finish &finish,
              std::function<std::optional<OperationOutcome>()> steps)
{
    serverOperations.post([state, ticket, finish, steps] {
        if (ticket.cancelled())
            return;
        if (const std::optional<OperationOutcome> done = steps())
            reply(state, ticket, finish, *done);
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
    const State state = m_state;
    const Ticket ticket = state->cancellation.ticket();
    serially(m_serverOperations, state, ticket, settling(*m_status, ServerStatus::Operation::Start, completion),
             [state, ticket] { return startWork(state, ticket); });
}

void ServerManager::stopServer(Completion completion)
{
    const State state = m_state;
    const Ticket ticket = state->cancellation.ticket();
    serially(m_serverOperations, state, ticket, settling(*m_status, ServerStatus::Operation::Stop, completion),
             [state, ticket] { return stopWork(state, ticket); });
}

void ServerManager::restartServer(Completion completion)
{
    const State state = m_state;
    const Ticket ticket = state->cancellation.ticket();
    // The stop's own outcome is not reported; the start runs whatever it was.
    serially(m_serverOperations, state, ticket, settling(*m_status, ServerStatus::Operation::Restart, completion),
             [state, ticket]() -> std::optional<OperationOutcome> {
                 // Not stopped for a start that cannot follow.
                 if (std::optional<OperationOutcome> missing = incomplete(state, startScripts()))
                     return missing;
                 // Without a stop script the restart is the start alone, as
                 // strict as a start: a held port then ends it.
                 if (!incomplete(state, stopCommand()) && !stopWork(state, ticket))
                     return std::nullopt;
                 return startWork(state, ticket);
             });
}

void ServerManager::regenerateReports(Completion completion)
{
    const State state = m_state;
    const Ticket ticket = state->cancellation.ticket();
    const Finish finish = settling(*m_status, ServerStatus::Operation::None, completion);
    // One at a time: two generators would write the same reports.
    m_regenerations.post([state, ticket, finish] {
        if (ticket.cancelled())
            return;
        if (std::optional<OperationOutcome> missing = incomplete(state, {ProjectLayout::generatorScript()})) {
            reply(state, ticket, finish, *missing, false);
            return;
        }
        const ShellResult result = runGenerator(state, ticket);
        const Kind kind = result.success ? Kind::Regenerated
                : timedOut(result)       ? Kind::ScriptTimedOut
                                         : Kind::RegenerationFailed;
        reply(state, ticket, finish, outcome(state, kind, result), false);
    });
}

void ServerManager::cancelOperations() { m_state->cancellation.cancelAll(); }
