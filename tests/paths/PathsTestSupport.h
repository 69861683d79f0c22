#pragma once

// Files and trees as the paths tests prepare and compare them.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

#include "platform/EntryTime.h"

inline void writeFile(const QString &path, const QByteArray &content)
{
    QVERIFY(QDir().mkpath(QFileInfo(path).path()));
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly) && file.write(content) == content.size(), qPrintable(path));
}

inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : "<unreadable>";
}

inline void makeLink(const QString &target, const QString &link)
{
    QVERIFY(QDir().mkpath(QFileInfo(link).path()));
    QVERIFY2(QFile::link(target, link), qPrintable(link));
}

// Names directly inside a directory, hidden ones and dangling links included, sorted.
inline QStringList entries(const QString &directory)
{
    return QDir(directory).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

// One line per entry at and below path: name, kind, permissions, and the
// file's content or where the link points, seen from its folder; with
// times, also when the entry was last changed, to the nanosecond. Equal
// snapshots mean equal trees.
inline QStringList snapshot(const QString &path, bool withTimes = false, const QString &name = QStringLiteral("."))
{
    const QFileInfo info(path);
    const std::optional<qint64> modified = withTimes ? EntryTime::modified(path) : std::nullopt;
    const QString time = modified ? QStringLiteral(" @%1").arg(*modified) : QString();
    if (info.isSymLink())
        return {name + QLatin1String(" -> ") + info.dir().relativeFilePath(info.symLinkTarget()) + time};
    QStringList lines{name
                      + QLatin1String(info.isDir()            ? " dir "
                                              : info.isFile() ? " file "
                                                              : " other ")
                      + QString::number(int(info.permissions()), 16) + time + u' '
                      + QString::fromUtf8(info.isFile() ? readFile(path) : QByteArray())};
    for (const QString &child : info.isDir() ? entries(path) : QStringList())
        lines += snapshot(path + u'/' + child, withTimes, name + u'/' + child);
    return lines;
}
