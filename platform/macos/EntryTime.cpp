#include "platform/EntryTime.h"

#include <sys/stat.h>

namespace EntryTime {

qint64 modifiedNanoseconds(const struct stat &status)
{
    return qint64(status.st_mtimespec.tv_sec) * 1000000000 + qint64(status.st_mtimespec.tv_nsec);
}

} // namespace EntryTime
