#include "server/ApiProbe.h"

#include "server/Dispatch.h"
#include "server/OutputText.h"
#include "server/ServerManager.h"
#include "server/ServerState.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>

namespace ApiProbe {

std::optional<QString> versionFrom(QNetworkReply &reply)
{
    // A 200 whose body broke off is no answer either.
    if (reply.error() != QNetworkReply::NoError)
        return std::nullopt;
    const QVariant status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid() || status.toInt() != 200)
        return std::nullopt;
    return OutputText::decodeUtf8(reply.readAll()).value_or(QStringLiteral("OK"));
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
    // Only the completion is captured. A reply destroyed unanswered (its
    // manager going with the application) takes the completion with it:
    // there is no main loop left to call it on.
    QObject::connect(reply, &QNetworkReply::finished, reply, [reply, answer] {
        const std::optional<QString> version = ApiProbe::versionFrom(*reply);
        reply->deleteLater();
        Dispatch::toMain([answer, version] { answer(version); });
    });
}
