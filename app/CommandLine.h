#pragma once

#include <QString>
#include <QStringList>

// The program's options. They are settled before any application object
// exists, so that they work without a display, and a rejected command line
// starts nothing: no tray, no provisioning, no reopen of a running instance.
namespace CommandLine {

enum class Action { RunTray, ShowHelp, ShowVersion, Autostart, Reject };

struct Request
{
    Action action = Action::RunTray;
    bool autostartOn = false; // Action::Autostart: on or off
    bool atLogin = false;     // Action::RunTray: started at login, so no welcome
    QString text;             // ShowHelp, ShowVersion, Reject: what to print
    QString invokedAs;        // the program name or path as it was started
};

// Usage errors end with this status, as command-line tools usually do.
inline constexpr int usageError = 2;

// The raw arguments, program name first, decoded like file names.
QStringList arguments(int argc, char *argv[]);

// Decides what the command line asks for; touches nothing.
Request parse(const QStringList &arguments);

// Carries out every action but RunTray: prints one answer and returns the
// exit status.
int carryOut(const Request &request);

} // namespace CommandLine
