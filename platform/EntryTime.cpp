#include "platform/EntryTime.h"

#include <QFile>

#include <sys/stat.h>

namespace EntryTime {

std::optional<qint64> modified(const QString &path)
{
    struct stat status
    { };
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0)
        return std::nullopt;
    return modifiedNanoseconds(status);
}

} // namespace EntryTime
