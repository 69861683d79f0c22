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
    // dbusmenu hosts (libdbusmenu-gtk: waybar, xfce4-panel) show "__" as
    // "_" only in a label without an access key, and Qt turns the first '&'
    // into '_'. Where a '_' comes first, the '&' goes there: Qt makes it
    // "__" again, a plain underscore, and the label has no access key.
    const qsizetype ampersand = text.indexOf(QLatin1Char('&'));
    const qsizetype underscore = text.indexOf(QLatin1Char('_'));
    text.replace(QLatin1Char('_'), QStringLiteral("__"));
    if (ampersand < 0)
        return text;
    if (underscore >= 0 && underscore < ampersand) {
        text[underscore] = QLatin1Char('&');
        return text;
    }
    // A '&' before any '_' cannot pass unchanged: a '&' of our own in front
    // takes the turn, and the first letter becomes the access key.
    return text.prepend(QLatin1Char('&'));
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
