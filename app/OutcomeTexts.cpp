#include "app/OutcomeTexts.h"

#include "app/AppIdentity.h"
#include "app/ShellTexts.h"
#include "paths/ProjectLayout.h"
#include "platform/SystemError.h"

#include <QFileInfo>

#include <QStringList>
#include <cerrno>

namespace OutcomeTexts {

namespace {

using Kind = OperationOutcome::Kind;

QString port(const OperationOutcome &outcome) { return QStringLiteral("Port ") + QString::number(outcome.port); }

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

// Said of a project root that is not as the commands need it: where it
// came from, when the user set it.
QString overrideNote()
{
    const char *variable = ProjectLayout::projectOverrideVariable();
    if (!qEnvironmentVariableIsSet(variable))
        return {};
    return QStringLiteral("\nDer Ordner ist über ") + QLatin1String(variable) + QStringLiteral(" eingestellt (")
            + qEnvironmentVariable(variable) + QStringLiteral(") – bitte prüfen Sie diese Angabe.");
}

// The port is held by what is no server of this project: said as the
// status line says it, and what the command did not do.
bool heldByStranger(const OperationOutcome &outcome)
{
    return outcome.holder && outcome.holder->pid && !outcome.holder->thisProject;
}

// The stop ended nothing and the port is still held. The stop script,
// where it said something, knows best why; the holder is added unless it
// named it already.
QString stopLeftPortBusy(const OperationOutcome &outcome)
{
    if (heldByStranger(outcome))
        return lines({outcome.failure ? failure(*outcome.failure) : QString(),
                      occupied(*outcome.holder, outcome.port) + QStringLiteral(" – es wurde nicht beendet.")});
    const QString notStopped = port(outcome) + QStringLiteral(" ist noch belegt – der Server wurde nicht gestoppt.");
    const QString text = outcome.failure ? QString() : output(outcome.output);
    if (text.isEmpty())
        return withHolder(outcome, lines({outcome.failure ? failure(*outcome.failure) : QString(), notStopped}));
    const bool named = outcome.holder && outcome.holder->pid
            && text.contains(QStringLiteral("PID ") + QString::number(*outcome.holder->pid));
    return named ? text : withHolder(outcome, text);
}

QString heldByOther(const OperationOutcome &outcome)
{
    return QStringLiteral("Es lief kein Server dieses Programms auf ") + port(outcome)
            + QStringLiteral(
                    ". Der Port ist von einem Programm eines anderen Benutzers belegt; es wurde nicht beendet.");
}

QString endedAtOnce(const OperationOutcome &outcome)
{
    const QString line = ProjectLayout::serveScript() + QStringLiteral(" hat sich gleich nach dem Start beendet.");
    const QString tail = output(outcome.output);
    if (tail.isEmpty())
        return line;
    return line + QStringLiteral("\nLetzte Zeilen aus ") + ProjectLayout::serverLog() + QStringLiteral(":\n") + tail;
}

} // namespace

QString stateWords(const ServerStatus &status, qint64 port)
{
    switch (status.state()) {
    case ServerStatus::State::Starting: return ShellTexts::startingLine();
    case ServerStatus::State::Restarting: return ShellTexts::restartingLine();
    case ServerStatus::State::Stopping: return ShellTexts::stoppingLine();
    case ServerStatus::State::Launching:
        return QStringLiteral("Server startet … (PID ") + QString::number(status.pid.value_or(0)) + QLatin1Char(')');
    case ServerStatus::State::Unresponsive:
        return QStringLiteral("Server (PID ") + QString::number(status.pid.value_or(0))
                + QStringLiteral(") nimmt keine Verbindungen an");
    case ServerStatus::State::Occupied: return occupied(*status.stranger, port);
    case ServerStatus::State::Running: return ShellTexts::runningWords();
    case ServerStatus::State::Stopped: break;
    }
    // Nothing is known before the first probe has answered.
    return status.known ? ShellTexts::stoppedLine() : ShellTexts::statusLineInitial();
}

QString statusLine(const ServerStatus &status, const QString &dashboardAddress, qint64 port)
{
    if (status.state() == ServerStatus::State::Running)
        return ShellTexts::statusLine(true, dashboardAddress);
    return stateWords(status, port);
}

QString toolTip(const ServerStatus &status, qint64 port) { return ShellTexts::toolTip(stateWords(status, port)); }

QString occupied(const PortHolder &holder, qint64 port)
{
    const QString held = QStringLiteral("Port ") + QString::number(port) + QStringLiteral(" belegt: ");
    if (!holder.pid)
        return held + QStringLiteral("Programm eines anderen Benutzers");
    const QString process = QStringLiteral("PID ") + QString::number(*holder.pid);
    const QString who = holder.otherProject ? QStringLiteral("Berichtsserver aus ") + *holder.otherProject
                    + QStringLiteral(" (") + process + QLatin1Char(')')
            : holder.program ? *holder.program + QStringLiteral(" (") + process + QLatin1Char(')')
                             : process;
    return held + who + QStringLiteral(", nicht dieser Projektordner");
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
        return lines(
                {QStringLiteral("Server gestartet (PID ") + QString::number(outcome.pid.value_or(0)) + QLatin1Char(')'),
                 outcome.logNotRotated ? QStringLiteral("Das Server-Log ist zu groß, konnte aber nicht nach ")
                                 + ProjectLayout::serverLog() + QStringLiteral(".1 verschoben werden.")
                                       : QString()});
    case Kind::StartedNotListening:
        return QStringLiteral("Server gestartet (PID ") + QString::number(outcome.pid.value_or(0))
                + QStringLiteral("), er nimmt aber noch keine Verbindungen an. Das Menü zeigt es an, sobald er auf ")
                + port(outcome) + QStringLiteral(" bereit ist.");
    case Kind::PortBusy:
        if (heldByStranger(outcome))
            return occupied(*outcome.holder, outcome.port) + QStringLiteral(" – der Server wurde nicht gestartet.");
        return withHolder(outcome, port(outcome) + QStringLiteral(" noch belegt – bitte zuerst stoppen."));
    case Kind::GeneratorFailed: return said(outcome, QStringLiteral("Generator fehlgeschlagen"));
    case Kind::ServerEndedAtOnce: return withHolder(outcome, endedAtOnce(outcome));
    case Kind::ServerDidNotStart:
        return withHolder(outcome,
                          said(outcome, ProjectLayout::serveScript() + QStringLiteral(" konnte nicht starten")));
    case Kind::Stopped:
        // The stop script found no listener; what it said would deny the end.
        if (outcome.endedSilent)
            return QStringLiteral("Server gestoppt (PID ") + QString::number(*outcome.endedSilent)
                    + QStringLiteral("); er hatte noch keine Verbindungen angenommen.");
        return said(outcome, QStringLiteral("Server gestoppt"));
    case Kind::StopLeftPortBusy: return stopLeftPortBusy(outcome);
    case Kind::PortHeldByOther: return heldByOther(outcome);
    case Kind::ProjectIncomplete: return said(outcome);
    case Kind::Regenerated: return QStringLiteral("Berichte neu generiert");
    case Kind::RegenerationFailed: return said(outcome, QStringLiteral("Generator fehlgeschlagen"));
    case Kind::ScriptTimedOut: return said(outcome);
    }
    return {};
}

