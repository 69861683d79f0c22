#include "app/SingleInstance.h"

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>

namespace {

const QByteArray reopenMessage = QByteArrayLiteral("reopen\n");
constexpr int connectTimeoutMs = 2000;
constexpr int writeTimeoutMs = 2000;
constexpr int lockTimeoutMs = 5000;

} // namespace

SingleInstance::SingleInstance(QString socketPath, QObject *parent)
    : QObject(parent), m_socketPath(std::move(socketPath))
{
}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::defaultSocketPath()
{
    // The runtime folder belongs to the user alone (Qt insists on mode 0700),
    // so nobody else can reach or replace the socket.
    QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty())
        folder = QDir::tempPath();
    return folder + QStringLiteral("/harlune-kommandozentrale.socket");
}

bool SingleInstance::claim()
{
    // Two starts at the same moment must not both find the socket stale and
    // remove each other's: decide under a lock.
    QLockFile lock(m_socketPath + QStringLiteral(".lock"));
    lock.setStaleLockTime(0); // stale only when its process has died
    // Should the lock not come, go on without it rather than not start.
    lock.tryLock(lockTimeoutMs);

    if (handOverReopen())
        return false;

    // Nobody answered: whatever lies at the path is left over from a crash.
    QLocalServer::removeServer(m_socketPath);
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(m_socketPath)) {
        delete m_server;
        m_server = nullptr;
        // Without the socket the program still works; only a second start
        // would then run a second instance.
        return !handOverReopen();
    }
    connect(m_server, &QLocalServer::newConnection, this, &SingleInstance::acceptConnections);
    return true;
}

bool SingleInstance::handOverReopen()
{
    QLocalSocket socket;
    socket.connectToServer(m_socketPath);
    if (!socket.waitForConnected(connectTimeoutMs))
        return false;
    socket.write(reopenMessage);
    const bool written = socket.waitForBytesWritten(writeTimeoutMs);
    socket.disconnectFromServer();
    if (socket.state() != QLocalSocket::UnconnectedState)
        socket.waitForDisconnected(writeTimeoutMs);
    return written;
}

void SingleInstance::acceptConnections()
{
    while (QLocalSocket *client = m_server->nextPendingConnection()) {
        connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
        // The message may arrive with the connection or a moment later.
        auto readMessage = [this, client] {
            if (!client->canReadLine())
                return;
            const bool reopen = client->readLine() == reopenMessage;
            client->disconnectFromServer();
            // Queued: the reopen shows a modal alert, and the socket must be
            // left alone before its own event loop runs.
            if (reopen)
                QMetaObject::invokeMethod(this, &SingleInstance::reopenRequested,
                                          Qt::QueuedConnection);
        };
        connect(client, &QLocalSocket::readyRead, this, readMessage);
        readMessage();
    }
}
