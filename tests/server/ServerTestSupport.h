#pragma once

// Helpers shared by the server tests: files in temporary project roots,
// free ports, listener processes and completion recorders.

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QProcess>
#include <QTcpServer>
#include <QTest>
#include <QThread>

#include <functional>
#include <memory>
#include <optional>

namespace ServerTestSupport {

inline constexpr int patienceMs = 20000;

inline bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A port nothing listens on right now (the kernel's choice, released again).
inline quint16 freePort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

// A child process that is killed and reaped when the test lets go of it.
class ChildProcess : public QProcess
{
public:
    ~ChildProcess() override
    {
        kill();
        waitForFinished();
    }
};

// A Python child that listens on 127.0.0.1 (port 0: the kernel's choice),
// prints the port and waits; its QProcess kills it when it goes away.
inline quint16 startListener(QProcess &process, quint16 port = 0)
{
    process.setProgram(QStringLiteral("/usr/bin/python3"));
    process.setArguments({QStringLiteral("-c"), QStringLiteral(
        "import socket, sys, time\n"
        "s = socket.socket()\n"
        "s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)\n"
        "s.bind(('127.0.0.1', int(sys.argv[1])))\n"
        "s.listen()\n"
        "print(s.getsockname()[1], flush=True)\n"
        "time.sleep(120)\n"), QString::number(port)});
    process.start();
    if (!process.waitForReadyRead(patienceMs))
        return 0;
    return quint16(process.readLine().trimmed().toUInt());
}

// What one long operation reported, and how.
struct Outcome
{
    int calls = 0;
    bool success = false;
    QString message;
    bool onMainThread = true;
    bool afterReturn = true;
    bool returned = false;
};

// A completion that records into the outcome; the caller sets `returned`
// once the operation's call is back.
inline std::function<void(bool, const QString &)> recorder(const std::shared_ptr<Outcome> &outcome)
{
    return [outcome](bool success, const QString &message) {
        ++outcome->calls;
        outcome->success = success;
        outcome->message = message;
        outcome->onMainThread &= QThread::currentThread() == QCoreApplication::instance()->thread();
        outcome->afterReturn &= outcome->returned;
    };
}

} // namespace ServerTestSupport
