#include "platform/UserFolders.h"

#include <QDir>

namespace UserFolders {

QString xdgBase(const QString &value, const QString &fallback)
{
    if (value.startsWith(QLatin1Char('/')))
        return QDir::cleanPath(value);
    return fallback;
}

} // namespace UserFolders
