#pragma once

// Lays out and inspects directory trees for the tests of paths/.

#include "paths/ProjectPaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

#include <unistd.h>

namespace TreeFixture {

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

inline void makeLink(const QString &target, const QString &link)
{
    QVERIFY(QDir().mkpath(QFileInfo(link).path()));
    QVERIFY2(QFile::link(target, link), qPrintable(link));
}

// Names directly inside a directory, hidden ones and dangling links included, sorted.
inline QStringList entries(const QString &directory)
{
    QStringList names = QDir(directory).entryList(QDir::AllEntries | QDir::Hidden | QDir::System
                                                  | QDir::NoDotAndDotDot);
    names.sort();
    return names;
}

// One line per entry at and below path: name, kind, permissions, and the
// file's content or the link's own target text. Equal snapshots mean equal trees.
inline QStringList snapshot(const QString &path, const QString &name = QStringLiteral("."))
{
    const QFileInfo info(path);
    if (info.isSymLink()) {
        char text[4096];
        const ssize_t length = ::readlink(QFile::encodeName(path).constData(), text, sizeof text);
        return {name + " -> " + QString::fromLocal8Bit(text, qMax<ssize_t>(length, 0))};
    }
    QStringList lines{name + (info.isDir() ? " dir " : info.isFile() ? " file " : " other ")
                      + QString::number(int(info.permissions()), 16)};
    if (info.isFile())
        lines.last() += ' ' + QString::fromUtf8(readFile(path));
    for (const QString &child : info.isDir() ? entries(path) : QStringList())
        lines += snapshot(path + '/' + child, name + '/' + child);
    return lines;
}

// The bundle, the per-user data folder and the working directory below root.
inline ProjectPaths::Context contextBelow(const QString &root)
{
    return {std::nullopt, root + "/bundle", root + "/data", root + "/cwd"};
}

inline QString packagedFolder(const ProjectPaths::Context &context)
{
    return context.bundleDir + "/Resources/buchhaltung";
}

} // namespace TreeFixture
