#include "paths/ProjectUpgrade.h"

#include "paths/FileEntries.h"
#include "paths/PathsLog.h"
#include "paths/ProjectLayout.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QMutex>
#include <QThread>
#include <QVersionNumber>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

// Every file is replaced on its own through FileEntries::replaceAtomically,
// so each name holds the old or the new version at any moment. The order of
// the steps makes an interrupted upgrade safe to repeat: a file already in
// its new version is recognised by its checksum and left alone, a leftover
// in the staging folder is removed first, and the record that says "done"
// comes last.

namespace ProjectUpgrade {

namespace {

// The program's scripts are small; anything larger is no copy of them.
constexpr qint64 maxProgramFileSize = 16 * 1024 * 1024;

struct PackagedFile
{
    QByteArray content;
    QByteArray checksum;
    uint mode = 0644;
};

struct Record
{
    QByteArray fingerprint;
    QHash<QString, QByteArray> files;
    QString programVersion;
    // A packaged project an older program found and left alone: told once.
    QByteArray declined;
    QJsonObject json;
};

// A NAME.neu of the user's own is not ours to replace: the new version
// goes under the next of these names that is free or ours.
constexpr int besideNames = 9;

QString childPath(const QString &directory, const QString &name) { return directory + QLatin1Char('/') + name; }

QByteArray checksum(const QByteArray &content)
{
    return QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex();
}

bool isProgramFileName(const QString &name)
{
    return !ProjectLayout::userDataFiles().contains(name) && !ProjectLayout::provisioningSkipList().contains(name)
            && name != ProjectLayout::provisioningMarker() && name != ProjectLayout::provisioningStaging()
            && name != ProjectLayout::upgradeRecord() && name != ProjectLayout::upgradeLock();
}

// The program's own files of the packaged project, by name; nothing if the
// folder cannot be read.
std::optional<QMap<QString, PackagedFile>> packagedFiles(const QString &source)
{
    const std::optional<QStringList> names = FileEntries::list(source);
    if (!names)
        return std::nullopt;
    QMap<QString, PackagedFile> files;
    for (const QString &name : *names) {
        const QString path = childPath(source, name);
        // A link in the package is followed: it stands for a file we ship.
        struct stat status
        { };
        if (!isProgramFileName(name) || ::stat(QFile::encodeName(path).constData(), &status) != 0
            || !S_ISREG(status.st_mode))
            continue;
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return std::nullopt; // half a package must not count as a version
        PackagedFile packaged{file.readAll(), {}, uint(status.st_mode & 0777)};
        packaged.checksum = checksum(packaged.content);
        files.insert(name, packaged);
    }
    return files;
}

QByteArray fingerprintOf(const QMap<QString, PackagedFile> &files)
{
    QByteArray listing;
    for (auto file = files.cbegin(); file != files.cend(); ++file)
        listing += file->checksum + "  " + file.key().toUtf8() + '\n';
    return checksum(listing);
}

std::optional<Record> readRecord(const QString &path)
{
    const std::optional<QByteArray> text = FileEntries::regularFileContent(path, maxProgramFileSize);
    if (!text)
        return std::nullopt;
    const QJsonObject json = QJsonDocument::fromJson(*text).object();
    if (json.value(QLatin1String("fingerprint")).toString().isEmpty())
        return std::nullopt; // unreadable: judged as if there were none
    Record record{json.value(QLatin1String("fingerprint")).toString().toLatin1(),
                  {},
                  json.value(QLatin1String("programVersion")).toString(),
                  json.value(QLatin1String("declined")).toString().toLatin1(),
                  json};
    const QJsonObject files = json.value(QLatin1String("files")).toObject();
    for (auto file = files.begin(); file != files.end(); ++file)
        record.files.insert(file.key(), file.value().toString().toLatin1());
    return record;
}

QByteArray recordText(const QByteArray &fingerprint, const QMap<QString, PackagedFile> &files)
{
    QJsonObject checksums;
    for (auto file = files.cbegin(); file != files.cend(); ++file)
        checksums.insert(file.key(), QString::fromLatin1(file->checksum));
    return QJsonDocument(QJsonObject{
                                 {QLatin1String("programVersion"), QLatin1String(HARLUNE_VERSION)},
                                 {QLatin1String("fingerprint"), QString::fromLatin1(fingerprint)},
                                 {QLatin1String("files"), checksums},
                         })
            .toJson();
}

// A record written by a later version of the program than this one.
bool isNewer(const QString &recordedVersion)
{
    const QVersionNumber recorded = QVersionNumber::fromString(recordedVersion);
    return !recorded.isNull() && recorded > QVersionNumber::fromString(QLatin1String(HARLUNE_VERSION));
}

// An exclusive flock on a file of our own in the data folder, held while it
// lives; the kernel lets go of it when a process ends however it ends.
class UpgradeLock
{
public:
    UpgradeLock(const QString &path, int waitMs)
        : m_fd(::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644))
    {
        int error = m_fd < 0 ? errno : 0;
        const QDeadlineTimer deadline(waitMs);
        while (m_fd >= 0 && ::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
            if (errno == EINTR)
                continue;
            if (errno != EWOULDBLOCK) {
                error = errno;
                break;
            }
            if (deadline.hasExpired()) {
                m_busy = true;
                return;
            }
            QThread::msleep(lockPollMs);
        }
        // Only another holder keeps the upgrade off: a folder or file system
        // where no lock can be had is upgraded as it was before locks.
        if (error != 0)
            qCWarning(lcPaths, "no lock on %s: %s", qUtf8Printable(path), strerror(error));
    }
    ~UpgradeLock()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Q_DISABLE_COPY_MOVE(UpgradeLock)

