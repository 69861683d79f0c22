#include "app/MenuModel.h"

#include "app/ShellTexts.h"

namespace MenuModel {

namespace {

Entry command(const QString &title, Command which) { return {EntryKind::Command, title, which}; }

Entry separator() { return {}; }

} // namespace

QList<Entry> entries(const QString &projectRoot)
{
    using namespace ShellTexts;
    return {
            {EntryKind::StatusLine, statusLineInitial(), std::nullopt},
            {EntryKind::ApiLine, apiLineInitial(), std::nullopt},
            separator(),
            command(startEntry(), Command::StartServer),
            command(stopEntry(), Command::StopServer),
            command(restartEntry(), Command::RestartServer),
            command(regenerateEntry(), Command::Regenerate),
            separator(),
            command(dashboardEntry(), Command::OpenBrowser),
            command(belegeEntry(), Command::OpenBelege),
            command(logsEntry(), Command::OpenLogs),
            separator(),
            command(dataEntry(projectRoot), Command::RevealProject),
            separator(),
            command(quitEntry(), Command::Quit),
    };
}

QString actionText(const QString &title) { return QString(title).replace(QLatin1Char('&'), QStringLiteral("&&")); }

Outcome outcome(Command which, bool success)
{
    using namespace ShellTexts;
    switch (which) {
    case Command::StartServer: return {true, success, success ? startedTitle() : failureTitle()};
    case Command::StopServer: return {true, false, success ? stoppedTitle() : stopFailureTitle()};
    case Command::RestartServer: return {true, success, success ? restartedTitle() : failureTitle()};
    case Command::Regenerate:
        // The reports changed, the server did not: the menu stays as it is.
        return {false, false, success ? regeneratedTitle() : failureTitle()};
    case Command::OpenBrowser:
    case Command::OpenBelege:
    case Command::OpenLogs:
    case Command::RevealProject:
    case Command::Quit: break;
    }
    return {};
}

bool changesServer(Command command)
{
    return command == Command::StartServer || command == Command::StopServer || command == Command::RestartServer;
}

} // namespace MenuModel
