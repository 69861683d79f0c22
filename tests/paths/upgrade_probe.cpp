// One upgrade of a data folder in a process of its own, so that a test can
// kill it or fail its writes at any step: upgrade_probe SOURCE TARGET CHECKSUMS.
// Ends with 0 when every file is up to date, 1 when some could not be.

#include "paths/ProjectUpgrade.h"

#include <QFile>

int main(int argc, char *argv[])
{
    if (argc != 4)
        return 2;
    QFile earlier(QFile::decodeName(argv[3]));
    if (!earlier.open(QIODevice::ReadOnly))
        return 2;
    const ProjectUpgrade::Outcome outcome =
            ProjectUpgrade::upgrade(QFile::decodeName(argv[1]), QFile::decodeName(argv[2]),
                                    ProjectUpgrade::parseChecksums(earlier.readAll()));
    return outcome.failed.isEmpty() ? 0 : 1;
}
