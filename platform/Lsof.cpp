#include "platform/PlatformLog.h"
#include "platform/PortProbe.h"
#include "platform/StrictUtf8.h"

#include <QDeadlineTimer>
#include <QProcess>

#include <atomic>
#include <limits>
#include <memory>

#include <cerrno>
#include <csignal>
#include <unistd.h>

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
    lsof->setArguments({QStringLiteral("-n"), QStringLiteral("-P"), QStringLiteral("-Fpn"),
                        QStringLiteral("-iTCP:") + QString::number(port), QStringLiteral("-sTCP:LISTEN")});
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
            qCWarning(lcPlatform, "Port %lld: lsof is stuck even after SIGKILL; not asked again in this run", port);
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
    const PortStatus answer = parseLsof(output);
    if (answer.isUnknown())
        qCWarning(lcPlatform, "Port %lld: lsof's answer makes no sense: %s", port, output.left(200).constData());
    return answer;
}

namespace {

// Decimal digits only, within signed 32 bits, above zero.
std::optional<qint32> processNumber(QStringView digits)
{
    qint64 value = 0;
    for (const QChar c : digits) {
        if (c < u'0' || c > u'9' || (value = value * 10 + (c.unicode() - u'0')) > std::numeric_limits<qint32>::max())
            return std::nullopt;
    }
    return digits.isEmpty() || value == 0 ? std::nullopt : std::optional(qint32(value));
}

} // namespace

PortStatus parseLsof(const QByteArray &lsofOutput)
{
    const std::optional<QString> text = StrictUtf8::decode(lsofOutput);
    if (!text)
        return PortStatus::unknown();
    // "p1234", then its files: "f3", "n127.0.0.1:8765". A connection to
    // 127.0.0.1 reaches a listener on that address first, else one on
    // every address ("*", either family); one on [::1] or another address
    // it never reaches.
    std::optional<qint32> process, onLoopback, onEvery;
    for (const QStringView line : QStringView(*text).split(u'\n', Qt::SkipEmptyParts)) {
        const QStringView value = line.sliced(1);
        switch (line.front().unicode()) {
        case u'p':
            if (!(process = processNumber(value)))
                return PortStatus::unknown();
            break;
        case u'f': break;
        case u'n': {
            const qsizetype colon = value.lastIndexOf(u':');
            if (!process || colon < 0)
                return PortStatus::unknown();
            const QStringView address = value.first(colon);
            std::optional<qint32> &slot = address == u"127.0.0.1" || address == u"[::ffff:127.0.0.1]" ? onLoopback
                    : address == u"*"                                                                 ? onEvery
                                                                                                      : process;
            if (&slot != &process && (!slot || *process < *slot))
                slot = process;
            break;
        }
        default: return PortStatus::unknown();
        }
    }
    if (const std::optional<qint32> holder = onLoopback ? onLoopback : onEvery)
        return PortStatus::held(holder);
    return PortStatus::free();
}

bool descendsFrom(qint32 pid, qint32 ancestor)
{
    // Bounded: a chain that loops (identifiers reused while we walk) ends.
    std::optional<qint32> at = pid;
    for (int depth = 0; at && *at > 1 && depth < 64; ++depth) {
        if (*at == ancestor)
            return true;
        at = parentOf(*at);
    }
    return false;
}

std::optional<qint32> sessionOf(qint32 pid)
{
    const pid_t session = pid > 0 ? ::getsid(pid) : -1;
    return session > 0 ? std::optional(qint32(session)) : std::nullopt;
}

bool groupLives(qint32 group)
{
    // Signal 0 only asks; another user's member makes it say EPERM.
    return group > 0 && (::kill(-pid_t(group), 0) == 0 || errno == EPERM);
}

} // namespace PortProbe
