#include "platform/Executable.h"

#include <QFileInfo>

namespace Executable {

QString path() { return QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath(); }

} // namespace Executable
