// Prints what ProjectPaths computes in a real process, one a line; only under an override, so it never provisions.

#include "paths/ProjectLayout.h"
#include "paths/ProjectPaths.h"

#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty(ProjectLayout::projectOverrideVariable()))
        return 1;
    QTextStream out(stdout);
    out << ProjectPaths::bundleDir() << '\n'; // before the application object exists
    const QCoreApplication application(argc, argv);
    out << ProjectPaths::bundleDir() << '\n' << ProjectPaths::appSupport() << '\n';
    qputenv("XDG_DATA_HOME", "/anderswo");
    out << ProjectPaths::appSupport() << '\n' << ProjectPaths::buchhaltungRoot() << '\n';
    qputenv(ProjectLayout::projectOverrideVariable(), "/zweites");
    out << ProjectPaths::buchhaltungRoot() << '\n';
    return 0;
}
