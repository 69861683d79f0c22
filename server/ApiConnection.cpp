#include "server/ApiConnection.h"

#include "server/Dispatch.h"
#include "server/ServerConstants.h"
#include "server/ServerLog.h"
#include "server/ServerManager.h"
#include "server/ServerState.h"

#include <QCoreApplication>
#include <QNetworkProxy>
#include <QTcpSocket>

ApiConnection::ApiConnection(QUrl address, int timeoutMs, int deadlineMs, QObject *parent)
    : QObject(parent)
    , m_address(std::move(address))
    , m_request("GET " + m_address.path(QUrl::FullyEncoded).toLatin1()
                + " HTTP/1.1\r\nHost: " + m_address.authority(QUrl::FullyEncoded).toLatin1() + "\r\n\r\n")
{
    // Without it a server that accepts and never answers holds the request
    // for ever, and every poll joins it.
    m_idle.setSingleShot(true);
    m_idle.setInterval(timeoutMs);
    connect(&m_idle, &QTimer::timeout, this, [this] {
        qCDebug(lcServer, "Version request: no traffic for %d ms", m_idle.interval());
        finish(std::nullopt, false);
    });
    // Traffic alone must not keep it: a server can drip a line of its head
    // every few seconds for ever.
    m_deadline.setSingleShot(true);
    m_deadline.setInterval(deadlineMs);
    connect(&m_deadline, &QTimer::timeout, this, [this] {
        qCDebug(lcServer, "Version request: no answer within %d ms", m_deadline.interval());
        finish(std::nullopt, false);
    });
}

ApiConnection::~ApiConnection()
{
    // Unanswered completions go with it: no main loop is left to call them.
    if (m_socket)
        m_socket->disconnect(this);
}

void ApiConnection::fetch(Answer answer)
{
    m_waiting.append(std::move(answer));
    if (m_waiting.size() == 1)
        send();
}

void ApiConnection::forget()
{
    if (m_waiting.isEmpty())
        dropConnection();
    else
        finish(std::nullopt, false);
}

void ApiConnection::send()
{
    m_response = {};
    m_answerStarted = false;
    m_idle.start();
    m_deadline.start();
    m_onKeptConnection = m_socket && m_socket->state() == QAbstractSocket::ConnectedState;
    if (m_onKeptConnection)
        writeRequest();
    else
        connectAfresh();
}

void ApiConnection::writeRequest()
{
    m_socket->write(m_request);
    // Out now, as the few bytes always fit the socket's buffer: not one
    // more pass of the event loop to learn that it may be written.
    m_socket->flush();
}

void ApiConnection::connectAfresh()
{
    dropConnection();
    m_socket = new QTcpSocket(this);
    // Loopback must never go through a proxy from the environment.
    m_socket->setProxy(QNetworkProxy::NoProxy);
    // Qt buffers no more than the answer may hold, and a little of its head.
    m_socket->setReadBufferSize(ServerConstants::apiAnswerLimit + 16 * 1024);
    connect(m_socket, &QTcpSocket::connected, this, [this] {
        if (!m_waiting.isEmpty())
            writeRequest();
    });
    connect(m_socket, &QTcpSocket::readyRead, this, &ApiConnection::readAnswer);
    connect(m_socket, &QTcpSocket::disconnected, this, &ApiConnection::peerClosed);
    connect(m_socket, &QTcpSocket::errorOccurred, this, &ApiConnection::peerClosed);
    m_socket->connectToHost(m_address.host(), quint16(m_address.port()));
}

void ApiConnection::readAnswer()
{
    QTcpSocket *socket = m_socket;
    if (!socket)
        return;
    if (m_waiting.isEmpty()) {
        // Nothing was asked: whatever this is, the connection is not ours to trust.
        dropConnection();
        return;
    }
    while (socket->bytesAvailable() > 0 && m_response.state() == ApiProbe::Response::State::Incomplete) {
        m_answerStarted = true;
        m_response.feed(socket->read(16 * 1024));
    }
    switch (m_response.state()) {
    case ApiProbe::Response::State::Incomplete: m_idle.start(); break;
    case ApiProbe::Response::State::Complete: finish(m_response.version(), m_response.reusable()); break;
    case ApiProbe::Response::State::Broken: finish(std::nullopt, false); break;
    }
}

void ApiConnection::peerClosed()
{
    if (m_waiting.isEmpty()) {
        dropConnection(); // a kept connection the server let go while idle
        return;
    }
    readAnswer();
    if (m_waiting.isEmpty())
        return;
    if (m_onKeptConnection && !m_answerStarted) {
        // Closed by the server after its idle time, just as we asked: once more, afresh.
        qCDebug(lcServer, "Version request: kept connection was closed, connecting again");
        m_onKeptConnection = false;
        m_idle.start();
        connectAfresh();
        return;
    }
    m_response.closed();
    finish(m_response.version(), false);
}

void ApiConnection::finish(const std::optional<QString> &version, bool keepConnection)
{
    m_idle.stop();
    m_deadline.stop();
    if (!keepConnection)
        dropConnection();
    const QList<Answer> answers = std::exchange(m_waiting, {});
    for (const Answer &answer : answers) {
        Dispatch::toMain([answer, version] {
            if (answer)
                answer(version);
        });
    }
}

void ApiConnection::dropConnection()
{
    if (!m_socket)
        return;
    // Its signals could arrive while it is being torn down: none reaches us.
    QTcpSocket *socket = m_socket;
    m_socket.clear();
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
}

void ServerManager::fetchAPIVersion(VersionCompletion completion)
{
    QCoreApplication *application = QCoreApplication::instance();
    if (!application) {
        // No main loop will ever run a later answer; this is the only chance.
        if (completion)
            completion(std::nullopt);
        return;
    }
    const QUrl address = apiVersionUrl();
    if (!address.isValid()) {
        Dispatch::toMain([completion] {
            if (completion)
                completion(std::nullopt);
        });
        return;
    }
    if (!m_api)
        m_api = std::make_unique<ApiConnection>(address, m_state->config().apiTimeoutMs,
                                                m_state->config().apiDeadlineMs);
    m_api->fetch(std::move(completion));
}

void ServerManager::forgetApiConnection()
{
    if (m_api)
        m_api->forget();
}
