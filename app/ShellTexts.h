#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <optional>

// Every text the tray program shows, in one place. German, character for
// character as the user sees it.
namespace ShellTexts {

// The tray item.
QString buttonTitle();    // " Harlune"
QString itemTitle();      // the item's name for the tray: "Harlune" but on macOS
QString accessibleName(); // "Harlune"
// "Harlune – " and the words the status line has for the server's state.
QString toolTip(const QString &stateWords);
QString displayName(); // the program as window titles name it

// The two information lines at the top of the menu.
QString statusLineInitial(); // "Status…"
QString statusLine(bool running, const QString &dashboardAddress);
QString runningWords(); // "Server läuft", where the address is not shown
QString stoppedLine();  // "Server gestoppt"
// While a command of ours starts, stops or restarts the server.
QString startingLine();   // "Server wird gestartet …"
QString stoppingLine();   // "Server wird gestoppt …"
QString restartingLine(); // "Server wird neu gestartet …"
QString apiLineInitial(); // "API: —"
QString apiLineOffline();
QString apiLineOnline();
QString apiLineNoAnswer();

// Menu entries.
QString startEntry();
QString stopEntry();
QString restartEntry();
QString regenerateEntry();
QString dashboardEntry();
QString belegeEntry();
QString logsEntry();
QString dataEntry(const QString &projectRoot);
QString quitEntry();

// Welcome alert, shown at launch and on every reopen.
QString welcomeTitle();
QString welcomeText();
QString okButton();

// Shown when the desktop offers no tray to put the icon into.
QString trayMissingTitle();
// On GNOME (XDG_CURRENT_DESKTOP names it) the notice adds the usual remedy.
QString trayMissingText(const QString &currentDesktop);

// Desktop notice when the server ended without a command of ours.
QString unexpectedStopTitle();
// Which server (PID) ended, since when it ran, the last error it wrote, and
// that a click opens the logs folder where the click reaches us.
QString unexpectedStopText(std::optional<qint32> pid, const std::optional<QDateTime> &since, const QString &lastError,
                           bool clickOpensLogs);

// Said when "Beenden" ends the program while its server may still run: what
// the stop reported, or that it did not report within `seconds`.
QString quitLeavesServerTitle();
QString quitLeavesServerText(const QString &stopMessage, int seconds);

// Alert titles after a server command.
QString startedTitle();
QString stoppedTitle();
QString restartedTitle();
QString regeneratedTitle();
QString failureTitle();
QString stopFailureTitle();

} // namespace ShellTexts
