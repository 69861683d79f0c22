#pragma once

#include <QObject>
#include <QString>

class QLocalServer;

// One running program per user. The first start listens on a local socket in
// a folder that belongs to the user alone; a later start hands it a reopen
// there and ends. Both ends make sure the other one is the same user: a
// stranger's socket is never handed a reopen, a stranger's reopen is ignored.
// The channel is bounded: a few connections at a time, a short line each,
// within a short time.
class SingleInstance : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SingleInstance)

public:
    // `socketPath` is a file path in a private folder (see privateFolder).
    explicit SingleInstance(QString socketPath = defaultSocketPath(), QObject *parent = nullptr);
    ~SingleInstance() override;

    // True: this process is now the one instance and will report reopens.
    // False: a running instance was asked to reopen; this process should end.
    // A socket left behind by a crashed instance, or one of another user, is
    // cleared and taken over. Without a private folder for the socket the
    // program runs all the same, as if it were the only one: a stranger who
    // holds the folder must not keep the user's program from starting.
    bool claim();

    QString socketPath() const { return m_socketPath; }

    // In the runtime folder XDG_RUNTIME_DIR or else in a folder of our own
    // (ownSocketPath), the first that is private; empty if neither is.
    static QString defaultSocketPath();
    // In the temporary folder, or in /tmp where that path would be too long
    // for a socket (`limit` bytes, LocalSocketPath::limit() here).
    static QString ownSocketPath(const QString &tempFolder, uint userId, qsizetype limit);

signals:
    // Someone started the program again.
    void reopenRequested();

private:
    // True if the folder is a directory (not a link) of this user that nobody
    // else may enter; with `create`, a missing one is made so first.
    static bool privateFolder(const QString &folder, bool create = false);
    bool handOverReopen();
    void acceptConnections();

    const QString m_socketPath;
    QLocalServer *m_server = nullptr;
    int m_clients = 0; // connections open now
};
