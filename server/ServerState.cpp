#include "server/ServerState.h"

#include "paths/ProjectPaths.h"
#include "server/BackgroundLauncher.h"
#include "server/CommandRunner.h"
#include "platform/PortProbe.h"
#include "server/ServerConstants.h"

#include <QProcessEnvironment>

ServerState::ServerState(ServerManager::Config config)
    : m_config(std::move(config))
{
}

QString ServerState::projectRoot() const
{
    return m_config.projectRoot ? m_config.projectRoot() : ProjectPaths::buchhaltungRoot();
}

bool ServerState::isRunning() const
{
    const std::optional<qint32> recorded = serverPID.get();
    if (recorded && PortProbe::isAlive(*recorded))
        return true;
    return listenerRunning(probePort());
}

bool ServerState::refreshStatus()
{
    // A live recorded server is trusted without asking the port.
    if (const std::optional<qint32> recorded = serverPID.get()) {
        if (PortProbe::isAlive(*recorded))
            return true;
        // A start may have recorded its server meanwhile.
        serverPID.replaceIf(recorded, std::nullopt);
    }
    const PortStatus answer = probePort();
    // Only a fresh answer is adopted.
    if (answer.pid)
        serverPID.set(answer.pid);
    return listenerRunning(answer);
}

ServerObservation ServerState::observe()
{
    const bool running = refreshStatus();
    return {running, serverPID.get(), portStatus()};
}

bool ServerState::listenerRunning(const PortStatus &answer) const
{
    if (!answer.isUnknown())
        return answer.pid.has_value();
    const std::optional<qint32> last = portStatus().pid;
    return last && PortProbe::isAlive(*last);
}

PortStatus ServerState::probePort() const
{
    const PortProbe::Sources sources{
        .procFolder = m_config.procFolder.isEmpty() ? ServerConstants::procFolder() : m_config.procFolder,
        .lsofPath = m_config.lsofPath.isEmpty() ? ServerConstants::lsofPath() : m_config.lsofPath,
    };
    const PortStatus answer = PortProbe::probe(sources, m_config.port);
    if (!answer.isUnknown())
        m_lastAnswer.set(answer);
    return answer;
}

std::optional<PortHolder> ServerState::holder(const PortStatus &answer)
{
    if (!answer.isHeld())
        return std::nullopt;
    return PortHolder{answer.pid, answer.pid ? PortProbe::programName(*answer.pid) : std::nullopt};
}

std::optional<qint32> ServerState::pidOnPort() const
{
    return probePort().pid;
}

ShellResult ServerState::runShell(const QStringList &command, bool allowFailure,
                                  const Dispatch::Cancellation::Ticket &ticket, int boundMs)
{
    const QProcessEnvironment environment =
        CommandRunner::childEnvironment(QProcessEnvironment::systemEnvironment(), m_config.port);
    CommandRunner::Run run =
        CommandRunner::runShell(command, allowFailure, projectRoot(), environment, ticket, boundMs);
    if (run.lastLogLine)
        lastLogLine.set(*run.lastLogLine);
    return run.result;
}

BackgroundLauncher::Launch ServerState::startBackground(const QStringList &command,
                                         const BackgroundLauncher::ListeningCheck &listening,
                                         const Dispatch::Cancellation::Ticket &ticket) const
{
    // The server listens where the program looks for it, whatever the
    // program's own environment says.
    const QProcessEnvironment environment =
        CommandRunner::serverEnvironment(QProcessEnvironment::systemEnvironment(), m_config.port);
    return BackgroundLauncher::startBackground(command, projectRoot(), environment, listening, ticket);
}
