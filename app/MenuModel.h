#pragma once

#include <QList>
#include <QString>

#include <optional>

class QMenu;

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

// How the tray shows the texts of its menu. A menu drawn by Qt (an XEmbed
// tray, macOS) takes '&' as the mnemonic marker and "&&" as an ampersand.
// A menu exported over D-Bus (StatusNotifierItem trays: dbusmenu) takes '_'
// as the marker and "__" as an underscore; Qt turns only the first '&' of
// the text into '_' and passes everything else on as it is, and the tray
// item (platform/TrayItemAsMenu) drops the access key it makes.
enum class TextStyle { Widget, DBusMenu };

// The style of the tray that shows `menu`, known once it is the tray
// icon's context menu.
TextStyle textStyle(QMenu &menu);

// A title as a menu action must be given it so that the tray shows it
// unchanged, neither losing characters to nor gaining a mnemonic marker.
QString actionText(const QString &title, TextStyle style);

// What the shell does once a server command has reported back.
struct Outcome
{
    bool updateMenu = false;     // refresh the status lines first
    bool openDashboard = false;  // then open the dashboard in the browser
    QString alertTitle;          // then show the result alert
};

// Only StartServer, StopServer, RestartServer and Regenerate report back.
Outcome outcome(Command command, bool success);

// Start, stop and restart: one of them at a time, so their entries are
// disabled while one is under way.
bool changesServer(Command command);

} // namespace MenuModel
