#pragma once

#include <QList>
#include <QString>

#include <optional>

// What the tray menu holds and what follows from each command's outcome,
// kept apart from the widgets so it can be checked without a display.
namespace MenuModel {

// The nine things a user can choose in the menu.
enum class Command {
    StartServer,
    StopServer,
    RestartServer,
    Regenerate,
    OpenBrowser,
    OpenBelege,
    OpenLogs,
    RevealProject,
    Quit,
};

enum class EntryKind { StatusLine, ApiLine, Separator, Command };

struct Entry
{
    EntryKind kind = EntryKind::Separator;
    QString title;                  // empty for separators
    std::optional<Command> command; // only for command entries
};

// The fifteen entries, top to bottom, as built at launch.
QList<Entry> entries(const QString &projectRoot);

// A title as a menu action must be given it so that every tray shows it
// unchanged: Qt's menus take '&' as the mnemonic marker and "&&" as an
// ampersand, and so does the tray item's exported menu (which writes each
// label in its hosts' form itself).
QString actionText(const QString &title);

// What the shell does once a server command has reported back.
struct Outcome
{
    bool updateMenu = false;    // refresh the status lines first
    bool openDashboard = false; // then open the dashboard in the browser
    QString alertTitle;         // then show the result alert
};

// Only StartServer, StopServer, RestartServer and Regenerate report back.
Outcome outcome(Command command, bool success);

// Start, stop and restart: one of them at a time, so their entries are
// disabled while one is under way.
bool changesServer(Command command);

} // namespace MenuModel
