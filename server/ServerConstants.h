#pragma once

#include "platform/PortProbe.h"

#include <QString>
#include <QtGlobal>

// Fixed places and names the server control relies on outside the project
// folder: where programs are started from, and what the children are told.
namespace ServerConstants {

// The server listens on the loopback interface only.
inline QString loopbackHost() { return QStringLiteral("127.0.0.1"); }

// Programs are started by absolute path, never looked up on PATH.
inline QString programFolder() { return QStringLiteral("/usr/bin/"); }
inline QString bashPath() { return QStringLiteral("/bin/bash"); }
// Case-sensitive: "x.SH" is a program name, not a script.
inline QString scriptSuffix() { return QStringLiteral(".sh"); }
inline QString interpreter() { return QStringLiteral("python3"); }

// Where this system's lsof and process file system are.
inline QString lsofPath() { return PortProbe::systemSources().lsofPath; }
inline QString procFolder() { return PortProbe::systemSources().procFolder; }

// Set for every child of the command runner (the auth variable's name lives
// with the project layout, since the program also reads it).
inline const char *hostVariable() { return "HARLUNE_HOST"; }
inline const char *portVariable() { return "HARLUNE_PORT"; }
inline QString authFallback() { return QStringLiteral("0"); }

// Waiting on worker threads: how often a condition is looked at again.
inline constexpr int pollStepMs = 50;
// How long a start waits for its server to listen or to end. The shipped
// server listens within a tenth of a second; a slow one counts as started.
inline constexpr int startWaitMs = 5000;
// How long the port is watched after the launched process has ended, for a
// child it started to listen.
inline constexpr int forkGraceMs = 1000;
// Until then a server of ours that lives but does not listen yet is shown
// as starting; after it, as one that takes no connections.
inline constexpr int startPlausibleMs = 60 * 1000;
// The longest a project script may run before it is ended with everything
// it started: the stop script only signals and waits for the port, the
// generator reads a year of receipts (a few seconds on the shipped data).
inline constexpr int stopScriptBoundMs = 30 * 1000;
inline constexpr int generatorBoundMs = 5 * 60 * 1000;

// A stop script may return just before its server lets go of the port.
inline constexpr int stopGraceMs = 1000;

// More of the version answer is never read: the menu does not show it.
inline constexpr qint64 apiAnswerLimit = 64 * 1024;

// A server log larger than this is moved aside (one older copy is kept)
// when a server starts, so the log cannot grow without bound.
inline constexpr qint64 serverLogLimit = 4 * 1024 * 1024;
inline QString rotatedLogSuffix() { return QStringLiteral(".1"); }

} // namespace ServerConstants
