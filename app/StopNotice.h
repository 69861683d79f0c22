#pragma once

#include <QDateTime>
#include <QString>

#include <optional>

// What the notice of a server that ended by itself can tell the user: which
// server it was, since when it ran, and the last error it wrote.
namespace StopNotice {

// The running server as the status updates saw it last.
class RunRecord
{
public:
    // One status update, which found the server running as `pid` (if
    // known) or not. Only a server first seen after the first update has a
    // known start: one already there at launch may have run for any time.
    void observe(bool running, std::optional<qint32> pid, const QDateTime &now);

    std::optional<qint32> pid() const { return m_pid; }
    std::optional<QDateTime> since() const { return m_since; }

private:
    bool m_sawAnUpdate = false;
    std::optional<qint32> m_pid;
    std::optional<QDateTime> m_since;
};

// The last line of the log's ending that reports an error: a traceback's
// last line or a line saying "Error"/"Fehler". Request lines (the server
// logs every request, errors included) never count. Empty when none.
QString lastErrorLine(const QString &logEnding);

} // namespace StopNotice
