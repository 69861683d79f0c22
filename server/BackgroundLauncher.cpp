#include "server/BackgroundLauncher.h"

#include "paths/ProjectLayout.h"
#include "server/CommandRunner.h"
#include "server/Messages.h"

#include <QDir>
#include <QFile>
#include <QProcess>

namespace BackgroundLauncher {

namespace {

// Creates the log folder and file as needed and tells whether the log can be
// appended to. The detached start refuses to start the child at all when its
// output file will not open, so this is checked first.
bool logIsWritable(const QString &root, const QString &logPath)
{
    QDir().mkpath(root + QLatin1Char('/') + ProjectLayout::logsFolder());
    QFile log(logPath);
    return log.open(QIODevice::WriteOnly | QIODevice::Append);
}

} // namespace

ShellResult startBackground(const QStringList &command, const QString &root)
{
    if (command.isEmpty())
        return {false, ServerMessages::noCommand(), std::nullopt};

    QProcess server;
    server.setProgram(CommandRunner::programPath(command.constFirst()));
    server.setArguments(command.mid(1));
    server.setWorkingDirectory(root);
    server.setStandardInputFile(QProcess::nullDevice());
    server.setProcessChannelMode(QProcess::MergedChannels);
    const QString logPath = root + QLatin1Char('/') + ProjectLayout::serverLog();
    if (logIsWritable(root, logPath))
        server.setStandardOutputFile(logPath, QIODevice::Append);

    qint64 pid = 0;
    if (!server.startDetached(&pid))
        return {false, server.errorString(), std::nullopt};
    return {true, ServerMessages::launchedPid(pid), qint32(pid)};
}

} // namespace BackgroundLauncher
