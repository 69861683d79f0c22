#pragma once

#include "paths/ProjectLayout.h"

#include <QString>
#include <QtGlobal>

// The German texts the server operations hand to their completions.
namespace ServerMessages {

inline QString portStillBusy(qint64 port)
{
    return QStringLiteral("Port ") + QString::number(port)
        + QStringLiteral(" noch belegt – bitte zuerst stoppen.");
}

inline QString serverStarted(qint32 pid)
{
    return QStringLiteral("Server gestartet (PID ") + QString::number(pid) + QLatin1Char(')');
}

// What a launch reports in its output before the reply step words it.
inline QString launchedPid(qint64 pid) { return QStringLiteral("PID ") + QString::number(pid); }

inline QString generatorFailed() { return QStringLiteral("Generator fehlgeschlagen"); }
inline QString serverDidNotStart()
{
    return ProjectLayout::serveScript() + QStringLiteral(" konnte nicht starten");
}
inline QString serverStopped() { return QStringLiteral("Server gestoppt"); }
inline QString reportsRegenerated() { return QStringLiteral("Berichte neu generiert"); }
inline QString noCommand() { return QStringLiteral("Kein Befehl"); }

} // namespace ServerMessages
