#pragma once

#include <QString>

// How long the path of a local (UNIX domain) socket may be: the system's
// socket address holds it with its terminating zero byte, 104 bytes on
// macOS, 108 on Linux. A longer one cannot be listened on at all.
namespace LocalSocketPath {

// The most bytes of the path, in the file-name encoding, that fit.
qsizetype limit();

// The path fits within `limit` bytes.
bool fits(const QString &path, qsizetype limit = LocalSocketPath::limit());

} // namespace LocalSocketPath
