#include "server/PortProbe.h"

#include "server/OutputText.h"

#include <QProcess>

#include <csignal>
#include <limits>

namespace PortProbe {

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

std::optional<qint32> listenerPid(const QString &lsofPath, qint64 port)
{
    QProcess lsof;
    lsof.setProgram(lsofPath);
    lsof.setArguments({QStringLiteral("-t"),
                       QStringLiteral("-iTCP:") + QString::number(port),
                       QStringLiteral("-sTCP:LISTEN")});
    lsof.setStandardInputFile(QProcess::nullDevice());
    lsof.setStandardErrorFile(QProcess::nullDevice());
    lsof.start();
    if (!lsof.waitForStarted(-1))
        return std::nullopt;
    // lsof exits 1 when nothing matches; only what it printed counts.
    lsof.waitForFinished(-1);
    return parsePid(lsof.readAllStandardOutput());
}

bool isAlive(qint32 pid)
{
    return pid > 0 && ::kill(pid, 0) == 0;
}

} // namespace PortProbe

