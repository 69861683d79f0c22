#include "server/ApiProbe.h"

#include "server/Dispatch.h"
#include "server/OutputText.h"
#include "server/ServerConstants.h"
#include "server/ServerManager.h"
#include "server/ServerState.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>

namespace ApiProbe {

std::optional<QString> versionFrom(QNetworkReply &reply, const QByteArray &body, bool cutOff)
{
    // A 200 whose body broke off is no answer either, unless we broke it off.
    if (reply.error() != QNetworkReply::NoError && !cutOff)
        return std::nullopt;
    const QVariant status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid() || status.toInt() != 200)
        return std::nullopt;
    return OutputText::decodeUtf8(body).value_or(QStringLiteral("OK"));
}

} // namespace ApiProbe

void ServerManager::fetchAPIVersion(VersionCompletion completion)
{
    const auto answer = [completion](const std::optional<QString> &version) {
        if (completion)
            completion(version);
    };
    QCoreApplication *application = QCoreApplication::instance();
    if (!application) {
        // No main loop will ever run a later answer; this is the only chance.
        answer(std::nullopt);
        return;
    }
    const QUrl address = apiVersionUrl();
    if (!address.isValid()) {
        Dispatch::toMain([answer] { answer(std::nullopt); });
        return;
    }

    // Owned by the application, so it goes when the application goes; the
    // next request after that builds a new one.
    if (!m_network) {
        m_network = new QNetworkAccessManager(application);
        // Loopback must never go through a proxy from the environment.
        m_network->setProxy(QNetworkProxy::NoProxy);
    }

    QNetworkRequest request(address);
    // Without it a server that accepts and never answers keeps the request
    // open for ever, and every poll adds one more.
    request.setTransferTimeout(m_state->config().apiTimeoutMs);
    QNetworkReply *reply = m_network->get(request);
    // An answer of any length costs at most the limit: Qt buffers no more
    // than that, and the request is aborted once the body has reached it.
    reply->setReadBufferSize(ServerConstants::apiAnswerLimit);
    auto body = std::make_shared<QByteArray>();
    auto cutOff = std::make_shared<bool>(false);
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [reply, body, cutOff] {
        if (*cutOff)
            return;
        body->append(reply->read(ServerConstants::apiAnswerLimit - body->size()));
        if (body->size() >= ServerConstants::apiAnswerLimit && reply->bytesAvailable() > 0) {
            *cutOff = true;
            reply->abort();
        }
    });
    // Only the completion is captured. A reply destroyed unanswered (its
    // manager going with the application) takes the completion with it:
    // there is no main loop left to call it on.
    QObject::connect(reply, &QNetworkReply::finished, reply, [reply, answer, body, cutOff] {
        if (!*cutOff && reply->isOpen())
            body->append(reply->read(ServerConstants::apiAnswerLimit - body->size()));
        const std::optional<QString> version = ApiProbe::versionFrom(*reply, *body, *cutOff);
        reply->deleteLater();
        Dispatch::toMain([answer, version] { answer(version); });
    });
}
