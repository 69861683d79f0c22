// Prints what the production path of ProjectPaths computes in a real
// process, for tst_projectpaths. The root is only resolved under an
// override, so running the probe never provisions anything.

#include "paths/ProjectLayout.h"
#include "paths/ProjectPaths.h"

#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QTextStream out(stdout);
    out << "bundleDir without application=" << ProjectPaths::bundleDir() << '\n';
    const QCoreApplication application(argc, argv);
    out << "bundleDir=" << ProjectPaths::bundleDir() << '\n';
    out << "appSupport=" << ProjectPaths::appSupport() << '\n';
    qputenv("XDG_DATA_HOME", "/anderswo");
    out << "appSupport=" << ProjectPaths::appSupport() << " (after XDG_DATA_HOME changed)\n";

    const ProjectPaths::Context context = ProjectPaths::processContext();
    out << "currentDir=" << context.currentDir << '\n';
    if (!context.overrideRoot) {
        out << "override unset\n";
        return 0;
    }
    out << "override=[" << *context.overrideRoot << "]\n";
    if (!context.overrideRoot->isEmpty())
        out << "root=" << ProjectPaths::buchhaltungRoot() << '\n';
    return 0;
}
