#include "platform/EntryFile.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <cerrno>
#include <cstdio>

namespace EntryFile {

std::optional<QString> replace(const QString &path, const QByteArray &content)
{
    const QFileInfo entry(path);
    QTemporaryFile file(entry.path() + QStringLiteral("/.") + entry.fileName() + QStringLiteral("-XXXXXX"));
    if (!file.open() || file.write(content) != content.size() || !file.flush())
        return file.errorString();
    // QTemporaryFile is owner-only; a desktop entry is as readable as others.
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup
                        | QFileDevice::ReadOther);
    file.close();
    if (::rename(QFile::encodeName(file.fileName()).constData(), QFile::encodeName(path).constData()) != 0)
        return qt_error_string(errno);
    file.setAutoRemove(false);
    return std::nullopt;
}

} // namespace EntryFile
