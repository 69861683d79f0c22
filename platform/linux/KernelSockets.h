#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QtGlobal>

#include <optional>

// Which sockets listen on a TCP port, and which process holds one,
// asked of the kernel instead of lsof. Only what this user may read is seen,
// as lsof sees it.
namespace KernelSockets {

// The inodes of the sockets listening on `port` where a connection to
// 127.0.0.1 can reach them (on that address or on every address), from the
// tables below the process file system (`procFolder`/net/tcp and net/tcp6),
// where netlink is not to be had: reading them walks the kernel's table of
// connections. Absent when a table
// cannot be read; a missing net/tcp6 is a kernel without IPv6 and counts as
// empty.
std::optional<QList<quint64>> listeningInodes(const QByteArray &procFolder, quint16 port);

// The inodes of the listeners on `port` in one such table, as text. Lines
// that do not read as a table row (the header, a cut-off last line, garbage)
// are passed over.
QList<quint64> listenersInTable(QByteArrayView table, quint16 port);

// The inode of the listener that a connection to 127.0.0.1:`port` reaches
// (none: an empty list), found by that address in one lookup of the
// kernel's socket diagnostics (netlink). Absent when it would not say.
std::optional<QList<quint64>> loopbackListener(quint16 port);

// The lowest process identifier whose open files (`procFolder`/PID/fd)
// include one of the sockets, as lsof lists its processes in ascending
// order; absent when no process this user can look into holds one.
std::optional<qint32> lowestHolder(const QByteArray &procFolder, const QList<quint64> &inodes);

// The process `pid` has one of the sockets among its open files: one
// process's descriptors read, rather than every process's.
bool holdsOne(const QByteArray &procFolder, qint32 pid, const QList<quint64> &inodes);

} // namespace KernelSockets
