#include "platform/UserFolders.h"

#include <QDir>

namespace UserFolders {

QString runtimeFolder() { return xdgBase(qEnvironmentVariable("XDG_RUNTIME_DIR"), QString()); }

QString xdgBase(const QString &value, const QString &fallback)
{
    if (value.startsWith(QLatin1Char('/')))
        return QDir::cleanPath(value);
    return fallback;
}

} // namespace UserFolders
