#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// What other programs print is taken as UTF-8 and nothing else: bytes that
// are not cannot be told apart from garbage.
namespace StrictUtf8 {

// The whole buffer, byte for byte (a leading BOM is kept); absent when any
// sequence is invalid or cut off at the end.
std::optional<QString> decode(const QByteArray &bytes);

} // namespace StrictUtf8
