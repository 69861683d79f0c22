#pragma once

// A tiny HTTP peer on 127.0.0.1 for the version probe: it reads one request
// and answers with fixed bytes, or never answers at all.

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

class HttpResponder : public QObject
{
    Q_OBJECT

public:
    // An empty answer means: accept, read, and keep silent.
    explicit HttpResponder(QByteArray answer, QObject *parent = nullptr)
        : QObject(parent), m_answer(std::move(answer))
    {
        connect(&m_server, &QTcpServer::newConnection, this, &HttpResponder::accept);
    }

    bool listen(quint16 port = 0) { return m_server.listen(QHostAddress::LocalHost, port); }
    quint16 port() const { return m_server.serverPort(); }
    // The request line and headers of the last complete request.
    QByteArray lastRequest() const { return m_lastRequest; }

private:
    void accept()
    {
        while (QTcpSocket *socket = m_server.nextPendingConnection()) {
            socket->setParent(this);
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
                m_buffer += socket->readAll();
                const qsizetype end = m_buffer.indexOf("\r\n\r\n");
                if (end < 0)
                    return;
                m_lastRequest = m_buffer.left(end);
                m_buffer.clear();
                if (m_answer.isEmpty())
                    return;
                socket->write(m_answer);
                socket->disconnectFromHost();
            });
        }
    }

    QTcpServer m_server;
    QByteArray m_answer;
    QByteArray m_buffer;
    QByteArray m_lastRequest;
};
