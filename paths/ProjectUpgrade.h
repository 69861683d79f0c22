#pragma once

#include <QByteArray>
#include <QMultiHash>
#include <QString>
#include <QStringList>

// Brings the program's own files in a provisioned per-user data folder up to
// the packaged project, the way a package manager treats configuration
// files: what the user left alone is replaced, what the user changed stays
// and gets the new version beside it, unless the package has not changed
// that file since. The program's own files are the
// top-level regular files of the packaged project but the user's data
// (ProjectLayout::userDataFiles); folders (receipts, logs, reports) are
// never touched.
//
// The data folder keeps a record (ProjectLayout::upgradeRecord) of the
// packaged project its files came from: a fingerprint of the packaged files'
// checksums and the checksum of each. The packaged project counts as newer
// whenever its fingerprint differs from the record's, so it is derived from
// the files themselves and cannot be forgotten in a release. The record is
// written last, once every file is in place, so an upgrade cut short by a
// crash or a full disk is finished by the next launch.
namespace ProjectUpgrade {

// SHA-256 checksums (hex) by file name.
using Checksums = QMultiHash<QString, QByteArray>;

// A file the user changed, kept; the new version lies beside it.
struct Kept
{
    QString name;
    QString beside; // NAME.neu, or NAME.neu.2 … where the user has a NAME.neu of their own

    bool operator==(const Kept &) const = default;
};

// What an upgrade did; empty when the folder was up to date.
struct Outcome
{
    QStringList replaced; // unchanged since they were copied, now in the new version
    QStringList added;    // new in the packaged project
    QList<Kept> kept;     // changed by the user: kept, the new version beside
    QStringList failed;   // could not be brought up to date; the next launch tries again
    // Deleted by the user after an upgrade had placed them: left deleted,
    // as a package manager leaves a deleted configuration file.
    QStringList deleted;
    // The folder's files came from a newer version of the program (this
    // one): an older one replaces none of them. Told once per package.
    QString newerVersion;

    bool operator==(const Outcome &) const = default;
    // Anything the user should hear of: what was left as it was or failed.
    bool worthTelling() const
    {
        return !kept.isEmpty() || !failed.isEmpty() || !deleted.isEmpty() || !newerVersion.isEmpty();
    }
};

// How long an upgrade waits for another instance's upgrade of the same
// folder to end (its lock); past that it leaves the folder to that one.
inline constexpr int lockWaitMs = 10000;

// The program's own files of earlier packaged projects, as shipped with the
// program; files that match one of their name count as unchanged. Folders
// provisioned before the record existed are judged by this list alone.
Checksums earlierVersions();
// Lines "<sha256>  <name>"; lines starting with "#" and blank ones are skipped.
Checksums parseChecksums(const QByteArray &text);

// Upgrades target, a provisioned data folder, to the packaged project in
// source. Touches nothing while the record matches the packaged project.
Outcome upgrade(const QString &source, const QString &target, const Checksums &earlier, int lockWait = lockWaitMs);

} // namespace ProjectUpgrade
