#include "server/ServerState.h"

#include "paths/ProjectLayout.h"
#include "paths/ProjectPaths.h"
#include "platform/PortProbe.h"
#include "platform/ProcessPlace.h"
#include "server/BackgroundLauncher.h"
#include "server/CommandRunner.h"
#include "server/ServerConstants.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QProcessEnvironment>

#include <algorithm>
#include <csignal>

ServerState::ServerState(ServerManager::Config config)
    : m_config(std::move(config))
{
}

QString ServerState::projectRoot() const
{
    return m_config.projectRoot ? m_config.projectRoot() : ProjectPaths::buchhaltungRoot();
}

QString ServerState::provisionedRoot() const
{
    return m_config.projectRoot ? m_config.projectRoot() : ProjectPaths::provision();
}

std::optional<qint32> ServerState::serverPID() const
{
    const std::optional<ProcessHandle> recorded = server.get();
    return recorded ? std::optional(recorded->pid()) : std::nullopt;
}

bool ServerState::isRunning() const
{
    const std::optional<ProcessHandle> recorded = server.get();
    const PortStatus answer = probePort();
    if (recorded && recorded->isAlive() && (answer.isUnknown() || servedBy(answer, *recorded)))
        return true;
    return listenerRunning(answer);
}

bool ServerState::servedBy(const PortStatus &answer, const ProcessHandle &process)
{
    // A server may fork and listen in its child. Its number leads to it
    // only while it lives.
    return answer.pid && PortProbe::descendsFrom(*answer.pid, process.pid()) && process.isAlive();
}

bool ServerState::servesPort(const ProcessHandle &process) const { return servedBy(probePort(), process); }

bool ServerState::refreshStatus(Silence *silence) { return *refresh(silence, false); }

std::optional<bool> ServerState::refresh(Silence *silence, bool atOnce)
{
    // Whatever is done here before a probe that cannot answer at once is
    // done again, to the same end, by the probe that can.
    // Usually the same process, asked about once.
    const std::optional<ProcessHandle> recorded = server.get();
    const bool recordedAlive = recorded && recorded->isAlive();
    if (const std::optional<Launched> ours = launched.get();
        ours && !(ours->process == recorded ? recordedAlive : ours->process.isAlive()))
        launched.resetIf(ours);
    // A live recorded server runs only while the port is its own: a process
    // alone serves nobody.
    if (recorded) {
        if (recordedAlive) {
            const std::optional<PortStatus> answer = askPort(atOnce);
            if (!answer)
                return std::nullopt;
            // No answer from the probe: nothing speaks against it.
            if (answer->isUnknown())
                return true;
            if (servedBy(*answer, *recorded)) {
                if (std::optional<Launched> ours = launched.get();
                    ours && ours->process == *recorded && !ours->listened) {
                    Launched heard = *ours;
                    heard.listened = true;
                    launched.replaceIf(ours, heard);
                }
                return true;
            }
            const std::optional<Launched> ours = launched.get();
            const bool young = ours && ours->process == *recorded
                    && QDeadlineTimer::current().deadline() - ours->atMs < ServerConstants::startPlausibleMs;
            if (silence)
                *silence = young ? Silence::Starting : Silence::Unresponsive;
            return false;
        }
        // A start may have recorded its server meanwhile.
        server.resetIf(recorded);
    }
    const std::optional<PortStatus> answer = askPort(atOnce);
    if (!answer)
        return std::nullopt;
    // Only a fresh answer is adopted, only a server of this project (another
    // program on the port is shown as what it is), and only the process it named.
    if (answer->pid) {
        if (!ofThisProject(*answer->pid))
            return false;
        if (const std::optional<ProcessHandle> holder = m_lastHolder.get(); holder && holder->pid() == answer->pid)
            server.set(holder);
    }
    return listenerRunning(*answer);
}

ServerObservation ServerState::observe() { return *observe(false); }

std::optional<ServerObservation> ServerState::observeAtOnce() { return observe(true); }

std::optional<ServerObservation> ServerState::observe(bool atOnce)
{
    ServerObservation seen;
    const std::optional<bool> running = refresh(&seen.silence, atOnce);
    if (!running)
        return std::nullopt;
    seen.running = *running;
    seen.process = server.get();
    seen.pid = serverPID();
    seen.port = portStatus();
    if (const std::optional<PortHolder> held =
                seen.running || seen.silence != Silence::None ? std::nullopt : holder(seen.port);
        held && !held->thisProject)
        seen.stranger = held;
    seen.holder = m_lastHolder.get();
    return seen;
}

std::optional<qint32> ServerState::endSilentLaunch(const Dispatch::Cancellation::Ticket &ticket, int graceMs)
{
    const std::optional<Launched> ours = launched.get();
    if (!ours)
        return std::nullopt;
    const ProcessHandle &process = ours->process;
    std::optional<qint32> ended;
    if (process.isAlive() && !servesPort(process)) {
        // What listened in a child and lost it to the stop script is no
        // server that never listened, though it must end all the same.
        if (!ours->listened)
            ended = process.pid();
        // Only the process itself: it leads no group of its own.
        process.signal(SIGTERM);
        if (!Dispatch::waitUntil([&process] { return !process.isAlive(); }, graceMs, ticket))
            process.signal(SIGKILL);
    }
    if (!process.isAlive())
        launched.resetIf(ours);
    return ended;
}

