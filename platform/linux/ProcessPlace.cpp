#include "platform/ProcessPlace.h"

#include <QFile>

#include <climits>
#include <unistd.h>

namespace ProcessPlace {

std::optional<QString> workingFolder(qint32 pid)
{
    if (pid <= 0)
        return std::nullopt;
    const QByteArray link = QStringLiteral("/proc/%1/cwd").arg(pid).toLatin1();
    char target[PATH_MAX];
    const ssize_t length = ::readlink(link.constData(), target, sizeof target);
    // A folder removed meanwhile reads " (deleted)" after its old name.
    if (length <= 0 || size_t(length) >= sizeof target)
        return std::nullopt;
    return QFile::decodeName(QByteArray(target, qsizetype(length)));
}

std::optional<QStringList> arguments(qint32 pid)
{
    QFile file(QStringLiteral("/proc/%1/cmdline").arg(pid));
    if (pid <= 0 || !file.open(QIODevice::ReadOnly))
        return std::nullopt;
    // A command line is at most a few pages; whatever is longer is cut.
    QByteArray text = file.read(256 * 1024);
    if (text.isEmpty())
        return std::nullopt; // a zombie, or a kernel thread
    if (text.endsWith('\0'))
        text.chop(1);
    QStringList list;
    for (const QByteArray &argument : text.split('\0'))
        list << QFile::decodeName(argument);
    return list;
}

} // namespace ProcessPlace
