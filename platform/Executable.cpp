#include "platform/Executable.h"

#include <QStringList>

namespace Executable {

QString bundleDirFor(const QString &executable)
{
    const qsizetype slash = executable.lastIndexOf(QLatin1Char('/'));
    if (slash < 0)
        return {};
    const QString folder = slash == 0 ? QStringLiteral("/") : executable.left(slash);
    // "…/X.app/Contents/MacOS": three names, the first a non-empty X.app.
    const QStringList names = folder.split(QLatin1Char('/'));
    const qsizetype count = names.size();
    if (count >= 4 && names.at(count - 1) == QLatin1String("MacOS") && names.at(count - 2) == QLatin1String("Contents")
        && names.at(count - 3).size() > 4 && names.at(count - 3).endsWith(QLatin1String(".app")))
        return names.mid(0, count - 2).join(QLatin1Char('/'));
    return folder;
}

} // namespace Executable
