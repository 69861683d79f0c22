#pragma once

#include <QString>

// The XDG autostart entry that starts the program at login:
// <config home>/autostart/<application id>.desktop.
namespace Autostart {

enum class Result { Enabled, Disabled, WasNotEnabled, Failed };

struct Outcome
{
    Result result;
    QString entryPath;
    QString error; // Failed: why, from the file system
};

// $XDG_CONFIG_HOME when absolute, or ~/.config.
QString defaultConfigHome();
QString entryPath(const QString &configHome);

// The option the entry starts the program with: a start at login greets
// nobody, since the user did not ask for the program just then.
inline QString loginOption() { return QStringLiteral("login"); }

// The entry that starts `program` (an absolute path) at login, with the
// login option.
QString entryText(const QString &program);
// `program` as the Exec key's one argument: quoted where the desktop entry
// rules ask for it, then escaped as a string value.
QString execValue(const QString &program);

// The program as the user installed it: an absolute path, symbolic links
// kept (a link in bin/ survives an update of what it points to). A bare name
// is looked up on PATH; when that fails, the running executable is named.
QString installedProgram(const QString &invokedAs);

// Writes the entry, replacing an older one, or removes it. Removing an
// entry that is not there is no error.
Outcome enable(const QString &configHome, const QString &program);
Outcome disable(const QString &configHome);

} // namespace Autostart
