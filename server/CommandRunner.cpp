#include "server/CommandRunner.h"

#include "paths/ProjectLayout.h"
#include "server/Messages.h"
#include "server/OutputText.h"
#include "server/ServerConstants.h"

#include <QProcess>

namespace CommandRunner {

QProcessEnvironment childEnvironment(const QProcessEnvironment &base, qint64 port)
{
    QProcessEnvironment environment = base;
    const QString auth = QString::fromLatin1(ProjectLayout::authVariable());
    if (!environment.contains(auth))
        environment.insert(auth, ServerConstants::authFallback());
    environment.insert(QString::fromLatin1(ServerConstants::hostVariable()),
                       ServerConstants::loopbackHost());
    environment.insert(QString::fromLatin1(ServerConstants::portVariable()),
                       QString::number(port));
    return environment;
}

QString programPath(const QString &name)
{
    return ServerConstants::programFolder() + name;
}

Run runShell(const QStringList &command, bool allowFailure, const QString &root,
             const QProcessEnvironment &environment)
{
    if (command.isEmpty())
        return {ShellResult{false, ServerMessages::noCommand(), std::nullopt}, std::nullopt};

    QProcess child;
    const QString &first = command.constFirst();
    if (first.endsWith(ServerConstants::scriptSuffix(), Qt::CaseSensitive)) {
        child.setProgram(ServerConstants::bashPath());
        child.setArguments({root + QLatin1Char('/') + first});
    } else {
        child.setProgram(programPath(first));
        child.setArguments(command.mid(1));
    }
    child.setWorkingDirectory(root);
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::MergedChannels);
    // An inherited open pipe would leave a script that reads its input
    // waiting for ever.
    child.setStandardInputFile(QProcess::nullDevice());

    child.start();
    if (!child.waitForStarted(-1))
        return {ShellResult{false, child.errorString(), std::nullopt}, std::nullopt};
    // Keeps reading the merged channel while waiting, so output of any size
    // drains without the child stalling on a full pipe.
    child.waitForFinished(-1);

    const QString output = OutputText::trimmed(
        OutputText::decodeUtf8(child.readAll()).value_or(QString()));
    // A child ended by a signal has a meaningless exit code.
    const bool exitedCleanly = child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0;
    return {ShellResult{allowFailure || exitedCleanly, output, std::nullopt},
            OutputText::lastLine(output)};
}

} // namespace CommandRunner
