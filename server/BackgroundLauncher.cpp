#include "server/BackgroundLauncher.h"

#include "paths/ProjectLayout.h"
#include "platform/ChildDescriptors.h"
#include "platform/PortProbe.h"
#include "server/CommandRunner.h"
#include "server/Messages.h"
#include "server/OutputText.h"
#include "server/ServerConstants.h"

#include <QDir>
#include <QFile>
#include <QProcess>

#include <csignal>
#include <cstdio>

namespace BackgroundLauncher {

namespace {

// Creates the log folder and file as needed, moves an overgrown log aside,
// and tells whether the log can be appended to. The detached start refuses
// to start the child at all when its output file will not open, so this is
// checked first.
bool prepareLog(const QString &root, const QString &logPath)
{
    QDir().mkpath(root + QLatin1Char('/') + ProjectLayout::logsFolder());
    if (QFileInfo(logPath).size() > ServerConstants::serverLogLimit) {
        // rename() replaces the older copy in one step.
        const QByteArray from = QFile::encodeName(logPath);
        const QByteArray to = QFile::encodeName(logPath + ServerConstants::rotatedLogSuffix());
        ::rename(from.constData(), to.constData());
    }
    QFile log(logPath);
    return log.open(QIODevice::WriteOnly | QIODevice::Append);
}

// What the server wrote to its log from `offset` on, shortened.
QString logTail(const QString &logPath, qint64 offset)
{
    QFile log(logPath);
    if (!log.open(QIODevice::ReadOnly) || !log.seek(qMin(offset, log.size())))
        return QString();
    OutputText::Collector text;
    text.appendAll(log);
    return text.text();
}

} // namespace

ShellResult startBackground(const QStringList &command, const QString &root,
                            const QProcessEnvironment &environment,
                            const ListeningCheck &listening,
                            const Dispatch::Cancellation::Ticket &ticket)
{
    if (command.isEmpty())
        return {false, ServerMessages::noCommand(), std::nullopt};
    if (const std::optional<QString> problem = CommandRunner::prepareRoot(root))
        return {false, *problem, std::nullopt};

    QProcess server;
    server.setProgram(CommandRunner::programPath(command.constFirst()));
    server.setArguments(command.mid(1));
    server.setWorkingDirectory(root);
    server.setProcessEnvironment(environment);
    server.setStandardInputFile(QProcess::nullDevice());
    server.setProcessChannelMode(QProcess::MergedChannels);
    const QString logPath = root + QLatin1Char('/') + ProjectLayout::serverLog();
    const bool logged = prepareLog(root, logPath);
    if (logged)
        server.setStandardOutputFile(logPath, QIODevice::Append);
    const qint64 logStart = logged ? QFileInfo(logPath).size() : 0;
    ChildDescriptors::markCloseOnExec();

    qint64 launched = 0;
    if (!server.startDetached(&launched))
        return {false, CommandRunner::launchFailure(server.program(), server.errorString()), std::nullopt};
    const qint32 pid = qint32(launched);
    // Its own session, so its group is its identifier.
    if (!ticket.track(pid, SIGTERM))
        return {false, QString(), std::nullopt};

    bool ended = false;
    Dispatch::waitUntil([&] { return (ended = !PortProbe::isAlive(pid)) || listening(pid); },
                        ServerConstants::startWaitMs, ticket);
    ticket.untrack(pid);
    if (ticket.cancelled()) {
        if (!ended)
            ::kill(-pid, SIGTERM);
        return {false, QString(), std::nullopt};
    }
    if (ended)
        return {false, ServerMessages::serverEndedAtOnce(logged ? logTail(logPath, logStart) : QString()),
                std::nullopt};
    return {true, ServerMessages::launchedPid(pid), pid};
}

} // namespace BackgroundLauncher
