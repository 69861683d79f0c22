#include "server/CommandRunner.h"

#include "paths/ProjectLayout.h"
#include "platform/PythonChoice.h"
#include "server/OutputText.h"
#include "server/ServerConstants.h"
#include "server/ServerLog.h"

#include <QFileInfo>
#include <QProcess>

#include <QDeadlineTimer>

#include <climits>
#include <csignal>
#include <unistd.h>

namespace CommandRunner {

QProcessEnvironment serverEnvironment(const QProcessEnvironment &base, qint64 port)
{
    QProcessEnvironment environment = base;
    environment.insert(QString::fromLatin1(ServerConstants::hostVariable()), ServerConstants::loopbackHost());
    environment.insert(QString::fromLatin1(ServerConstants::portVariable()), QString::number(port));
    return environment;
}

QProcessEnvironment childEnvironment(const QProcessEnvironment &base, qint64 port)
{
    QProcessEnvironment environment = serverEnvironment(base, port);
    const QString auth = QString::fromLatin1(ProjectLayout::authVariable());
    if (!environment.contains(auth))
        environment.insert(auth, ServerConstants::authFallback());
    return environment;
}

std::optional<QString> programPath(const QString &name)
{
    if (name == ServerConstants::interpreter())
        return PythonChoice::find();
    return ServerConstants::programFolder() + name;
}

RunFailure noInterpreter()
{
    return {RunFailure::Kind::NoInterpreter, {}, PythonChoice::searchedPaths().join(QLatin1Char('\n'))};
}

std::optional<RunFailure> checkRoot(const QString &root)
{
    // Never made here: a mistyped root would become an empty project.
    if (QFileInfo(root).isDir())
        return std::nullopt;
    qCWarning(lcServer, "Project folder missing: %s", qUtf8Printable(root));
    return RunFailure{RunFailure::Kind::RootMissing, root, {}};
}

std::optional<RunFailure> checkScripts(const QString &root, const QStringList &scripts)
{
    if (std::optional<RunFailure> missing = checkRoot(root))
        return missing;
    for (const QString &script : scripts) {
        if (!QFileInfo(root + QLatin1Char('/') + script).isFile())
            return RunFailure{RunFailure::Kind::ScriptMissing, root, script};
    }
    return std::nullopt;
}

RunFailure launchFailure(const QString &path, const QString &platformError)
{
    const QFileInfo program(path);
    if (!program.exists())
        return {RunFailure::Kind::ProgramMissing, path, {}};
    if (program.isDir() || !program.isExecutable())
        return {RunFailure::Kind::ProgramNotExecutable, path, {}};
    return {RunFailure::Kind::LaunchError, path, platformError};
}

Run runShell(const QStringList &command, bool allowFailure, const QString &root, const QProcessEnvironment &environment,
             const Dispatch::Cancellation::Ticket &ticket, int boundMs)
{
    const auto failure = [](const RunFailure &why) {
        return Run{ShellResult{false, {}, std::nullopt, why}, std::nullopt};
    };
    if (command.isEmpty())
        return failure({});
    if (const std::optional<RunFailure> problem = checkRoot(root))
        return failure(*problem);

    QProcess child;
    const QString &first = command.constFirst();
    if (first.endsWith(ServerConstants::scriptSuffix(), Qt::CaseSensitive)) {
        child.setProgram(ServerConstants::bashPath());
        child.setArguments({root + QLatin1Char('/') + first});
    } else {
        const std::optional<QString> program = programPath(first);
        if (!program)
            return failure(noInterpreter());
        child.setProgram(*program);
        child.setArguments(command.mid(1));
    }
    child.setWorkingDirectory(root);
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::MergedChannels);
    // An inherited open pipe would leave a script that reads its input
    // waiting for ever.
    child.setStandardInputFile(QProcess::nullDevice());
    // A group of its own, so that calling the work off also ends whatever
    // the script started (lsof, sleep, a generator's helpers).
    child.setChildProcessModifier([] { ::setpgid(0, 0); });

    child.start();
    if (!child.waitForStarted(-1))
        return failure(launchFailure(child.program(), child.errorString()));
    const qint64 group = child.processId();
    ticket.track(group, SIGKILL);

    // Read while the child runs, so output of any size drains without the
    // child stalling on a full pipe, and keep only its two ends.
    OutputText::Collector output;
    const QDeadlineTimer deadline(boundMs < 0 ? QDeadlineTimer::Forever : QDeadlineTimer(boundMs));
    bool timedOut = false;
    while (child.state() != QProcess::NotRunning) {
        output.append(child.readAll());
        if (deadline.hasExpired()) {
            timedOut = true;
            ::kill(-pid_t(group), SIGKILL);
            child.waitForFinished(-1);
            break;
        }
        const int left = int(qMin<qint64>(deadline.remainingTime(), INT_MAX));
        if (!child.waitForReadyRead(left) && child.state() != QProcess::NotRunning && !deadline.hasExpired())
            child.waitForFinished(left);
    }
    output.append(child.readAll());
    ticket.untrack(group);
    if (timedOut) {
        // The script is what the user knows: the generator, not python3.
        const QString script = command.size() > 1 ? command.at(1) : first;
        return {ShellResult{false, output.text(), std::nullopt,
                            RunFailure{RunFailure::Kind::TimedOut, script, {}, boundMs}},
                std::nullopt};
    }

    const OutputText::Excerpt text = output.text();
    // A child ended by a signal has a meaningless exit code.
    const bool exitedCleanly = child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0;
    return {ShellResult{allowFailure || exitedCleanly, text, std::nullopt, std::nullopt}, text.lastLine()};
}

} // namespace CommandRunner