QString failure(const RunFailure &failure)
{
    const QString name = QFileInfo(failure.path).fileName();
    switch (failure.kind) {
    case RunFailure::Kind::NoCommand: return QStringLiteral("Kein Befehl");
    case RunFailure::Kind::RootMissing:
        return QStringLiteral("Der Projektordner ") + failure.path + QStringLiteral(" ist nicht vorhanden.")
                + overrideNote();
    case RunFailure::Kind::ScriptMissing:
        return QStringLiteral("Im Projektordner ") + failure.path + QStringLiteral(" fehlt ") + failure.detail
                + QLatin1Char('.') + overrideNote();
    case RunFailure::Kind::ProgramMissing: return name + QStringLiteral(" nicht gefunden: ") + failure.path;
    case RunFailure::Kind::ProgramNotExecutable: return name + QStringLiteral(" ist nicht ausführbar: ") + failure.path;
    case RunFailure::Kind::LaunchError:
        return name + QStringLiteral(" konnte nicht gestartet werden: ") + systemError(failure.detail);
    case RunFailure::Kind::NoInterpreter:
        return QStringLiteral("Kein nutzbares Python 3 gefunden. Bitte installieren Sie die Befehlszeilenwerkzeuge "
                              "von Apple (im Terminal: xcode-select --install) oder Python 3 von python.org oder "
                              "mit Homebrew (brew install python).\nGesucht in:\n")
                + failure.detail;
    case RunFailure::Kind::LogUnusable:
        return QStringLiteral("Das Server-Log ") + failure.path
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

QString systemError(const QString &technical)
{
    // The platform gives its launch reasons in English words only: the
    // cause they name is said as the system layer words it.
    for (const int code : {ENOENT, EACCES, EPERM, ENOSPC, EDQUOT, EROFS, ENOTDIR, EISDIR, ELOOP, ENAMETOOLONG, EIO}) {
        if (!technical.isEmpty() && technical.endsWith(qt_error_string(code)))
            return SystemError::describe(code);
    }
    if (technical.isEmpty())
        return QStringLiteral("Unbekannter Fehler");
    return QStringLiteral("Systemfehler (") + technical + QLatin1Char(')');
}

QString holder(const PortHolder &holder)
{
    if (!holder.pid)
        return QStringLiteral("Belegt von einem Programm eines anderen Benutzers");
    const QString process = QStringLiteral("PID ") + QString::number(*holder.pid);
    return QStringLiteral("Belegt von: ")
            + (holder.program ? *holder.program + QStringLiteral(" (") + process + QLatin1Char(')') : process);
}

QString upgradeNoticeTitle(const ProjectUpgrade::Outcome &outcome)
{
    return outcome.newerVersion.isEmpty() ? QStringLiteral("Projektdateien aktualisiert")
                                          : QStringLiteral("Projektdateien nicht aktualisiert");
}

QString upgradeNoticeText(const ProjectUpgrade::Outcome &outcome)
{
    const QString dataStays = QStringLiteral("Ihre Buchungen, Belege und Berichte bleiben, wie sie sind.");
    if (!outcome.newerVersion.isEmpty()) {
        return QStringLiteral("Die mitgelieferten Skripte im Projektordner stammen von einer neueren Version "
                              "von Harlune (%1) als dieser (%2). Eine ältere Version ersetzt sie nicht: Sie "
                              "bleiben, wie sie sind. ")
                       .arg(outcome.newerVersion, QString::fromUtf8(AppIdentity::version))
                + dataStays;
    }
    const bool allNew = outcome.kept.isEmpty() && outcome.deleted.isEmpty();
    QStringList said{(!outcome.failed.isEmpty() ? QStringLiteral("Nicht alle mitgelieferten Skripte im Projektordner "
                                                                 "sind auf den neuen Stand gebracht.")
                              : allNew
                              ? QStringLiteral("Die mitgelieferten Skripte im Projektordner sind auf den neuen Stand "
                                               "gebracht.")
                              : QStringLiteral("Die mitgelieferten Skripte im Projektordner sind auf den neuen Stand "
                                               "gebracht, bis auf die unten genannten."))
                     + QLatin1Char(' ') + dataStays};
    if (!outcome.kept.isEmpty()) {
        said << QString()
             << QStringLiteral("Diese Dateien haben Sie selbst geändert; sie bleiben "
                               "unverändert, die neue Fassung liegt daneben:");
        for (const ProjectUpgrade::Kept &kept : outcome.kept)
            said << QStringLiteral("• %1 → neu: %2").arg(kept.name, kept.beside);
        said << QString()
             << QStringLiteral("Ihren Fassungen fehlen die Korrekturen der neuen. Vergleichen "
                               "Sie beide; brauchen Sie Ihre Änderung nicht mehr, ersetzen Sie "
                               "die Datei durch die neue Fassung.");
    }
    if (!outcome.deleted.isEmpty()) {
        said << QString() << QStringLiteral("Diese Dateien haben Sie gelöscht; sie bleiben gelöscht:");
        for (const QString &name : outcome.deleted)
            said << QStringLiteral("• ") + name;
    }
    if (!outcome.failed.isEmpty()) {
        said << QString()
             << QStringLiteral("Nicht aktualisiert werden konnten (Datenträger voll, fehlende "
                               "Rechte oder ein fremder Eintrag unter dem Namen):");
        for (const QString &name : outcome.failed)
            said << QStringLiteral("• ") + name;
        said << QStringLiteral("Beim nächsten Start versucht das Programm es erneut.");
    }
    return said.join(QLatin1Char('\n'));
}

QString output(const OutputText::Excerpt &excerpt) { return excerpt.joined(linesLeftOut); }

QString linesLeftOut(qint64 count)
{
    if (count <= 0)
        return QStringLiteral("[…]");
    return QStringLiteral("[… ") + QString::number(count)
            + (count == 1 ? QStringLiteral(" Zeile") : QStringLiteral(" Zeilen")) + QStringLiteral(" ausgelassen …]");
}

} // namespace OutcomeTexts
