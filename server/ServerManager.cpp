#include "server/ServerManager.h"

#include "platform/PortProbe.h"

#include "paths/ProjectLayout.h"
#include "server/ApiConnection.h"
#include "server/OutputText.h"
#include "server/ServerConstants.h"
#include "server/ServerState.h"
#include "server/StatusModel.h"

#include <QDeadlineTimer>

ServerManager::ServerManager()
    : ServerManager(Config())
{
}

ServerManager::ServerManager(Config config)
    : m_state(std::make_shared<ServerState>(std::move(config)))
    , m_status(std::make_unique<StatusModel>(StatusModel::Probes{
              .observeAtOnce = [state = m_state] { return state->observeAtOnce(); },
              .observe = [state = m_state] { return state->observe(); },
              .logEnding =
                      [state = m_state] {
                          return OutputText::fileEnding(state->projectRoot() + QLatin1Char('/')
                                                                + ProjectLayout::serverLog(),
                                                        StatusModel::stopLogLines);
                      },
              .fetchVersion = [this](auto answer) { fetchAPIVersion(answer); },
              .holderChanged = [this] { forgetApiConnection(); },
      }))
{
}

ServerManager::~ServerManager() = default;

bool ServerManager::waitForWorkers(int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    return m_serverOperations.waitForDone(int(deadline.remainingTime()))
            && m_regenerations.waitForDone(int(deadline.remainingTime()))
            && m_status->waitForWorkers(int(deadline.remainingTime()));
}

std::optional<qint32> ServerManager::serverPID() const { return m_state->serverPID(); }

void ServerManager::setServerPID(std::optional<qint32> pid)
{
    m_state->server.set(pid ? ProcessHandle::open(*pid) : std::nullopt);
}

std::optional<QString> ServerManager::lastError() const { return m_state->lastError.get(); }

void ServerManager::setLastError(std::optional<QString> error) { m_state->lastError.set(std::move(error)); }

QString ServerManager::lastLogLine() const { return m_state->lastLogLine.get(); }

void ServerManager::setLastLogLine(const QString &line) { m_state->lastLogLine.set(line); }

qint64 ServerManager::port() const { return m_state->config().port; }

int ServerManager::stopBoundMs() const
{
    return m_state->config().stopScriptBoundMs + 2 * ServerConstants::stopGraceMs
            + 4 * PortProbe::Sources{}.lsofTimeoutMs;
}

QString ServerManager::baseAddress() const
{
    return QStringLiteral("http://") + ServerConstants::loopbackHost() + QLatin1Char(':') + QString::number(port());
}

QUrl ServerManager::dashboardUrl() const { return QUrl(baseAddress() + QLatin1Char('/')); }

QUrl ServerManager::apiVersionUrl() const { return QUrl(baseAddress() + QStringLiteral("/api/version")); }

QString ServerManager::projectRoot() const { return m_state->projectRoot(); }

bool ServerManager::isRunning() const { return m_state->isRunning(); }

bool ServerManager::refreshStatus() { return m_state->refreshStatus(); }

PortStatus ServerManager::portStatus() const { return m_state->portStatus(); }

StatusModel &ServerManager::status() const { return *m_status; }

QString ServerManager::serverLogEnding() const
{
    // The line or two before the end usually say why a server went away.
    return OutputText::fileEnding(projectRoot() + QLatin1Char('/') + ProjectLayout::serverLog(), 2);
}
