#include "platform/ProcessPlace.h"

#include <QFile>

#include <cstring>
#include <libproc.h>
#include <sys/proc_info.h>
#include <sys/sysctl.h>
#include <vector>

namespace ProcessPlace {

std::optional<QString> workingFolder(qint32 pid)
{
    if (pid <= 0)
        return std::nullopt;
    proc_vnodepathinfo info{};
    if (::proc_pidinfo(pid, PROC_PIDVNODEPATHINFO, 0, &info, sizeof info) != int(sizeof info))
        return std::nullopt;
    const QByteArray path(info.pvi_cdir.vip_path, qsizetype(::strnlen(info.pvi_cdir.vip_path, MAXPATHLEN)));
    if (path.isEmpty())
        return std::nullopt;
    return QFile::decodeName(path);
}

std::optional<QStringList> arguments(qint32 pid)
{
    if (pid <= 0)
        return std::nullopt;
    int request[3] = {CTL_KERN, KERN_PROCARGS2, pid};
    size_t size = 0;
    if (::sysctl(request, 3, nullptr, &size, nullptr, 0) != 0 || size < sizeof(int))
        return std::nullopt;
    std::vector<char> buffer(size);
    if (::sysctl(request, 3, buffer.data(), &size, nullptr, 0) != 0 || size < sizeof(int))
        return std::nullopt;
    // The argument count, the executable's path, padding, then the arguments.
    int count = 0;
    std::memcpy(&count, buffer.data(), sizeof count);
    size_t at = sizeof count;
    while (at < size && buffer[at] != '\0')
        ++at;
    while (at < size && buffer[at] == '\0')
        ++at;
    QStringList list;
    while (at < size && list.size() < count) {
        const size_t length = ::strnlen(buffer.data() + at, size - at);
        list << QFile::decodeName(QByteArray(buffer.data() + at, qsizetype(length)));
        at += length + 1;
    }
    if (list.isEmpty())
        return std::nullopt;
    return list;
}

} // namespace ProcessPlace
