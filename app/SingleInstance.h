#pragma once

#include <QObject>
#include <QString>

class QLocalServer;

// One running program per user. The first start listens on a local socket in
// the user's runtime folder; a later start hands it a reopen there and ends.
class SingleInstance : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SingleInstance)

public:
    // `socketPath` is a file path; the default lies in the runtime folder.
    explicit SingleInstance(QString socketPath = defaultSocketPath(), QObject *parent = nullptr);
    ~SingleInstance() override;

    // True: this process is now the one instance and will report reopens.
    // False: a running instance was asked to reopen; this process should end.
    // A socket left behind by a crashed instance is cleared and taken over.
    bool claim();

    QString socketPath() const { return m_socketPath; }

    static QString defaultSocketPath();

signals:
    // Someone started the program again.
    void reopenRequested();

private:
    bool handOverReopen();
    void acceptConnections();

    const QString m_socketPath;
    QLocalServer *m_server = nullptr;
};
