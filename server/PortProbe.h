#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <optional>

// Which process listens on a TCP port, and whether a process is alive.
namespace PortProbe {

// The process identifier on the first line of lsof's output: an optional
// single sign and decimal digits only, within signed 32 bits. Anything else
// on that line makes it absent; later lines are never looked at.
std::optional<qint32> parsePid(const QByteArray &lsofOutput);

// Runs lsof for the process listening on the port (connected clients, such
// as a browser holding a keep-alive connection, are left out). Blocks until
// lsof has ended; absent if it cannot start or names no process.
std::optional<qint32> listenerPid(const QString &lsofPath, qint64 port);

// kill(pid, 0) succeeds. Identifiers of zero and below name process groups,
// not processes, and count as dead.
bool isAlive(qint32 pid);

} // namespace PortProbe
