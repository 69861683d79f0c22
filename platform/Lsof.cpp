#include "platform/PortProbe.h"
#include "platform/PlatformLog.h"
#include "platform/StrictUtf8.h"

#include <QDeadlineTimer>
#include <QProcess>

#include <atomic>
#include <limits>
#include <memory>

// lsof's part of the port probe: the same program and output on every
// system that has it.
namespace PortProbe {

namespace {

// How long a killed lsof may take to go.
constexpr int killGraceMs = 1000;
// An lsof that outlived SIGKILL is stuck inside the kernel (a dead network
// mount). Waiting for it is what the time-out is there to prevent, and
// QProcess's destructor would, for up to 30 s: it is let go instead, and
// lsof is not started again in this run rather than pile up more of them.
std::atomic<bool> lsofStuck = false;

} // namespace

PortStatus askLsof(const QString &lsofPath, qint64 port, int timeoutMs)
{
    if (lsofStuck)
        return PortStatus::unknown();
    auto lsof = std::make_unique<QProcess>();
    lsof->setProgram(lsofPath);
    // -n -P: no name lookups, which could wait on the network.
    lsof->setArguments({QStringLiteral("-n"), QStringLiteral("-P"), QStringLiteral("-t"),
                        QStringLiteral("-iTCP:") + QString::number(port),
                        QStringLiteral("-sTCP:LISTEN")});
    lsof->setStandardInputFile(QProcess::nullDevice());
    lsof->setStandardErrorFile(QProcess::nullDevice());
    const QDeadlineTimer deadline(timeoutMs);
    lsof->start();
    if (!lsof->waitForFinished(int(deadline.remainingTime()))) {
        if (lsof->state() == QProcess::NotRunning) {
            qCWarning(lcPlatform, "Port %lld: %s cannot run: %s", port, qUtf8Printable(lsofPath),
                      qUtf8Printable(lsof->errorString()));
            return PortStatus::unknown();
        }
        lsof->kill();
        if (!lsof->waitForFinished(killGraceMs)) {
            qCWarning(lcPlatform, "Port %lld: lsof is stuck even after SIGKILL; not asked again in this run",
                      port);
            lsofStuck = true;
            (void)lsof.release();
        } else {
            qCWarning(lcPlatform, "Port %lld: lsof gave no answer within %d ms and was ended", port, timeoutMs);
        }
        return PortStatus::unknown();
    }
    if (lsof->exitStatus() != QProcess::NormalExit) {
        qCWarning(lcPlatform, "Port %lld: lsof ended by signal %d", port, lsof->exitCode());
        return PortStatus::unknown();
    }
    // lsof exits 1 when nothing matches; only what it printed counts.
    const QByteArray output = lsof->readAllStandardOutput();
    if (const std::optional<qint32> pid = parsePid(output))
        return PortStatus::held(pid);
    if (output.trimmed().isEmpty())
        return PortStatus::free();
    qCWarning(lcPlatform, "Port %lld: lsof's answer makes no sense: %s", port, output.left(200).constData());
    return PortStatus::unknown();
}

std::optional<qint32> parsePid(const QByteArray &lsofOutput)
{
    const std::optional<QString> text = StrictUtf8::decode(lsofOutput);
    if (!text)
        return std::nullopt;
    // QString::trimmed drops exactly the white space meant here: the Z
    // categories, U+0009..U+000D and U+0085.
    const QStringList lines = text->trimmed().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
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

} // namespace PortProbe
