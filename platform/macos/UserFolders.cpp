#include "platform/UserFolders.h"

#include <QDir>

namespace UserFolders {

QString dataHome() { return QDir::homePath() + QStringLiteral("/Library/Application Support"); }

QString configHome() { return QDir::homePath() + QStringLiteral("/Library/Preferences"); }

} // namespace UserFolders
