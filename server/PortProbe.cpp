#include "server/PortProbe.h"

#include "server/KernelSockets.h"
#include "server/OutputText.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>

#include <atomic>
#include <csignal>
#include <limits>
#include <memory>

#include <unistd.h>

namespace PortProbe {

namespace {

constexpr qint64 highestPort = 0xFFFF;
// How long a killed lsof may take to go.
constexpr int killGraceMs = 1000;
// An lsof that outlived SIGKILL is stuck inside the kernel (a dead network
// mount). Waiting for it is what the time-out is there to prevent, and
// QProcess's destructor would, for up to 30 s: it is let go instead, and
// lsof is not started again in this run rather than pile up more of them.
std::atomic<bool> lsofStuck = false;

} // namespace

PortStatus probe(const Sources &sources, qint64 port)
{
    const QByteArray proc = QFile::encodeName(sources.procFolder);
    // Without the process file system no holder could be named: lsof then.
    if (proc.isEmpty() || port < 0 || port > highestPort || ::access(proc.constData(), R_OK | X_OK) != 0)
        return askLsof(sources.lsofPath, port, sources.lsofTimeoutMs);
    std::optional<QList<quint64>> inodes = KernelSockets::listeningInodes(quint16(port));
    if (!inodes)
        inodes = KernelSockets::listeningInodes(proc, quint16(port));
    if (!inodes)
        return askLsof(sources.lsofPath, port, sources.lsofTimeoutMs);
    if (inodes->isEmpty())
        return PortStatus::free();
    if (const std::optional<qint32> pid = KernelSockets::lowestHolder(proc, *inodes))
        return PortStatus::held(pid);
    // Held for certain; lsof may still name a holder the scan missed.
    return PortStatus::held(askLsof(sources.lsofPath, port, sources.lsofTimeoutMs).pid);
}

PortStatus askLsof(const QString &lsofPath, qint64 port, int timeoutMs)
{
    if (lsofStuck)
        return PortStatus::unknown();
    auto lsof = std::make_unique<QProcess>();
    lsof->setProgram(lsofPath);
    lsof->setArguments({QStringLiteral("-t"),
                        QStringLiteral("-iTCP:") + QString::number(port),
                        QStringLiteral("-sTCP:LISTEN")});
    lsof->setStandardInputFile(QProcess::nullDevice());
    lsof->setStandardErrorFile(QProcess::nullDevice());
    const QDeadlineTimer deadline(timeoutMs);
    lsof->start();
    if (!lsof->waitForFinished(int(deadline.remainingTime()))) {
        if (lsof->state() != QProcess::NotRunning) {
            lsof->kill();
            if (!lsof->waitForFinished(killGraceMs)) {
                lsofStuck = true;
                (void)lsof.release();
            }
        }
        return PortStatus::unknown();
    }
    if (lsof->exitStatus() != QProcess::NormalExit)
        return PortStatus::unknown();
    // lsof exits 1 when nothing matches; only what it printed counts.
    const QByteArray output = lsof->readAllStandardOutput();
    if (const std::optional<qint32> pid = parsePid(output))
        return PortStatus::held(pid);
    return output.trimmed().isEmpty() ? PortStatus::free() : PortStatus::unknown();
}

std::optional<qint32> parsePid(const QByteArray &lsofOutput)
{
    const std::optional<QString> text = OutputText::decodeUtf8(lsofOutput);
    if (!text)
        return std::nullopt;
    const QStringList lines = OutputText::lines(OutputText::trimmed(*text));
    if (lines.isEmpty())
        return std::nullopt;
    const QString &line = lines.constFirst();

    qsizetype index = 0;
    bool negative = false;
    if (line.startsWith(QLatin1Char('+')) || line.startsWith(QLatin1Char('-'))) {
        negative = line.front() == QLatin1Char('-');
        index = 1;
    }
    if (index == line.size())
        return std::nullopt;

    // Accumulate towards the sign so that the lowest value fits as well.
    const qint64 limit = negative ? -qint64(std::numeric_limits<qint32>::min())
                                  : qint64(std::numeric_limits<qint32>::max());
    qint64 magnitude = 0;
    for (; index < line.size(); ++index) {
        const char16_t c = line.at(index).unicode();
        if (c < u'0' || c > u'9')
            return std::nullopt;
        magnitude = magnitude * 10 + (c - u'0');
        if (magnitude > limit)
            return std::nullopt;
    }
    return qint32(negative ? -magnitude : magnitude);
}

std::optional<QString> programName(qint32 pid)
{
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    if (pid <= 0 || !comm.open(QIODevice::ReadOnly))
        return std::nullopt;
    // The kernel keeps at most 15 bytes of it; whoever chose them is not us.
    const QString name = QString::fromUtf8(comm.read(64)).trimmed();
    if (name.isEmpty())
        return std::nullopt;
    return name;
}

bool isAlive(qint32 pid)
{
    if (pid <= 0 || ::kill(pid, 0) != 0)
        return false;
    // A process that has ended stays a zombie until its parent (for the
    // detached server: init) reaps it, which can take a second or two;
    // kill() still finds it meanwhile. /proc tells ("pid (name) Z …", the
    // name may hold anything, the state follows its last ')').
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true; // no /proc (macOS): kill() is all there is
    const QByteArray line = stat.read(1024);
    const qsizetype close = line.lastIndexOf(')');
    const char state = close >= 0 && close + 2 < line.size() ? line.at(close + 2) : 'X';
    return state != 'Z' && state != 'X';
}

} // namespace PortProbe

