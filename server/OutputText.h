#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

class QIODevice;

// How the bytes a child prints become text: strict UTF-8, trimmed at both
// ends, split into lines at line feeds, and shortened to its first and last
// lines, so that no output, however large, makes an alert unreadable or
// holds the program up.
namespace OutputText {

// Lines shown at each end of a longer text, and the most characters shown
// of any one line.
inline constexpr qsizetype shownLinesAtEachEnd = 30;
inline constexpr qsizetype shownLineLength = 500;
// Bytes kept at each end while a child's output is read.
inline constexpr qsizetype keptBytesAtEachEnd = 64 * 1024;

// A text shown as it is, or only its first and its last lines with the
// count of the lines left out between them; the app words that gap.
struct Excerpt
{
    QString head;                  // the whole text when nothing was left out
    std::optional<qint64> leftOut; // lines left out after head; 0: not counted
    QString tail;

    bool isEmpty() const { return head.isEmpty() && !leftOut && tail.isEmpty(); }
    // The last non-empty line, or the text itself when it has none.
    QString lastLine() const;
    // The lines, with the gap as `gap` words it.
    QString joined(const std::function<QString(qint64 leftOut)> &gap) const;

    friend bool operator==(const Excerpt &, const Excerpt &) = default;
};

// The whole buffer as UTF-8, byte for byte (a leading BOM is kept);
// absent when any sequence is invalid or cut off at the end.
std::optional<QString> decodeUtf8(const QByteArray &bytes);

// Drops white space and line breaks at both ends: tab, line feed, vertical
// tab, form feed, carriage return, U+0085, U+2028, U+2029 and every space
// separator (Zs).
QString trimmed(const QString &text);

// The non-empty pieces between line feeds, in order.
QStringList lines(const QString &text);

// The last non-empty line, or the text itself when it has none.
QString lastLine(const QString &text);

// The text unchanged when it is short; otherwise its first and last lines
// and how many were left out between them, and each line longer than
// shownLineLength cut there with "…".
Excerpt shortened(const QString &text);

// The last `count` non-empty lines of a file, each cut at shownLineLength,
// read from its last few KiB only; empty when it is not a readable regular
// file (a pipe in its place would hold the reader up).
QString fileEnding(const QString &path, qsizetype count);

// Keeps the start and the end of an output while it is read, so that output
// of any size costs a bounded amount of memory.
class Collector
{
public:
    void append(const QByteArray &bytes);
    // Reads the device to its end.
    void appendAll(QIODevice &device);

    // UTF-8, each invalid sequence replaced by U+FFFD rather than dropped,
    // trimmed, shortened(); the lines that were never kept count as left out.
    Excerpt text() const;

private:
    QByteArray m_head;
    QByteArray m_tail;
    qint64 m_size = 0;
    qint64 m_lineFeeds = 0;
};

} // namespace OutputText
