#pragma once

#include "paths/ProjectLayout.h"

#include <QFileInfo>
#include <QString>
#include <QtGlobal>

#include <optional>

// The German texts the server operations hand to their completions.
namespace ServerMessages {

inline QString portStillBusy(qint64 port)
{
    return QStringLiteral("Port ") + QString::number(port)
        + QStringLiteral(" noch belegt – bitte zuerst stoppen.");
}

// A stop after which something still listens on the port: what the stop
// script said, then the line that says so.
inline QString stopLeftPortBusy(const QString &scriptOutput, qint64 port)
{
    const QString line = QStringLiteral("Port ") + QString::number(port)
        + QStringLiteral(" ist noch belegt – der Server wurde nicht gestoppt.");
    return scriptOutput.isEmpty() ? line : scriptOutput + QLatin1Char('\n') + line;
}

// Who holds the port, as far as this user can see: the program's name and
// identifier, or only that it is someone else's.
inline QString heldBy(const std::optional<QString> &program, qint32 pid)
{
    const QString process = QStringLiteral("PID ") + QString::number(pid);
    return QStringLiteral("Belegt von: ")
        + (program ? *program + QStringLiteral(" (") + process + QLatin1Char(')') : process);
}
inline QString heldByAnotherUser()
{
    return QStringLiteral("Belegt von einem Programm eines anderen Benutzers");
}

inline QString serverStarted(qint32 pid)
{
    return QStringLiteral("Server gestartet (PID ") + QString::number(pid) + QLatin1Char(')');
}

// What a launch reports in its output before the reply step words it.
inline QString launchedPid(qint64 pid) { return QStringLiteral("PID ") + QString::number(pid); }

// The launched server ended before it listened; logTail is what it wrote
// into its log meanwhile, already shortened.
inline QString serverEndedAtOnce(const QString &logTail)
{
    const QString line = ProjectLayout::serveScript()
        + QStringLiteral(" hat sich gleich nach dem Start beendet.");
    if (logTail.isEmpty())
        return line;
    return line + QStringLiteral("\nLetzte Zeilen aus ") + ProjectLayout::serverLog()
        + QStringLiteral(":\n") + logTail;
}

// A program the project's commands need is not there (or cannot be run).
inline QString programMissing(const QString &path)
{
    return QFileInfo(path).fileName() + QStringLiteral(" nicht gefunden: ") + path;
}
inline QString programNotExecutable(const QString &path)
{
    return QFileInfo(path).fileName() + QStringLiteral(" ist nicht ausführbar: ") + path;
}
inline QString projectFolderUnavailable(const QString &root)
{
    return QStringLiteral("Projektordner kann nicht angelegt werden: ") + root;
}

// Stands in a shortened output for the lines between its start and its end.
inline QString linesLeftOut(qint64 count)
{
    if (count <= 0)
        return QStringLiteral("[…]");
    return QStringLiteral("[… ") + QString::number(count)
        + (count == 1 ? QStringLiteral(" Zeile") : QStringLiteral(" Zeilen"))
        + QStringLiteral(" ausgelassen …]");
}

inline QString generatorFailed() { return QStringLiteral("Generator fehlgeschlagen"); }
inline QString serverDidNotStart()
{
    return ProjectLayout::serveScript() + QStringLiteral(" konnte nicht starten");
}
inline QString serverStopped() { return QStringLiteral("Server gestoppt"); }
inline QString reportsRegenerated() { return QStringLiteral("Berichte neu generiert"); }
inline QString noCommand() { return QStringLiteral("Kein Befehl"); }

} // namespace ServerMessages
