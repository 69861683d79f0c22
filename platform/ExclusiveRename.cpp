#include "platform/ExclusiveRename.h"

#include <cerrno>
#include <cstdio>
#include <sys/stat.h>

namespace ExclusiveRename {

bool renameNoReplace(const QByteArray &from, const QByteArray &to)
{
    if (const std::optional<bool> renamed = systemRenameNoReplace(from, to))
        return *renamed;
    // A file system without an exclusive rename: check first, accepting the
    // small window between the check and the rename.
    struct stat status
    { };
    if (::lstat(to.constData(), &status) == 0) {
        errno = EEXIST;
        return false;
    }
    return ::rename(from.constData(), to.constData()) == 0;
}

} // namespace ExclusiveRename
