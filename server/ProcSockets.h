#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QtGlobal>

#include <optional>

// Linux: which sockets listen on a TCP port, and which process holds one,
// read from the process file system (usually /proc) instead of asking lsof.
// Only what this user may read is seen, as lsof sees it.
namespace ProcSockets {

// The inodes of the sockets in the LISTEN state on `port`, any local
// address, in one table as /proc/net/tcp or /proc/net/tcp6 prints it. Lines
// that do not read as a table row (the header, a cut-off last line, garbage)
// are passed over.
QList<quint64> listenersInTable(QByteArrayView table, quint16 port);

// A file of the process file system read to its end (their sizes read as 0);
// absent when it cannot be opened or read.
std::optional<QByteArray> readFile(const QByteArray &path);

// The same for the listening sockets of both tables below `procFolder`
// (net/tcp, net/tcp6). Absent when a table cannot be read; a missing
// net/tcp6 is a kernel without IPv6 and counts as empty.
std::optional<QList<quint64>> listeningInodes(const QByteArray &procFolder, quint16 port);

// The lowest process identifier whose open files (`procFolder`/PID/fd)
// include one of the sockets, as lsof lists its processes in ascending
// order; absent when no process this user can look into holds one.
std::optional<qint32> lowestHolder(const QByteArray &procFolder, const QList<quint64> &inodes);

} // namespace ProcSockets
