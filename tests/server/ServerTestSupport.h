#pragma once

// Helpers shared by the server tests: files, free ports, listener processes,
// a tiny HTTP peer and a recorder for completions.

#include "platform/ProcessHandle.h"
#include "server/Outcome.h"

#include <QtNetwork>
#include <QtTest>

#include <functional>
#include <memory>

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

// A live process has the number now.
inline bool alive(qint64 pid) { return ProcessHandle::open(qint32(pid)).has_value(); }

// A port nothing listens on right now (the kernel's choice, released again).
inline quint16 freePort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

// A child process that is killed and reaped when the test lets go of it.
struct ChildProcess : QProcess
{
    ~ChildProcess() override
    {
        kill();
        waitForFinished();
    }
};

// A Python child that listens on 127.0.0.1 (port 0: the kernel's choice)
// until it is killed, started through `runAs` where given. Returns the port, or 0.
inline quint16 startListener(QProcess &process, quint16 port = 0, const QStringList &runAs = {})
{
    QStringList command = runAs
            + QStringList{QStringLiteral("/usr/bin/python3"), QStringLiteral("-c"),
                          QStringLiteral("import socket, sys, time\n"
                                         "s = socket.create_server(('127.0.0.1', int(sys.argv[1])))\n"
                                         "print(s.getsockname()[1], flush=True)\n"
                                         "time.sleep(120)\n"),
                          QString::number(port)};
    process.start(command.takeFirst(), command);
    return process.waitForReadyRead(patienceMs) ? quint16(process.readLine().trimmed().toUInt()) : 0;
}

// The name the system gives process `pid`, as ps shows it: the program's
// file name ("python3" on Linux; macOS names the framework Python "Python").
inline QString processName(qint64 pid)
{
    QProcess ps;
    ps.start(QStringLiteral("/bin/ps"),
             {QStringLiteral("-o"), QStringLiteral("comm="), QStringLiteral("-p"), QString::number(pid)});
    if (!ps.waitForFinished(patienceMs))
        return {};
    const QString command = QString::fromUtf8(ps.readAllStandardOutput()).trimmed();
    return command.mid(command.lastIndexOf(QLatin1Char('/')) + 1);
}

// Answers every request on 127.0.0.1 with fixed bytes; with an empty answer
// it reads and keeps silent. Closes each connection after its answer unless
// told to keep them open.
class HttpResponder
{
public:
    explicit HttpResponder(QByteArray answer, bool keepOpen = false)
        : m_answer(std::move(answer))
    {
        QObject::connect(&m_server, &QTcpServer::newConnection, &m_server, [this, keepOpen] {
            while (QTcpSocket *socket = m_server.nextPendingConnection()) {
                m_sockets.append(socket);
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, keepOpen] {
                    m_received += socket->readAll();
                    if (m_received.endsWith("\r\n\r\n") && !m_answer.isEmpty()) {
                        socket->write(m_answer);
                        if (!keepOpen)
                            socket->disconnectFromHost();
                    }
                });
            }
        });
    }
    bool listen(quint16 port = 0) { return m_server.listen(QHostAddress::LocalHost, port); }
    quint16 port() const { return m_server.serverPort(); }
    QByteArray received() const { return m_received; }
    qsizetype connections() const { return m_sockets.size(); }
    qsizetype openConnections() const
    {
        return std::count_if(m_sockets.cbegin(), m_sockets.cend(),
                             [](const QTcpSocket *socket) { return socket->state() == QTcpSocket::ConnectedState; });
    }
    // As a server does after its idle time.
    void closeConnections()
    {
        for (QTcpSocket *socket : std::as_const(m_sockets))
            socket->close();
    }

private:
    QByteArray m_answer;
    QByteArray m_received;
    QList<QTcpSocket *> m_sockets; // owned by the server
    QTcpServer m_server;           // last: its sockets go before the buffers they fill
};

// A shortened output with its gap as "[n]".
inline QString joined(const OutputText::Excerpt &excerpt)
{
    return excerpt.joined([](qint64 leftOut) { return QStringLiteral("[%1]").arg(leftOut); });
}

// What one long operation reported, and how.
struct Outcome
{
    int calls = 0;
    OperationOutcome result;
    std::optional<QString> version;
    bool onMainThread = true, afterReturn = true;
    bool returned = false; // set by the caller once the operation's call is back
};

// Records an operation's outcome, or the version answer of the API probe.
inline auto recorder(const std::shared_ptr<Outcome> &outcome)
{
    return [outcome](const auto &answer) {
        if constexpr (std::is_same_v<std::decay_t<decltype(answer)>, OperationOutcome>)
            outcome->result = answer;
        else
            outcome->version = answer;
        ++outcome->calls;
        outcome->onMainThread &= QThread::currentThread() == QCoreApplication::instance()->thread();
        outcome->afterReturn &= outcome->returned;
    };
}

// Hands the operation a recording completion and checks that it is called
// exactly once, on the main thread, after the operation returned.
template<typename Operation> std::shared_ptr<Outcome> await(Operation operation)
{
    auto outcome = std::make_shared<Outcome>();
    operation(recorder(outcome));
    outcome->returned = true;
    [&] {
        QTRY_COMPARE_WITH_TIMEOUT(outcome->calls, 1, patienceMs);
        QCoreApplication::processEvents();
        QCOMPARE(outcome->calls, 1);
        QVERIFY(outcome->onMainThread);
        QVERIFY(outcome->afterReturn);
    }();
    return outcome;
}

} // namespace ServerTestSupport
