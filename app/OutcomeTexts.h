#pragma once

#include "server/Outcome.h"
#include "server/ServerStatus.h"

#include <QString>

// The texts made from what the core reports: the alert texts of the server
// commands and the API line. German, character for character as the user
// reads them.
namespace OutcomeTexts {

// The status line: what a command of ours is doing, else whether the
// server runs (and where).
QString statusLine(const ServerStatus &status, const QString &dashboardAddress);
// The API line for a state; "API: —" until the first answer.
QString apiLine(ServerStatus::Api api);

QString message(const OperationOutcome &outcome);

// A command that could not be run at all.
QString failure(const RunFailure &failure);
// "Belegt von: …": who holds the port.
QString holder(const PortHolder &holder);
// A child's output, with the gap of a shortened one worded.
QString output(const OutputText::Excerpt &excerpt);
// Stands in a shortened output for the lines between its start and its end.
QString linesLeftOut(qint64 count);

} // namespace OutcomeTexts
