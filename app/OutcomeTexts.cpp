#include "app/OutcomeTexts.h"

#include "app/ShellTexts.h"
#include "paths/ProjectLayout.h"

#include <QFileInfo>
#include <QStringList>

namespace OutcomeTexts {

namespace {

using Kind = OperationOutcome::Kind;

QString port(const OperationOutcome &outcome)
{
    return QStringLiteral("Port ") + QString::number(outcome.port);
}

// What the command printed, or why it could not run; `fallback` when neither.
QString said(const OperationOutcome &outcome, const QString &fallback = {})
{
    if (outcome.failure)
        return failure(*outcome.failure);
    const QString text = output(outcome.output);
    return text.isEmpty() ? fallback : text;
}

// Lines in order, the empty ones left out.
QString lines(const QStringList &pieces)
{
    QStringList shown;
    for (const QString &piece : pieces) {
        if (!piece.isEmpty())
            shown.append(piece);
    }
    return shown.join(QLatin1Char('\n'));
}

QString withHolder(const OperationOutcome &outcome, const QString &text)
{
    return lines({text, outcome.holder ? holder(*outcome.holder) : QString()});
}

QString endedAtOnce(const OperationOutcome &outcome)
{
    const QString line = ProjectLayout::serveScript()
        + QStringLiteral(" hat sich gleich nach dem Start beendet.");
    const QString tail = output(outcome.output);
    if (tail.isEmpty())
        return line;
    return line + QStringLiteral("\nLetzte Zeilen aus ") + ProjectLayout::serverLog()
        + QStringLiteral(":\n") + tail;
}

} // namespace

QString statusLine(const ServerStatus &status, const QString &dashboardAddress)
{
    switch (status.state()) {
    case ServerStatus::State::Starting: return ShellTexts::startingLine();
    case ServerStatus::State::Stopping: return ShellTexts::stoppingLine();
    case ServerStatus::State::Running:
    case ServerStatus::State::Stopped: break;
    }
    return ShellTexts::statusLine(status.running, dashboardAddress);
}

QString apiLine(ServerStatus::Api api)
{
    switch (api) {
    case ServerStatus::Api::Offline: return ShellTexts::apiLineOffline();
    case ServerStatus::Api::Online: return ShellTexts::apiLineOnline();
    case ServerStatus::Api::NoAnswer: return ShellTexts::apiLineNoAnswer();
    case ServerStatus::Api::Unknown: break;
    }
    return ShellTexts::apiLineInitial();
}

QString message(const OperationOutcome &outcome)
{
    switch (outcome.kind) {
    case Kind::Started:
        return lines({QStringLiteral("Server gestartet (PID ") + QString::number(outcome.pid.value_or(0))
                          + QLatin1Char(')'),
                      outcome.logNotRotated ? QStringLiteral("Das Server-Log ist zu groß, konnte aber nicht nach ")
                              + ProjectLayout::serverLog() + QStringLiteral(".1 verschoben werden.")
                                            : QString()});
    case Kind::PortBusy:
        return withHolder(outcome, port(outcome) + QStringLiteral(" noch belegt – bitte zuerst stoppen."));
    case Kind::GeneratorFailed:
        return said(outcome, QStringLiteral("Generator fehlgeschlagen"));
    case Kind::ServerEndedAtOnce:
        return withHolder(outcome, endedAtOnce(outcome));
    case Kind::ServerDidNotStart:
        return withHolder(outcome, said(outcome, ProjectLayout::serveScript()
                                                     + QStringLiteral(" konnte nicht starten")));
    case Kind::Stopped:
        return said(outcome, QStringLiteral("Server gestoppt"));
    case Kind::StopLeftPortBusy:
        return withHolder(outcome, lines({said(outcome), port(outcome)
                                          + QStringLiteral(" ist noch belegt – der Server wurde nicht gestoppt.")}));
    case Kind::Regenerated:
        return QStringLiteral("Berichte neu generiert");
    case Kind::RegenerationFailed:
        return said(outcome);
    case Kind::ScriptTimedOut:
        return said(outcome);
    }
    return {};
}

QString failure(const RunFailure &failure)
{
    const QString name = QFileInfo(failure.path).fileName();
    switch (failure.kind) {
    case RunFailure::Kind::NoCommand:
        return QStringLiteral("Kein Befehl");
    case RunFailure::Kind::RootUnavailable:
        return QStringLiteral("Projektordner kann nicht angelegt werden: ") + failure.path;
    case RunFailure::Kind::ProgramMissing:
        return name + QStringLiteral(" nicht gefunden: ") + failure.path;
    case RunFailure::Kind::ProgramNotExecutable:
        return name + QStringLiteral(" ist nicht ausführbar: ") + failure.path;
    case RunFailure::Kind::LaunchError:
        return failure.detail;
    case RunFailure::Kind::LogUnusable:
        return QStringLiteral("Fehler: Das Server-Log ") + failure.path
            + QStringLiteral(" ist keine beschreibbare Datei. Der Server wurde nicht gestartet.");
    case RunFailure::Kind::TimedOut: {
        const int seconds = qMax(1, (failure.boundMs + 999) / 1000);
        return failure.path + QStringLiteral(" lief länger als ") + QString::number(seconds)
            + (seconds == 1 ? QStringLiteral(" Sekunde") : QStringLiteral(" Sekunden"))
            + QStringLiteral(" und wurde deshalb abgebrochen.");
    }
    }
    return {};
}

QString holder(const PortHolder &holder)
{
    if (!holder.pid)
        return QStringLiteral("Belegt von einem Programm eines anderen Benutzers");
    const QString process = QStringLiteral("PID ") + QString::number(*holder.pid);
    return QStringLiteral("Belegt von: ")
        + (holder.program ? *holder.program + QStringLiteral(" (") + process + QLatin1Char(')') : process);
}

QString output(const OutputText::Excerpt &excerpt)
{
    return excerpt.joined(linesLeftOut);
}

QString linesLeftOut(qint64 count)
{
    if (count <= 0)
        return QStringLiteral("[…]");
    return QStringLiteral("[… ") + QString::number(count)
        + (count == 1 ? QStringLiteral(" Zeile") : QStringLiteral(" Zeilen"))
        + QStringLiteral(" ausgelassen …]");
}

} // namespace OutcomeTexts
