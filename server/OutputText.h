#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <optional>

// How the bytes a child prints become text: strict UTF-8, trimmed at both
// ends, split into lines at line feeds.
namespace OutputText {

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

} // namespace OutputText
