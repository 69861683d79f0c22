#include "app/StopNotice.h"

#include <QRegularExpression>
#include <QStringList>

namespace StopNotice {

void RunRecord::observe(bool running, std::optional<qint32> pid, const QDateTime &now)
{
    const bool first = !m_sawAnUpdate;
    m_sawAnUpdate = true;
    if (!running || (pid == m_pid && m_pid))
        return;
    m_pid = pid;
    m_since = first ? std::nullopt : std::optional<QDateTime>(now);
}

QString lastErrorLine(const QString &logEnding)
{
    // An access log line names the method and the protocol in quotes:
    // "GET /api/version HTTP/1.1" 200 -
    static const QRegularExpression request(
            QStringLiteral(R"("(GET|HEAD|POST|PUT|DELETE|PATCH|OPTIONS|CONNECT|TRACE) \S* HTTP/)"));
    // A traceback ends in "SomeError: why", "KeyboardInterrupt" and the like.
    static const QRegularExpression tracebackEnd(
            QStringLiteral(R"(^[A-Za-z_][\w.]*(Error|Exception|Interrupt|Exit)\b)"));
    static const QRegularExpression says(QStringLiteral(R"(\b(error|fehler))"),
                                         QRegularExpression::CaseInsensitiveOption);
    const QStringList lines = logEnding.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (auto line = lines.crbegin(); line != lines.crend(); ++line) {
        const QString text = line->trimmed();
        if (text.contains(request))
            continue;
        if (text.contains(tracebackEnd) || text.contains(says))
            return text;
    }
    return QString();
}

} // namespace StopNotice
