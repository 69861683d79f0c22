#pragma once

// Small helpers to lay out and inspect directory trees in the paths tests.

#include "paths/ProjectPaths.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

namespace TreeFixture {

// Writes a file, creating its folders.
inline void writeFile(const QString &path, const QByteArray &content)
{
    QVERIFY(QDir().mkpath(QFileInfo(path).path()));
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(path));
    QCOMPARE(file.write(content), content.size());
}

inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

inline void makeLink(const QString &target, const QString &linkPath)
{
    QVERIFY(QDir().mkpath(QFileInfo(linkPath).path()));
    QVERIFY2(::symlink(QFile::encodeName(target).constData(),
                       QFile::encodeName(linkPath).constData())
                     == 0,
             qPrintable(linkPath));
}

inline void makeFifo(const QString &path)
{
    QVERIFY(QDir().mkpath(QFileInfo(path).path()));
    QVERIFY2(::mkfifo(QFile::encodeName(path).constData(), 0600) == 0, qPrintable(path));
}

// Names directly inside a directory, hidden ones and dangling links included, sorted.
inline QStringList entries(const QString &directory)
{
    QStringList names = QDir(directory).entryList(QDir::AllEntries | QDir::Hidden | QDir::System
                                                  | QDir::NoDotAndDotDot);
    names.sort();
    return names;
}

// Removes one entry; a symbolic link is removed, never followed.
inline bool removeEntry(const QString &path)
{
    const QFileInfo entry(path);
    return entry.isDir() && !entry.isSymLink() ? QDir(path).removeRecursively() : QFile::remove(path);
}

// A resolution context whose every folder lies below root: the bundle at
// root/bundle, the per-user data folder at root/home/data/Harlune, the
// working directory at root/cwd.
inline ProjectPaths::Context contextBelow(const QString &root)
{
    ProjectPaths::Context context;
    context.bundleDir = root + QStringLiteral("/bundle");
    context.appSupport = root + QStringLiteral("/home/data/Harlune");
    context.currentDir = root + QStringLiteral("/cwd");
    QDir().mkpath(context.bundleDir);
    QDir().mkpath(context.currentDir);
    return context;
}

inline QString packagedFolder(const ProjectPaths::Context &context)
{
    return context.bundleDir + QStringLiteral("/Resources/buchhaltung");
}

inline QByteArray linkText(const QString &path)
{
    char buffer[4096];
    const ssize_t length = ::readlink(QFile::encodeName(path).constData(), buffer, sizeof buffer);
    return length < 0 ? QByteArray() : QByteArray(buffer, length);
}

// Where the entry at copy differs from the one at original, followed down a
// directory tree; empty when they match in kind, names, content, link
// targets and permissions.
inline QString entryDifference(const QString &original, const QString &copy)
{
    const QFileInfo from(original), to(copy);
    if (from.isSymLink() || to.isSymLink()) {
        return from.isSymLink() && to.isSymLink() && linkText(original) == linkText(copy)
                       ? QString()
                       : copy + QStringLiteral(": link differs");
    }
    if (from.permissions() != to.permissions())
        return copy + QStringLiteral(": permissions differ");
    if (from.isDir() != to.isDir() || from.isFile() != to.isFile())
        return copy + QStringLiteral(": kind differs");
    if (from.isFile())
        return readFile(original) == readFile(copy) ? QString() : copy + QStringLiteral(": content differs");
    if (entries(original) != entries(copy))
        return copy + QStringLiteral(": holds ") + entries(copy).join(QLatin1Char(','));
    for (const QString &name : entries(original)) {
        const QString difference = entryDifference(original + QLatin1Char('/') + name,
                                                   copy + QLatin1Char('/') + name);
        if (!difference.isEmpty())
            return difference;
    }
    return {};
}

} // namespace TreeFixture
