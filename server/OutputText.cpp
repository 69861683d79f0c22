#include "server/OutputText.h"

#include "platform/StrictUtf8.h"

#include <QFile>
#include <QFileInfo>
#include <QIODevice>

#include <algorithm>

namespace OutputText {

namespace {

bool isContinuation(char byte) { return (uchar(byte) & 0xC0) == 0x80; }
bool isAsciiSpace(char byte) { return byte == ' ' || (byte >= '\t' && byte <= '\r'); }

// The bytes without a multi-byte sequence cut off at their end.
QByteArray withoutCutSequenceAtEnd(const QByteArray &bytes)
{
    qsizetype lead = bytes.size() - 1;
    while (lead >= 0 && lead > bytes.size() - 4 && isContinuation(bytes.at(lead)))
        --lead;
    if (lead < 0)
        return bytes;
    const uchar first = uchar(bytes.at(lead));
    const qsizetype length = first >= 0xF0 ? 4 : first >= 0xE0 ? 3 : first >= 0xC0 ? 2 : 1;
    return bytes.size() - lead < length ? bytes.left(lead) : bytes;
}

QString cutLine(const QString &line)
{
    return line.size() > shownLineLength ? line.left(shownLineLength) + QStringLiteral("…") : line;
}

QString cutLines(const QStringList &lines)
{
    QStringList shown;
    for (const QString &line : lines)
        shown.append(cutLine(line));
    return shown.join(QLatin1Char('\n'));
}

// The first lines of head and the last lines of tail, with the count of the
// lines between them that are not shown.
Excerpt joinEnds(const QStringList &head, const QStringList &tail, qint64 leftOut)
{
    const QStringList first = head.mid(0, shownLinesAtEachEnd);
    const QStringList last = tail.mid(qMax<qsizetype>(0, tail.size() - shownLinesAtEachEnd));
    leftOut += head.size() - first.size() + tail.size() - last.size();
    return {cutLines(first), leftOut, cutLines(last)};
}

} // namespace

std::optional<QString> decodeUtf8(const QByteArray &bytes) { return StrictUtf8::decode(bytes); }

QString trimmed(const QString &text)
{
    // QChar::isSpace is exactly the set above: the Z categories plus
    // U+0009..U+000D and U+0085.
    return text.trimmed();
}

QStringList lines(const QString &text) { return text.split(QLatin1Char('\n'), Qt::SkipEmptyParts); }

QString lastLine(const QString &text)
{
    const QStringList pieces = lines(text);
    return pieces.isEmpty() ? text : pieces.constLast();
}

QString Excerpt::lastLine() const { return OutputText::lastLine(leftOut ? tail : head); }

QString Excerpt::joined(const std::function<QString(qint64)> &gap) const
{
    if (!leftOut)
        return head;
    return head + QLatin1Char('\n') + gap(*leftOut) + QLatin1Char('\n') + tail;
}

Excerpt shortened(const QString &text)
{
    const QStringList all = text.split(QLatin1Char('\n'));
    if (all.size() > 2 * shownLinesAtEachEnd)
        return joinEnds(all.mid(0, shownLinesAtEachEnd), all.mid(shownLinesAtEachEnd), 0);
    const bool hasLongLine =
            std::any_of(all.cbegin(), all.cend(), [](const QString &line) { return line.size() > shownLineLength; });
    return {hasLongLine ? cutLines(all) : text, std::nullopt, {}};
}

QString fileEnding(const QString &path, qsizetype count)
{
    constexpr qint64 endingBytes = 8 * 1024;
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly))
        return QString();
    const qint64 start = qMax<qint64>(0, file.size() - endingBytes);
    if (!file.seek(start))
        return QString();
    QByteArray bytes = file.read(endingBytes);
    // Read from the middle, the first piece is the end of a line whose
    // start is not there.
    if (start > 0)
        bytes.remove(0, bytes.indexOf('\n') + 1);
    // A log may hold anything; what is not UTF-8 shows as replacement marks.
    const QStringList all = lines(trimmed(QString::fromUtf8(bytes)));
    QStringList last;
    for (const QString &line : all.mid(qMax<qsizetype>(0, all.size() - count)))
        last.append(cutLine(trimmed(line)));
    return last.join(QLatin1Char('\n'));
}

void Collector::append(const QByteArray &bytes)
{
    m_size += bytes.size();
    m_lineFeeds += bytes.count('\n');
    const qsizetype toHead = qMin(bytes.size(), keptBytesAtEachEnd - m_head.size());
    m_head.append(bytes.left(toHead));
    if (toHead == bytes.size())
        return;
    m_tail.append(bytes.mid(toHead));
    // Dropped in large steps, so the copying stays proportional to the input.
    if (m_tail.size() > 2 * keptBytesAtEachEnd)
        m_tail.remove(0, m_tail.size() - keptBytesAtEachEnd);
}

void Collector::appendAll(QIODevice &device)
{
    while (!device.atEnd()) {
        const QByteArray chunk = device.read(keptBytesAtEachEnd);
        if (chunk.isEmpty())
            break;
        append(chunk);
    }
}

// Scripts print in whatever encoding they like; what is not UTF-8 shows as
// replacement marks rather than taking the whole output with it.
Excerpt Collector::text() const
{
    if (m_size == m_head.size() + m_tail.size())
        return shortened(trimmed(QString::fromUtf8(m_head + m_tail)));

    // Something in the middle was dropped. Whole lines are kept where the
    // kept ends hold a line break (blank lines at the very start and end,
    // which go anyway, do not count), else the ends of the one long line.
    qsizetype lead = 0;
    while (lead < m_head.size() && isAsciiSpace(m_head.at(lead)))
        ++lead;
    qsizetype trail = m_tail.size();
    while (trail > 0 && isAsciiSpace(m_tail.at(trail - 1)))
        --trail;
    const qsizetype headBreak = m_head.lastIndexOf('\n');
    const QByteArray head = headBreak >= lead ? m_head.left(headBreak) : withoutCutSequenceAtEnd(m_head);
    const qsizetype tailBreak = m_tail.indexOf('\n');
    qsizetype from = 0;
    if (tailBreak >= 0 && tailBreak < trail)
        from = tailBreak + 1;
    else
        while (from < 3 && from < m_tail.size() && isContinuation(m_tail.at(from)))
            ++from;
    const QByteArray tail = m_tail.mid(from);
    const QString headText = QString::fromUtf8(head);
    const QString tailText = QString::fromUtf8(tail);

    // Lines of the output that lie wholly between the kept ends.
    const qint64 between = qMax<qint64>(0, m_lineFeeds - head.count('\n') - tail.count('\n') - 1);
    const QString start = trimmed(headText + QLatin1Char('x')).chopped(1);
    const QString end = trimmed(QLatin1Char('x') + tailText).mid(1);
    return joinEnds(start.split(QLatin1Char('\n')), end.split(QLatin1Char('\n')), between);
}

} // namespace OutputText
