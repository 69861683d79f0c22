#include "platform/LocalSocketPath.h"

#include <QFile>

#include <sys/un.h>

namespace LocalSocketPath {

qsizetype limit() { return qsizetype(sizeof(sockaddr_un::sun_path)) - 1; }

bool fits(const QString &path, qsizetype limit) { return QFile::encodeName(path).size() <= limit; }

} // namespace LocalSocketPath
