#include "server/BackgroundLauncher.h"

#include "paths/ProjectLayout.h"
#include "platform/ChildDescriptors.h"
#include "platform/DetachedLaunch.h"
#include "platform/MakePath.h"
#include "platform/PortProbe.h"
#include "server/CommandRunner.h"
#include "server/OutputText.h"
#include "server/ServerConstants.h"
#include "server/ServerLog.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace BackgroundLauncher {

namespace {

// Creates the log folder and file as needed and moves an overgrown log
// aside; false in `rotated` when that failed. The log is opened without
// waiting (a FIFO in its place would block the open for ever) and used only
// when it is a regular file, or a link to one: checked before anything is
// launched.
bool prepareLog(const QString &root, const QString &logPath, bool &rotated)
{
    if (const std::optional<QString> failure = MakePath::create(root + QLatin1Char('/') + ProjectLayout::logsFolder()))
        qCWarning(lcServer, "Server log: no logs folder: %s", qUtf8Printable(*failure));
    const QByteArray path = QFile::encodeName(logPath);
    struct stat info
    { };
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

Launch startBackground(const QStringList &command, const QString &root, const QProcessEnvironment &environment,
                       const PortHolder &holder, const Dispatch::Cancellation::Ticket &ticket)
{
    using Kind = Launch::Kind;
    if (command.isEmpty())
        return {Kind::Failed, std::nullopt, {}, RunFailure{}};
    if (const std::optional<RunFailure> problem = CommandRunner::checkRoot(root))
        return {Kind::Failed, std::nullopt, {}, problem};

    const std::optional<QString> program = CommandRunner::programPath(command.constFirst());
    if (!program)
        return {Kind::Failed, std::nullopt, {}, CommandRunner::noInterpreter()};
    const QString logPath = root + QLatin1Char('/') + ProjectLayout::serverLog();
    bool rotated = true;
    if (!prepareLog(root, logPath, rotated))
        return {Kind::Failed, std::nullopt, {}, RunFailure{RunFailure::Kind::LogUnusable, logPath, {}, 0}};
    const qint64 logStart = QFileInfo(logPath).size();
    ChildDescriptors::markCloseOnExec();

    const DetachedLaunch::Started started =
            DetachedLaunch::start(*program, command.mid(1), root, environment.toStringList(), logPath);
    if (!started.process)
        return {Kind::Failed, std::nullopt, {}, CommandRunner::launchFailure(*program, qt_error_string(started.error))};
    const ProcessHandle &process = *started.process;
    if (!ticket.track(process, SIGTERM))
        return {Kind::CalledOff, std::nullopt, {}, std::nullopt};

    // The listener is the server's when it descends from it, or, once the
    // process we launched has ended, when it is of the session it began.
    const auto listener = [&]() -> std::optional<qint32> {
        const std::optional<qint32> pid = holder();
        if (pid
            && (PortProbe::sessionOf(*pid) == started.session
                || (PortProbe::descendsFrom(*pid, process.pid()) && process.isAlive())))
            return pid;
        return std::nullopt;
    };
    std::optional<qint32> listens;
    bool ended = false;
    // A server that forks may end its first process at once while the child
    // goes on to listen: the port is watched a while longer, unless nothing
    // is left of its group (an ended process counts until it is reaped).
    QElapsedTimer sinceEnd;
    Dispatch::waitUntil(
            [&] {
                if ((listens = listener()))
                    return true;
                if (process.isAlive())
                    return false;
                if (!sinceEnd.isValid())
                    sinceEnd.start();
                return ended = !PortProbe::groupLives(started.session)
                        || sinceEnd.hasExpired(ServerConstants::forkGraceMs);
            },
            ServerConstants::startWaitMs, ticket);
    ticket.untrack(process);
    if (ticket.cancelled()) {
        // The server is no group leader: its group is that of the
        // intermediate process of the detached start.
        process.signal(SIGTERM);
        return {Kind::CalledOff, std::nullopt, {}, std::nullopt};
    }
    std::optional<ProcessHandle> server = process;
    if (listens && !process.isAlive()) {
        // Known by its session, which no stranger joins.
        server = ProcessHandle::open(*listens);
        ended = !server || PortProbe::sessionOf(*listens) != started.session;
    }
    if (ended || !server->isAlive())
        return {Kind::EndedAtOnce, std::nullopt, logTail(logPath, logStart), std::nullopt};
    return {listens ? Kind::Running : Kind::NotListening, server, {}, std::nullopt, !rotated};
}

} // namespace BackgroundLauncher
