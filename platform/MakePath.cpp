#include "platform/MakePath.h"

#include "platform/SystemError.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <sys/stat.h>

namespace MakePath {

namespace {

QString reason(const QString &folder, int error)
{
    return folder + QStringLiteral(": ") + SystemError::describe(error);
}

bool isFolder(const QByteArray &path)
{
    struct stat status
    { };
    return ::stat(path.constData(), &status) == 0 && S_ISDIR(status.st_mode);
}

} // namespace

std::optional<QString> create(const QString &path)
{
    const QString clean = QDir::cleanPath(QDir(path).absolutePath());
    if (isFolder(QFile::encodeName(clean)))
        return std::nullopt;
    // Parents first: "/a", "/a/b", … up to the folder itself.
    for (qsizetype next = clean.indexOf(QLatin1Char('/'), 1);; next = clean.indexOf(QLatin1Char('/'), next + 1)) {
        const QString folder = next < 0 ? clean : clean.left(next);
        const QByteArray native = QFile::encodeName(folder);
        if (::mkdir(native.constData(), 0777) != 0) {
            const int error = errno;
            if (error != EEXIST)
                return reason(folder, error);
            if (!isFolder(native))
                return reason(folder, ENOTDIR);
        }
        if (next < 0)
            return std::nullopt;
    }
}

} // namespace MakePath
