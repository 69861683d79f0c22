// The paths layer in a process of its own.
//   paths_probe: prints what ProjectPaths computes, one a line; only under an
//     override, so it never provisions.
//   paths_probe SOURCE TARGET CHECKSUMS: one upgrade of a data folder, so that
//     a test can kill it or fail its writes at any step; ends with 0 when every
//     file is up to date, 1 when some could not be.

#include "paths/ProjectLayout.h"
#include "paths/ProjectPaths.h"

#include <QCoreApplication>
#include <QFile>
#include <QTextStream>

int main(int argc, char *argv[])
{
    if (argc == 4) {
        QFile earlier(QFile::decodeName(argv[3]));
        if (!earlier.open(QIODevice::ReadOnly))
            return 2;
        return ProjectUpgrade::upgrade(QFile::decodeName(argv[1]), QFile::decodeName(argv[2]),
                                       ProjectUpgrade::parseChecksums(earlier.readAll()))
                        .failed.isEmpty()
                ? 0
                : 1;
    }
    if (argc != 1 || qEnvironmentVariableIsEmpty(ProjectLayout::projectOverrideVariable()))
        return 2;
    QTextStream out(stdout);
    out << ProjectPaths::bundleDir() << '\n'; // before the application object exists
    const QCoreApplication application(argc, argv);
    out << ProjectPaths::bundleDir() << '\n' << ProjectPaths::appSupport() << '\n';
    qputenv("XDG_DATA_HOME", "/anderswo");
    qputenv("HOME", "/anderswo");
    out << ProjectPaths::appSupport() << '\n' << ProjectPaths::buchhaltungRoot() << '\n';
    qputenv(ProjectLayout::projectOverrideVariable(), "/zweites");
    out << ProjectPaths::buchhaltungRoot() << '\n';
    return 0;
}
