#pragma once

#include <QString>
#include <QStringList>

// The names inside a bookkeeping project and around it. Everything that
// forms a path to a project file takes its name from here.
namespace ProjectLayout {

inline QString serveScript() { return QStringLiteral("serve.py"); }
inline QString generatorScript() { return QStringLiteral("generate_buchhaltung.py"); }
inline QString stopScript() { return QStringLiteral("stop.sh"); }
inline QString logsFolder() { return QStringLiteral("logs"); }
inline QString serverLog() { return QStringLiteral("logs/server-app.log"); }
inline QString belegeFolder() { return QStringLiteral("Belege-Upload"); }

// Provisioning of the per-user data folder from the packaged copy.
inline QString provisioningMarker() { return QStringLiteral(".harlune-initialized"); }
inline QByteArray provisioningMarkerContent() { return QByteArrayLiteral("initialized"); }
inline QString appSupportFolderName() { return QStringLiteral("Harlune-Buchhaltung"); }
inline QString packagedProjectPath() { return QStringLiteral("Resources/buchhaltung"); }
// Where a signed macOS bundle keeps it: code signing allows nothing beside
// Contents/. Looked at after packagedProjectPath().
inline QString signedBundleProjectPath() { return QStringLiteral("Contents/Resources/buchhaltung"); }
// Top-level entries of the packaged project that are never copied.
inline QStringList provisioningSkipList()
{
    return {QStringLiteral("macos"), QStringLiteral(".git"), QStringLiteral("__pycache__")};
}
// Copies in progress live in this folder inside the per-user data folder
// until each is complete; whatever is found there later is a leftover.
inline QString provisioningStaging() { return QStringLiteral(".harlune-provisioning"); }

// The record of the program's own files in the per-user data folder: the
// packaged project they came from and a checksum of each (ProjectUpgrade).
inline QString upgradeRecord() { return QStringLiteral(".harlune-projekt.json"); }
// Held (flock) while the data folder is upgraded: instances with different
// runtime folders may share one data folder.
inline QString upgradeLock() { return QStringLiteral(".harlune-projekt.lock"); }
// Beside a file the user changed, the new version goes under its name plus this.
inline QString newVersionSuffix() { return QStringLiteral(".neu"); }
// Top-level files of the packaged project that belong to the user once
// copied: the journal and the account kinds. Never replaced by an upgrade.
inline QStringList userDataFiles() { return {QStringLiteral("buchungen.csv"), QStringLiteral("konten.csv")}; }

// Environment variables the program reads.
inline const char *projectOverrideVariable() { return "HARLUNE_PROJECT"; }
inline const char *authVariable() { return "HARLUNE_AUTH"; }

} // namespace ProjectLayout
