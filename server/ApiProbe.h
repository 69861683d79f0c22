#pragma once

#include <QString>
#include <optional>

class QNetworkReply;

namespace ApiProbe {

// The answer to the version request: the body of a complete 200 answer as
// UTF-8, unchanged ("OK" when the body is not UTF-8, "" when it is empty);
// absent for any other status, a transport error or a timeout.
std::optional<QString> versionFrom(QNetworkReply &reply);

} // namespace ApiProbe
