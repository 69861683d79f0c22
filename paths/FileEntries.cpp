#include "paths/FileEntries.h"

#include "paths/PathsLog.h"
#include "platform/ExclusiveRename.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace FileEntries {

namespace {

QByteArray native(const QString &path) { return QFile::encodeName(path); }

std::optional<struct stat> entryStatus(const QString &path)
{
    struct stat status
    { };
    if (::lstat(native(path).constData(), &status) != 0)
        return std::nullopt;
    return status;
}

std::optional<QByteArray> linkTarget(const QString &path)
{
    const QByteArray link = native(path);
    // Some file systems report no size for links, so grow until it fits.
    for (qsizetype size = 256; size <= 1 << 20; size *= 4) {
        QByteArray buffer(size, Qt::Uninitialized);
        const ssize_t length = ::readlink(link.constData(), buffer.data(), size_t(size));
        if (length < 0)
            return std::nullopt;
        if (length < size) {
            buffer.truncate(length);
            return buffer;
        }
    }
    return std::nullopt;
}

// Closes the descriptor when it goes out of scope.
struct FileDescriptor
{
    explicit FileDescriptor(int descriptor)
        : fd(descriptor)
    {
    }
    ~FileDescriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    bool valid() const { return fd >= 0; }
    const int fd;
};

bool writeAll(int fd, const QByteArray &content)
{
    for (qsizetype done = 0; done < content.size();) {
        const ssize_t written = ::write(fd, content.constData() + done, size_t(content.size() - done));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        done += written;
    }
    return true;
}

// Logs why a step failed, while errno still tells; false.
bool failed(const char *step, const QString &path, int error = errno)
{
    qCWarning(lcPaths, "%s %s: %s", step, qUtf8Printable(path), qUtf8Printable(qt_error_string(error)));
    return false;
}

bool copyLink(const QString &source, const QString &destination)
{
    const std::optional<QByteArray> target = linkTarget(source);
    if (!target)
        return failed("Cannot read the link", source);
    return ::symlink(target->constData(), native(destination).constData()) == 0
            || failed("Cannot create the link", destination);
}

bool copyDirectory(const QString &source, const QString &destination, mode_t mode)
{
    // Owner-only until filled, so nobody sees or writes a half-made tree.
    if (::mkdir(native(destination).constData(), S_IRWXU) != 0)
        return failed("Cannot create the folder", destination);
    const std::optional<QStringList> names = list(source);
    if (!names)
        return failed("Cannot list", source);
    for (const QString &name : *names) {
        const QString entry = source + QLatin1Char('/') + name;
        if (!isSpecial(entry) && !copy(entry, destination + QLatin1Char('/') + name))
            return false;
    }
    return ::chmod(native(destination).constData(), mode & 07777) == 0
            || failed("Cannot set the permissions of", destination);
}

} // namespace

bool exists(const QString &path) { return entryStatus(path).has_value(); }

std::optional<QStringList> list(const QString &directory)
{
    const std::unique_ptr<DIR, int (*)(DIR *)> handle(::opendir(native(directory).constData()), &::closedir);
    if (!handle)
        return std::nullopt;
    QStringList names;
    for (;;) {
        errno = 0;
        const dirent *entry = ::readdir(handle.get());
        if (!entry)
            break;
        const QString name = QFile::decodeName(entry->d_name);
        if (name != QLatin1String(".") && name != QLatin1String(".."))
            names.append(name);
    }
    if (errno != 0)
        return std::nullopt;
    return names;
}

bool isSpecial(const QString &path)
{
    const std::optional<struct stat> status = entryStatus(path);
    return status && !S_ISREG(status->st_mode) && !S_ISDIR(status->st_mode) && !S_ISLNK(status->st_mode);
}

bool copy(const QString &source, const QString &destination)
{
    const std::optional<struct stat> status = entryStatus(source);
    if (!status)
        return failed("Cannot look at", source);
    if (S_ISLNK(status->st_mode))
        return copyLink(source, destination);
    if (S_ISDIR(status->st_mode))
        return copyDirectory(source, destination, status->st_mode);
    // Opening a pipe or a device for reading could block for ever.
    if (S_ISREG(status->st_mode)) {
        QFile file(source);
        if (file.copy(destination))
            return true;
        qCWarning(lcPaths, "Cannot copy %s: %s", qUtf8Printable(source), qUtf8Printable(file.errorString()));
        return false;
    }
    return false;
}

bool renameNoReplace(const QString &source, const QString &destination)
{
    return ExclusiveRename::renameNoReplace(native(source), native(destination));
}

bool remove(const QString &path)
{
    const std::optional<struct stat> status = entryStatus(path);
    if (!status)
        return true;
    // removeRecursively deletes symbolic links without following them.
    if (S_ISDIR(status->st_mode))
        return QDir(path).removeRecursively();
    return ::unlink(native(path).constData()) == 0;
}

std::optional<QByteArray> regularFileContent(const QString &path, qint64 maxSize)
{
    const FileDescriptor file(::open(native(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat status
    { };
    if (!file.valid() || ::fstat(file.fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size > maxSize)
        return std::nullopt;
    QByteArray content;
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t got = ::read(file.fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 || content.size() + got > maxSize)
            return std::nullopt;
        if (got == 0)
            return content;
        content.append(buffer, got);
    }
}

bool replaceAtomically(const QString &staging, const QString &destination, const QByteArray &content, uint mode)
{
    if (::mkdir(native(staging).constData(), S_IRWXU) != 0 && errno != EEXIST)
        return false;
    const QString staged = staging + QLatin1Char('/') + QFileInfo(destination).fileName();
    FileEntries::remove(staged);
    {
        const FileDescriptor file(
                ::open(native(staged).constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode & 07777));
        if (!file.valid() || !writeAll(file.fd, content) || ::fchmod(file.fd, mode & 07777) != 0
            || ::fsync(file.fd) != 0) {
            FileEntries::remove(staged);
            return false;
        }
    }
    if (::rename(native(staged).constData(), native(destination).constData()) != 0) {
        FileEntries::remove(staged);
        return false;
    }
    // The rename itself lasts only once the folder's entry is on the disk.
    const FileDescriptor folder(
            ::open(native(QFileInfo(destination).path()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return folder.valid() && ::fsync(folder.fd) == 0;
}

} // namespace FileEntries
