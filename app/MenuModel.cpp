#include "app/MenuModel.h"

#include "app/ShellTexts.h"
#include "platform/TrayMenu.h"

#include <QMenu>

namespace MenuModel {

namespace {

Entry command(const QString &title, Command which)
{
    return {EntryKind::Command, title, which};
}

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

TextStyle textStyle(QMenu &menu)
{
    return TrayMenu::followsDBusMenuRules(menu.platformMenu() != nullptr) ? TextStyle::DBusMenu
                                                                           : TextStyle::Widget;
}

QString actionText(const QString &title, TextStyle style)
{
    QString text = title;
    if (style == TextStyle::Widget)
        return text.replace(QLatin1Char('&'), QStringLiteral("&&"));
    // Underscores doubled, as a label without an access key wants. Qt turns
    // the first '&' of the text into the access-key marker and the tray item
    // drops every access key from what hosts get: where the title has a '&',
    // our own in front takes that turn, and the title's pass as they are.
    const bool ampersand = text.contains(QLatin1Char('&'));
    text.replace(QLatin1Char('_'), QStringLiteral("__"));
    return ampersand ? text.prepend(QLatin1Char('&')) : text;
}

Outcome outcome(Command which, bool success)
{
    using namespace ShellTexts;
    switch (which) {
    case Command::StartServer:
        return {true, success, success ? startedTitle() : failureTitle()};
    case Command::StopServer:
        return {true, false, success ? stoppedTitle() : stopFailureTitle()};
    case Command::RestartServer:
        return {true, success, success ? restartedTitle() : failureTitle()};
    case Command::Regenerate:
        // The reports changed, the server did not: the menu stays as it is.
        return {false, false, success ? regeneratedTitle() : failureTitle()};
    case Command::OpenBrowser:
    case Command::OpenBelege:
    case Command::OpenLogs:
    case Command::RevealProject:
    case Command::Quit:
        break;
    }
    return {};
}

bool changesServer(Command command)
{
    return command == Command::StartServer || command == Command::StopServer
        || command == Command::RestartServer;
}

} // namespace MenuModel
