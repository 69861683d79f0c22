#pragma once

#include "paths/ProjectUpgrade.h"

#include <QString>
#include <optional>

// Decides which directory is the bookkeeping project root, afresh on every
// call, and fills the per-user data folder from the packaged copy when asked
// to: at launch (upgradePackagedProject) and by the commands that run the
// project's scripts (provision), never by a mere look-up.
//
// Resolution order: the HARLUNE_PROJECT override, the packaged project
// (provisioned into appSupport(), which is then the answer), a development
// checkout up to 8 levels above the bundle directory, the working directory.
class ProjectPaths
{
public:
    // Everything a resolution looks at outside the file system. The
    // production path fills it from the process; tests pass their own.
    struct Context
    {
        std::optional<QString> overrideRoot; // HARLUNE_PROJECT as read, if set
        QString bundleDir;                   // directory taking the place of the app bundle
        QString appSupport;                  // per-user data folder
        QString currentDir;                  // working directory
    };

    ProjectPaths() = delete;

    // The project root as an absolute path without a trailing separator.
    // Writes nothing: the per-user data folder is the answer for a packaged
    // project whether or not it is filled yet.
    static QString buchhaltungRoot();
    static QString buchhaltungRoot(const Context &context);

    // The same root, with the per-user data folder filled first where it is
    // the root and lacks its marker: the first start, or a folder deleted
    // (or its marker, to have missing files restored) while the program
    // runs. Entries already there are never replaced.
    static QString provision();
    static QString provision(const Context &context);

    // Brings the program's own files in the per-user data folder up to the
    // packaged project, once it is provisioned; does nothing under the
    // override or without a packaged project. Called once at launch: a
    // server already running keeps the files it has open.
    static ProjectUpgrade::Outcome upgradePackagedProject();
    static ProjectUpgrade::Outcome upgradePackagedProject(const Context &context,
                                                          const ProjectUpgrade::Checksums &earlier);

    // Per-user data folder: the desktop's data folder for programs plus
    // "Harlune-Buchhaltung". Computed once per process, thread-safe.
    static QString appSupport();

    // The .app bundle when the executable lies inside one; otherwise the
    // folder that holds the real executable, symbolic links resolved.
    static QString bundleDir();

    static Context processContext();

    // How many directories above the bundle directory a development
    // checkout is looked for, nearest first.
    static constexpr int developmentWalkLevels = 8;

private:
    // The packaged project the per-user data folder is a copy of, unless
    // the override names the root.
    static std::optional<QString> copiedProject(const Context &context);
    // The packaged project folder, if it holds "serve.py".
    static std::optional<QString> bundledResourceRoot(const Context &context);
    // The nearest directory above the bundle directory holding "serve.py".
    static std::optional<QString> developmentProjectRoot(const Context &context);
};