    bool busy() const { return m_busy; }

private:
    static constexpr int lockPollMs = 20;
    int m_fd = -1;
    bool m_busy = false;
};

// One upgrade of one data folder.
class Run
{
public:
    Run(const QString &target, const std::optional<Record> &record, const Checksums &earlier)
        : m_target(target)
        , m_staging(childPath(target, ProjectLayout::provisioningStaging()))
        , m_record(record)
        , m_earlier(earlier)
    {
    }

    void bringUpToDate(const QString &name, const PackagedFile &packaged)
    {
        const QString path = childPath(m_target, name);
        if (!FileEntries::exists(path)) {
            // Placed once and gone since: the user deleted it, and it stays deleted.
            if (m_record && m_record->files.contains(name)) {
                m_outcome.deleted << name;
                return;
            }
            return place(path, packaged, m_outcome.added, name);
        }
        // A link, a folder or a huge file under the name is the user's doing.
        const std::optional<QByteArray> current = FileEntries::regularFileContent(path, maxProgramFileSize);
        const QByteArray currentChecksum = current ? checksum(*current) : QByteArray();
        if (current && currentChecksum == packaged.checksum)
            return; // new already, by an earlier run cut short or by the user
        if (current && isOurs(name, currentChecksum))
            return place(path, packaged, m_outcome.replaced, name);
        if (packageLeftAlone(name, packaged.checksum))
            return; // the user's changes, and nothing new to offer beside them
        putBeside(name, path + ProjectLayout::newVersionSuffix(), packaged);
    }

    Outcome outcome() const { return m_outcome; }
    QString staging() const { return m_staging; }

private:
    // A version we once put there: the record's, or one of an earlier package.
    bool isOurs(const QString &name, const QByteArray &fileChecksum) const
    {
        return (m_record && m_record->files.value(name) == fileChecksum) || m_earlier.contains(name, fileChecksum);
    }

    // The package has not changed this file since the user's copy came from
    // it: what the record says was copied, or, before there was a record,
    // every earlier version, is the version packaged now.
    bool packageLeftAlone(const QString &name, const QByteArray &packagedChecksum) const
    {
        if (m_record && m_record->files.contains(name))
            return m_record->files.value(name) == packagedChecksum;
        const QList<QByteArray> known = m_earlier.values(name);
        return !known.isEmpty() && std::all_of(known.cbegin(), known.cend(), [&](const QByteArray &earlier) {
            return earlier == packagedChecksum;
        });
    }

    void place(const QString &path, const PackagedFile &packaged, QStringList &done, const QString &name)
    {
        if (FileEntries::replaceAtomically(m_staging, path, packaged.content, packaged.mode)) {
            done << name;
            return;
        }
        qCWarning(lcPaths, "%s not brought up to date: %s", qUtf8Printable(path), strerror(errno));
        m_outcome.failed << name;
    }

