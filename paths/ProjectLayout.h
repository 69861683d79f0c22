#pragma once

#include <QString>

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

// Environment variables the program reads.
inline const char *projectOverrideVariable() { return "HARLUNE_PROJECT"; }
inline const char *authVariable() { return "HARLUNE_AUTH"; }

} // namespace ProjectLayout
