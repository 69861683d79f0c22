#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

class QNetworkReply;

namespace ApiProbe {

// The answer to the version request: the body of a complete 200 answer as
// UTF-8, unchanged ("OK" when the body is not UTF-8, "" when it is empty);
// absent for any other status, a transport error or a timeout. A 200 answer
// longer than the limit counts as an answer too: it was cut off on purpose
// once `body` held its first ServerConstants::apiAnswerLimit bytes, and
// those are its text.
std::optional<QString> versionFrom(QNetworkReply &reply, const QByteArray &body, bool cutOff);

} // namespace ApiProbe
