#include "platform/ExclusiveRename.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>

namespace ExclusiveRename {

std::optional<bool> systemRenameNoReplace(const QByteArray &from, const QByteArray &to)
{
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0)
        return true;
    // Refused by file systems without it, and by kernels before 3.15.
    if (errno == EINVAL || errno == ENOSYS)
        return std::nullopt;
    return false;
}

} // namespace ExclusiveRename
