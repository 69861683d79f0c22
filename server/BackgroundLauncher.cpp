#include "server/BackgroundLauncher.h"

#include "paths/ProjectLayout.h"
#include "platform/ChildDescriptors.h"
#include "platform/MakePath.h"
#include "platform/PortProbe.h"
#include "server/CommandRunner.h"
#include "server/OutputText.h"
#include "server/ServerLog.h"
#include "server/ServerConstants.h"

#include <QDir>
#include <QFile>
#include <QProcess>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstdio>

namespace BackgroundLauncher {

namespace {

// Creates the log folder and file as needed and moves an overgrown log
// aside; false in `rotated` when that failed. The log is opened without
// waiting (a FIFO in its place would block the open for ever) and used only
// when it is a regular file, or a link to one. The detached start refuses to
// start the child at all when its output file will not open, so this is
// checked first.
bool prepareLog(const QString &root, const QString &logPath, bool &rotated)
{
    if (const std::optional<QString> failure = MakePath::create(root + QLatin1Char('/') + ProjectLayout::logsFolder()))
        qCWarning(lcServer, "Server log: no logs folder: %s", qUtf8Printable(*failure));
    const QByteArray path = QFile::encodeName(logPath);
    struct stat info {};
    rotated = true;
    if (::stat(path.constData(), &info) == 0 && S_ISREG(info.st_mode)
        && info.st_size > ServerConstants::serverLogLimit) {
        // rename() replaces the older copy in one step.
        const QByteArray to = QFile::encodeName(logPath + ServerConstants::rotatedLogSuffix());
        rotated = ::rename(path.constData(), to.constData()) == 0;
        if (!rotated)
            qCWarning(lcServer, "Server log: %s not moved aside: %s", path.constData(),
                      qUtf8Printable(qt_error_string(errno)));
    }
    const int fd = ::open(path.constData(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) {
        qCWarning(lcServer, "Server log: %s cannot be appended to: %s", path.constData(),
                  qUtf8Printable(qt_error_string(errno)));
        return false;
    }
    const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    ::close(fd);
    if (!regular)
        qCWarning(lcServer, "Server log: %s is no regular file", path.constData());
    return regular;
}

// What the server wrote to its log from `offset` on, shortened.
OutputText::Excerpt logTail(const QString &logPath, qint64 offset)
{
    QFile log(logPath);
    if (!log.open(QIODevice::ReadOnly) || !log.seek(qMin(offset, log.size())))
        return {};
    OutputText::Collector text;
    text.appendAll(log);
    return text.text();
}

} // namespace

Launch startBackground(const QStringList &command, const QString &root,
                            const QProcessEnvironment &environment,
                            const ListeningCheck &listening,
                            const Dispatch::Cancellation::Ticket &ticket)
{
    using Kind = Launch::Kind;
    if (command.isEmpty())
        return {Kind::Failed, std::nullopt, {}, RunFailure{}};
    if (const std::optional<RunFailure> problem = CommandRunner::prepareRoot(root))
        return {Kind::Failed, std::nullopt, {}, problem};

    QProcess server;
    server.setProgram(CommandRunner::programPath(command.constFirst()));
    server.setArguments(command.mid(1));
    server.setWorkingDirectory(root);
    server.setProcessEnvironment(environment);
    server.setStandardInputFile(QProcess::nullDevice());
    server.setProcessChannelMode(QProcess::MergedChannels);
    const QString logPath = root + QLatin1Char('/') + ProjectLayout::serverLog();
    bool rotated = true;
    if (!prepareLog(root, logPath, rotated))
        return {Kind::Failed, std::nullopt, {}, RunFailure{RunFailure::Kind::LogUnusable, logPath, {}, 0}};
    server.setStandardOutputFile(logPath, QIODevice::Append);
    const qint64 logStart = QFileInfo(logPath).size();
    ChildDescriptors::markCloseOnExec();

    qint64 launched = 0;
    if (!server.startDetached(&launched))
        return {Kind::Failed, std::nullopt, {}, CommandRunner::launchFailure(server.program(), server.errorString())};
    const qint32 pid = qint32(launched);
    if (!ticket.track(pid, SIGTERM))
        return {Kind::CalledOff, std::nullopt, {}, std::nullopt};

    bool ended = false;
    Dispatch::waitUntil([&] { return (ended = !PortProbe::isAlive(pid)) || listening(pid); },
                        ServerConstants::startWaitMs, ticket);
    ticket.untrack(pid);
    if (ticket.cancelled()) {
        // The server is no group leader: its group is that of the
        // intermediate process of the detached start.
        if (!ended)
            ::kill(pid, SIGTERM);
        return {Kind::CalledOff, std::nullopt, {}, std::nullopt};
    }
    if (ended)
        return {Kind::EndedAtOnce, std::nullopt, logTail(logPath, logStart), std::nullopt};
    return {Kind::Running, pid, {}, std::nullopt, !rotated};
}

} // namespace BackgroundLauncher