    void putBeside(const QString &name, const QString &besidePath, const PackagedFile &packaged)
    {
        for (int number = 1; number <= besideNames; ++number) {
            const QString candidate =
                    number == 1 ? besidePath : besidePath + QLatin1Char('.') + QString::number(number);
            const Kept kept{name, QFileInfo(candidate).fileName()};
            if (FileEntries::exists(candidate)) {
                const std::optional<QByteArray> beside = FileEntries::regularFileContent(candidate, maxProgramFileSize);
                const QByteArray besideChecksum = beside ? checksum(*beside) : QByteArray();
                if (beside && besideChecksum == packaged.checksum) {
                    m_outcome.kept << kept;
                    return;
                }
                // Only a new version we put there earlier gives way to this one.
                if (!beside || !isOurs(name, besideChecksum))
                    continue;
            }
            QStringList placed;
            place(candidate, packaged, placed, name);
            if (!placed.isEmpty())
                m_outcome.kept << kept;
            return;
        }
        qCWarning(lcPaths, "no free name beside %s for its new version", qUtf8Printable(name));
        m_outcome.failed << name;
    }

    const QString m_target;
    const QString m_staging;
    const std::optional<Record> &m_record;
    const Checksums &m_earlier;
    Outcome m_outcome;
};

} // namespace

Checksums parseChecksums(const QByteArray &text)
{
    Checksums checksums;
    for (const QByteArray &line : text.split('\n')) {
        const QByteArray trimmed = line.trimmed();
        const qsizetype gap = trimmed.indexOf("  ");
        if (trimmed.isEmpty() || trimmed.startsWith('#') || gap <= 0)
            continue;
        checksums.insert(QString::fromUtf8(trimmed.mid(gap + 2)), trimmed.left(gap).toLower());
    }
    return checksums;
}

Checksums earlierVersions()
{
    QFile list(QStringLiteral(":/paths/packaged-project-history.sha256"));
    if (!list.open(QIODevice::ReadOnly)) {
        qCWarning(lcPaths, "the list of earlier packaged versions is missing");
        return {};
    }
    return parseChecksums(list.readAll());
}

Outcome upgrade(const QString &source, const QString &target, const Checksums &earlier, int lockWait)
{
    static QMutex mutex;
    const QMutexLocker locker(&mutex);

    const std::optional<QMap<QString, PackagedFile>> packaged = packagedFiles(source);
    if (!packaged || packaged->isEmpty()) {
        qCWarning(lcPaths, "cannot read the packaged project %s", qUtf8Printable(source));
        return {};
    }
    // Another instance (another runtime folder, the same data folder) may
    // be upgrading it: one at a time, and the second then finds it done.
    const UpgradeLock lock(childPath(target, ProjectLayout::upgradeLock()), lockWait);
    if (lock.busy()) {
        qCWarning(lcPaths, "%s is being upgraded by another instance; left to it", qUtf8Printable(target));
        return {};
    }
    const QByteArray fingerprint = fingerprintOf(*packaged);
    const QString recordPath = childPath(target, ProjectLayout::upgradeRecord());
    const std::optional<Record> record = readRecord(recordPath);
    Run run(target, record, earlier);
    // What a run cut short left behind, even one that had written the record.
    FileEntries::remove(run.staging());
    if (record && (record->fingerprint == fingerprint || record->declined == fingerprint))
        return {};
    // Another entry under the record's name is not ours to replace.
    const bool recordIsOurs =
            !FileEntries::exists(recordPath) || FileEntries::regularFileContent(recordPath, maxProgramFileSize);

    // Files of a newer program are not replaced by older ones: the newer
    // program may be started again, and its files are the user's latest.
    // The record keeps saying where they came from, and that this package
    // was told of.
    if (record && isNewer(record->programVersion)) {
        Outcome outcome;
        outcome.newerVersion = record->programVersion;
        QJsonObject json = record->json;
        json.insert(QLatin1String("declined"), QString::fromLatin1(fingerprint));
        if (!recordIsOurs
            || !FileEntries::replaceAtomically(run.staging(), recordPath, QJsonDocument(json).toJson(), 0644))
            qCWarning(lcPaths, "cannot write %s", qUtf8Printable(recordPath));
        FileEntries::remove(run.staging());
        return outcome;
    }

    for (auto file = packaged->cbegin(); file != packaged->cend(); ++file)
        run.bringUpToDate(file.key(), *file);
    Outcome outcome = run.outcome();

    if (outcome.failed.isEmpty()
        && !(recordIsOurs
             && FileEntries::replaceAtomically(run.staging(), recordPath, recordText(fingerprint, *packaged), 0644))) {
        qCWarning(lcPaths, "cannot write %s", qUtf8Printable(recordPath));
        outcome.failed << ProjectLayout::upgradeRecord();
    }
    FileEntries::remove(run.staging());
    return outcome;
}

} // namespace ProjectUpgrade
