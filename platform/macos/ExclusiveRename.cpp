#include "platform/ExclusiveRename.h"

#include <cerrno>
#include <cstdio>

namespace ExclusiveRename {

std::optional<bool> systemRenameNoReplace(const QByteArray &from, const QByteArray &to)
{
    if (::renamex_np(from.constData(), to.constData(), RENAME_EXCL) == 0)
        return true;
    if (errno == ENOTSUP)
        return std::nullopt;
    return false;
}

} // namespace ExclusiveRename
