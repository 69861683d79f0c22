#include "platform/UserFolders.h"

#include <QDir>

namespace UserFolders {

QString dataHome()
{
    return xdgBase(qEnvironmentVariable("XDG_DATA_HOME"), QDir::homePath() + QStringLiteral("/.local/share"));
}

QString configHome()
{
    return xdgBase(qEnvironmentVariable("XDG_CONFIG_HOME"), QDir::homePath() + QStringLiteral("/.config"));
}

} // namespace UserFolders
