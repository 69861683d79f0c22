#pragma once

#include "server/ApiProbe.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QUrl>

#include <functional>
#include <optional>

class QTcpSocket;

// The version request to the local server, on the main thread without ever
// waiting there: one plain HTTP/1.1 GET on a connection kept between
// requests, so a poll every few seconds costs a write and a read rather than
// a connection, a client framework and its thread.
class ApiConnection : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ApiConnection)

public:
    using Answer = std::function<void(const std::optional<QString> &version)>;

    // `timeoutMs`: how long the request may go without any traffic;
    // `deadlineMs`: how long it may take in all.
    ApiConnection(QUrl address, int timeoutMs, int deadlineMs, QObject *parent = nullptr);
    ~ApiConnection() override;

    // Answers later, on the main thread, exactly once. Asked while a request
    // is under way, it is answered with that request's answer.
    void fetch(Answer answer);
    // Lets go of the kept connection; a request under way is answered
    // with no answer.
    void forget();

private:
    void send();
    void writeRequest();
    void connectAfresh();
    void readAnswer();
    void peerClosed();
    void finish(const std::optional<QString> &version, bool keepConnection);
    void dropConnection();

    const QUrl m_address;
    const QByteArray m_request;
    QTimer m_idle;
    QTimer m_deadline;
    QPointer<QTcpSocket> m_socket;
    ApiProbe::Response m_response;
    QList<Answer> m_waiting;
    // The request went out on a connection kept from an earlier one and has
    // had no byte back: a server that closed it meanwhile is asked again.
    bool m_onKeptConnection = false;
    bool m_answerStarted = false;
};
