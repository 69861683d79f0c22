#include "app/SingleInstance.h"

#include "app/AppLog.h"
#include "platform/LocalSocketPath.h"
#include "platform/PeerCredentials.h"
#include "platform/UserFolders.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QTimer>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const QByteArray reopenMessage = QByteArrayLiteral("reopen\n");
constexpr int connectTimeoutMs = 2000;
constexpr int writeTimeoutMs = 2000;
constexpr int lockTimeoutMs = 5000;
// The channel carries one short line from a start of the program: a few
// connections at once, each for a moment and a line, are all it needs. More
// would let one stuck or hostile client use up the program's memory or
// descriptors.
constexpr int connectionLimit = 8;
constexpr int messageDeadlineMs = 2000;
constexpr qsizetype lineLimit = 64;

} // namespace

SingleInstance::SingleInstance(QString socketPath, QObject *parent)
    : QObject(parent)
    , m_socketPath(std::move(socketPath))
{
}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::defaultSocketPath()
{
    const QString runtime = UserFolders::runtimeFolder();
    if (!runtime.isEmpty() && privateFolder(runtime))
        return runtime + QStringLiteral("/harlune-kommandozentrale.socket");
    const QString own = ownSocketPath(QDir::tempPath(), ::geteuid(), LocalSocketPath::limit());
    if (privateFolder(QFileInfo(own).path(), true))
        return own;
    return {};
}

QString SingleInstance::ownSocketPath(const QString &tempFolder, uint userId, qsizetype limit)
{
    // Named by the user id, so that every user finds their own; a stranger
    // who made it first is refused by privateFolder. macOS's per-user
    // temporary folder is long ("/var/folders/…/T"): where it leaves no
    // room for the socket's name, /tmp takes its place.
    const QString name = QStringLiteral("/harlune-%1/instance").arg(userId);
    const QString path = tempFolder + name;
    return LocalSocketPath::fits(path, limit) ? path : QStringLiteral("/tmp") + name;
}

bool SingleInstance::privateFolder(const QString &folder, bool create)
{
    const QByteArray path = QFile::encodeName(folder);
    if (create)
        ::mkdir(path.constData(), S_IRWXU); // an existing one is checked below
    struct stat status
    { };
    return ::lstat(path.constData(), &status) == 0 && S_ISDIR(status.st_mode) && status.st_uid == ::geteuid()
            && (status.st_mode & (S_IRWXG | S_IRWXO)) == 0;
}

bool SingleInstance::claim()
{
    if (m_socketPath.isEmpty() || !privateFolder(QFileInfo(m_socketPath).path())) {
        qCWarning(lcApp, "Single instance: no private folder for the socket (%s); a second start runs beside this one",
                  qUtf8Printable(m_socketPath));
        return true;
    }

    // Two starts at the same moment must not both find the socket stale and
    // remove each other's: decide under a lock.
    QLockFile lock(m_socketPath + QStringLiteral(".lock"));
    lock.setStaleLockTime(0); // stale only when its process has died
    // Should the lock not come, go on without it rather than not start.
    lock.tryLock(lockTimeoutMs);

    if (handOverReopen())
        return false;

    // Nobody of ours answered: whatever lies at the path is left over from a
    // crash, or a stranger's, which has no business in our folder.
    QLocalServer::removeServer(m_socketPath);
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(m_socketPath)) {
        qCWarning(lcApp, "Single instance: cannot listen on %s: %s", qUtf8Printable(m_socketPath),
                  qUtf8Printable(m_server->errorString()));
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
    if (!socket.waitForConnected(connectTimeoutMs) || !PeerCredentials::peerIsThisUser(int(socket.socketDescriptor())))
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
        if (!PeerCredentials::peerIsThisUser(int(client->socketDescriptor()))) {
            client->abort();
            client->deleteLater();
            continue;
        }
        if (m_clients >= connectionLimit) {
            qCWarning(lcApp, "Single instance: %d connections open already, one more refused", m_clients);
            client->abort();
            client->deleteLater();
            continue;
        }
        ++m_clients;
        connect(client, &QObject::destroyed, this, [this] { --m_clients; });
        connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
        client->setReadBufferSize(lineLimit);
        QTimer::singleShot(messageDeadlineMs, client, [client] {
            client->abort();
            client->deleteLater();
        });
        // The message may arrive with the connection or a moment later.
        auto readMessage = [this, client] {
            if (!client->canReadLine()) {
                if (client->bytesAvailable() >= lineLimit) {
                    client->abort();
                    client->deleteLater();
                }
                return;
            }
            const bool reopen = client->readLine() == reopenMessage;
            client->disconnectFromServer();
            // Queued: the reopen shows a modal alert, and the socket must be
            // left alone before its own event loop runs.
            if (reopen)
                QMetaObject::invokeMethod(this, &SingleInstance::reopenRequested, Qt::QueuedConnection);
        };
        connect(client, &QLocalSocket::readyRead, this, readMessage);
        readMessage();
    }
}
