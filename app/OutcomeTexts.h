#pragma once

#include "paths/ProjectUpgrade.h"
#include "server/Outcome.h"
#include "server/ServerStatus.h"

#include <QString>

// The texts made from what the core reports: the alert texts of the server
// commands and the API line. German, character for character as the user
// reads them.
namespace OutcomeTexts {

// The server's state in the one set of words that the status line, the
// tool tip and the commands' alerts share; the address left out.
QString stateWords(const ServerStatus &status, qint64 port);
// The status line: what a command of ours is doing, else whether the
// server runs (and where) or what holds its port.
QString statusLine(const ServerStatus &status, const QString &dashboardAddress, qint64 port);
QString toolTip(const ServerStatus &status, qint64 port);
// "Port 8765 belegt: …": a program that is no server of this project holds the port.
QString occupied(const PortHolder &holder, qint64 port);
// The API line for a state; "API: —" until the first answer.
QString apiLine(ServerStatus::Api api);

QString message(const OperationOutcome &outcome);

// A command that could not be run at all.
QString failure(const RunFailure &failure);
// An operating system's reason (its English words) in German, the words in
// parentheses.
QString systemError(const QString &technical);
// "Belegt von: …": who holds the port.
QString holder(const PortHolder &holder);
// After the program's own files in the project folder were brought up to
// date: which files the user changed and kept, which the user deleted and
// stay deleted, which could not be updated; or that they came from a newer
// version of the program and were left as they are.
QString upgradeNoticeTitle(const ProjectUpgrade::Outcome &outcome);
QString upgradeNoticeText(const ProjectUpgrade::Outcome &outcome);

// A child's output, with the gap of a shortened one worded.
QString output(const OutputText::Excerpt &excerpt);
// Stands in a shortened output for the lines between its start and its end.
QString linesLeftOut(qint64 count);

} // namespace OutcomeTexts
