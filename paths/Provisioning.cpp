#include "paths/Provisioning.h"

#include "paths/FileEntries.h"
#include "paths/PathsLog.h"
#include "paths/ProjectLayout.h"
#include "platform/MakePath.h"

#include <QDir>
#include <QFileInfo>
#include <QMutex>
#include <QSaveFile>

#include <cerrno>

// Each missing top-level entry is first copied into the staging folder
// ".harlune-provisioning" inside the per-user data folder and only then
// renamed to its real name, so a crash or a full disk never leaves a half
// entry under a name that later runs would take as complete. The staging
// folder has one fixed name, so a leftover is recognised by that name alone;
// it is removed before every provisioning. A packaged entry with the staging
// name or the marker's name is never copied: the former would collide with
// the staging folder, the latter would mark a provisioning as done before it
// is.

namespace Provisioning {

namespace {

QString childPath(const QString &directory, const QString &name) { return directory + QLatin1Char('/') + name; }

bool isCopied(const QString &name)
{
    return !ProjectLayout::provisioningSkipList().contains(name) && name != ProjectLayout::provisioningStaging()
            && name != ProjectLayout::provisioningMarker();
}

// Brings one entry into target through the staging folder. True when the
// entry is in place afterwards.
bool copyThroughStaging(const QString &source, const QString &staging, const QString &target, const QString &name)
{
    const QString staged = childPath(staging, name);
    const QString destination = childPath(target, name);
    bool inPlace = FileEntries::copy(childPath(source, name), staged);
    if (!inPlace) {
        qCWarning(lcPaths, "Provisioning: %s not copied; the next resolution tries again", qUtf8Printable(destination));
    } else if (!FileEntries::renameNoReplace(staged, destination)) {
        // Something else created the name meanwhile: it stays as it is.
        inPlace = errno == EEXIST || errno == ENOTEMPTY;
        if (!inPlace)
            qCWarning(lcPaths, "Provisioning: %s not put in place: %s", qUtf8Printable(destination),
                      qUtf8Printable(qt_error_string(errno)));
    }
    FileEntries::remove(staged);
    return inPlace;
}

// Copies the top-level entries of source that target lacks. True when every
// one of them is now in target.
bool copyMissing(const QString &source, const QString &target)
{
    const QString staging = childPath(target, ProjectLayout::provisioningStaging());
    FileEntries::remove(staging);
    const std::optional<QStringList> names = FileEntries::list(source);
    // The packaged folder holds at least "serve.py": an empty listing failed.
    if (!names || names->isEmpty()) {
        qCWarning(lcPaths, "Provisioning: the packaged project %s cannot be listed", qUtf8Printable(source));
        return false;
    }
    if (const std::optional<QString> failure = MakePath::create(staging)) {
        qCWarning(lcPaths, "Provisioning: no folder to copy into: %s", qUtf8Printable(*failure));
        return false;
    }

    bool complete = true;
    for (const QString &name : *names) {
        // An entry already there, even a dangling link, is never touched. A
        // pipe, socket or device is no project data: waiting for its copy
        // would keep every later resolution provisioning again.
        if (!isCopied(name) || FileEntries::exists(childPath(target, name))
            || FileEntries::isSpecial(childPath(source, name)))
            continue;
        if (!copyThroughStaging(source, staging, target, name))
            complete = false;
    }
    FileEntries::remove(staging);
    return complete;
}

void writeMarker(const QString &markerPath)
{
    QSaveFile marker(markerPath);
    if (marker.open(QIODevice::WriteOnly)
        && marker.write(ProjectLayout::provisioningMarkerContent()) == ProjectLayout::provisioningMarkerContent().size()
        && marker.commit())
        return;
    // The next resolution provisions again and copies what is still missing.
    qCWarning(lcPaths, "Provisioning: marker %s not written: %s", qUtf8Printable(markerPath),
              qUtf8Printable(marker.errorString()));
}

} // namespace

void syncBundledToAppSupport(const QString &source, const QString &target)
{
    // Within one process, two resolutions never copy into the same folder at
    // once; the marker test is inside so the second one sees the first's work.
    static QMutex mutex;
    const QMutexLocker locker(&mutex);

    const QString markerPath = childPath(target, ProjectLayout::provisioningMarker());
    if (QFileInfo::exists(markerPath))
        return;
    if (const std::optional<QString> failure = MakePath::create(target))
        qCWarning(lcPaths, "Provisioning: the data folder cannot be created: %s", qUtf8Printable(*failure));
    if (copyMissing(source, target))
        writeMarker(markerPath);
}

} // namespace Provisioning
