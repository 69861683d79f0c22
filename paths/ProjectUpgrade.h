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

// What an upgrade did; empty when the folder was up to date.
struct Outcome
{
    QStringList replaced; // unchanged since they were copied, now in the new version
    QStringList added;    // new in the packaged project
    QStringList kept;     // changed by the user: kept, the new version beside as NAME.neu
    QStringList failed;   // could not be brought up to date; the next launch tries again

    bool operator==(const Outcome &) const = default;
};

// The program's own files of earlier packaged projects, as shipped with the
// program; files that match one of their name count as unchanged. Folders
// provisioned before the record existed are judged by this list alone.
Checksums earlierVersions();
// Lines "<sha256>  <name>"; lines starting with "#" and blank ones are skipped.
Checksums parseChecksums(const QByteArray &text);

// Upgrades target, a provisioned data folder, to the packaged project in
// source. Touches nothing while the record matches the packaged project.
Outcome upgrade(const QString &source, const QString &target, const Checksums &earlier);

} // namespace ProjectUpgrade