bool ServerState::listenerRunning(const PortStatus &answer) const
{
    if (!answer.isUnknown())
        return answer.pid.has_value();
    const std::optional<ProcessHandle> last = m_lastHolder.get();
    return last && last->isAlive() && ofThisProject(last->pid());
}

std::optional<QString> ServerState::projectServedBy(qint32 pid)
{
    const std::optional<QStringList> arguments = ProcessPlace::arguments(pid);
    const std::optional<QString> folder = ProcessPlace::workingFolder(pid);
    return arguments && folder ? servedProject(*arguments, *folder) : std::nullopt;
}

bool ServerState::ofThisProject(qint32 pid) const
{
    const std::optional<QString> served = projectServedBy(pid);
    return served && *served == QFileInfo(projectRoot()).canonicalFilePath();
}

std::optional<QString> ServerState::servedProject(const QStringList &arguments, const QString &workingFolder)
{
    // "python3 serve.py" in the project folder, as the program and a user in
    // a terminal start it, or by a path from elsewhere, with the
    // interpreter's options before it and the server's own after it. What
    // runs code given as text or a module ("-c", "-m", "-") is no script.
    if (arguments.isEmpty()
        || !QFileInfo(arguments.constFirst()).fileName().contains(QLatin1String("python"), Qt::CaseInsensitive))
        return std::nullopt;
    const auto first = std::find_if(arguments.cbegin() + 1, arguments.cend(),
                                    [](const QString &argument) { return !argument.startsWith(QLatin1Char('-')); });
    const bool codeGiven = std::any_of(arguments.cbegin() + 1, first, [](const QString &option) {
        return option == QLatin1String("-") || option.startsWith(QLatin1String("-c"))
                || option.startsWith(QLatin1String("-m"));
    });
    if (first == arguments.cend() || codeGiven || QFileInfo(*first).fileName() != ProjectLayout::serveScript())
        return std::nullopt;
    const QString &script = *first;
    const QString path = QDir::isAbsolutePath(script) ? script : workingFolder + QLatin1Char('/') + script;
    const QString folder = QFileInfo(path).absolutePath();
    // Links in a path given by hand are resolved, as the kernel did for the working folder.
    const QString canonical = QFileInfo(folder).canonicalFilePath();
    return canonical.isEmpty() ? QDir::cleanPath(folder) : canonical;
}

PortStatus ServerState::probePort() const { return *askPort(false); }

std::optional<PortStatus> ServerState::askPort(bool atOnce) const
{
    const PortProbe::Sources sources{
            .procFolder = m_config.procFolder.isEmpty() ? ServerConstants::procFolder() : m_config.procFolder,
            .lsofPath = m_config.lsofPath.isEmpty() ? ServerConstants::lsofPath() : m_config.lsofPath,
    };
    const ProcessHandle::Moment asked = ProcessHandle::now();
    const std::optional<PortStatus> answer =
            atOnce ? PortProbe::probeAtOnce(sources, m_config.port) : PortProbe::probe(sources, m_config.port);
    if (answer && !answer->isUnknown()) {
        m_lastAnswer.set(*answer);
        // The same process while it lives; a number the answer gives anew
        // is taken only from a process that already existed when asked.
        const std::optional<ProcessHandle> last = m_lastHolder.get();
        if (!answer->pid)
            m_lastHolder.set(std::nullopt);
        else if (!(last && last->pid() == *answer->pid && last->isAlive()))
            m_lastHolder.set(ProcessHandle::open(*answer->pid, asked));
    }
    return answer;
}

std::optional<PortHolder> ServerState::holder(const PortStatus &answer) const
{
    if (!answer.isHeld())
        return std::nullopt;
    PortHolder holder{answer.pid, answer.pid ? PortProbe::programName(*answer.pid) : std::nullopt};
    if (!answer.pid)
        return holder;
    if (const std::optional<QString> served = projectServedBy(*answer.pid)) {
        holder.thisProject = *served == QFileInfo(projectRoot()).canonicalFilePath();
        if (!holder.thisProject)
            holder.otherProject = served;
    }
    return holder;
}

std::optional<qint32> ServerState::pidOnPort() const { return probePort().pid; }

ShellResult ServerState::runShell(const QStringList &command, bool allowFailure,
                                  const Dispatch::Cancellation::Ticket &ticket, int boundMs)
{
    const QProcessEnvironment environment =
            CommandRunner::childEnvironment(QProcessEnvironment::systemEnvironment(), m_config.port);
    CommandRunner::Run run =
            CommandRunner::runShell(command, allowFailure, projectRoot(), environment, ticket, boundMs);
    if (run.lastLogLine)
        lastLogLine.set(*run.lastLogLine);
    return run.result;
}

BackgroundLauncher::Launch ServerState::startBackground(const QStringList &command,
                                                        const Dispatch::Cancellation::Ticket &ticket) const
{
    // The server listens where the program looks for it, whatever the
    // program's own environment says.
    const QProcessEnvironment environment =
            CommandRunner::serverEnvironment(QProcessEnvironment::systemEnvironment(), m_config.port);
    return BackgroundLauncher::startBackground(
            command, projectRoot(), environment, [this] { return probePort().pid; }, ticket);
}
