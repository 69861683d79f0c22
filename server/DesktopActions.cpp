// The outward actions: the dashboard in the browser, project folders in the
// file manager. Failures stay silent; the desktop decides what opening means.

#include "server/ServerManager.h"

#include "paths/ProjectLayout.h"
#include "platform/MakePath.h"
#include "server/ServerLog.h"
#include "server/ServerState.h"

void ServerManager::setUrlOpener(UrlOpener opener) { m_urlOpener = std::move(opener); }

void ServerManager::openDashboard(ForegroundActivation::Front front) const
{
    // Opened whether or not a server answers there.
    if (m_urlOpener)
        m_urlOpener(dashboardUrl(), front);
}

void ServerManager::openBelegeFolder() const { openFolder(ProjectLayout::belegeFolder()); }

void ServerManager::openLogsFolder() const { openFolder(ProjectLayout::logsFolder()); }

void ServerManager::openFolder(const QString &name) const
{
    // Created with every missing parent, the project root included; the
    // folder is opened even if that failed.
    const QString folder = m_state->projectRoot() + QLatin1Char('/') + name;
    if (const std::optional<QString> failure = MakePath::create(folder))
        qCWarning(lcServer, "Folder not created, opened all the same: %s", qUtf8Printable(*failure));
    if (m_urlOpener)
        m_urlOpener(QUrl::fromLocalFile(folder), ForegroundActivation::Front::Opened);
}
