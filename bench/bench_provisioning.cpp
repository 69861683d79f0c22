// Times the first-run provisioning of the shipped project into a fresh
// per-user data folder, and a look-up of the root, which writes nothing.
// Usage: bench_provisioning [packaged-project-folder] [runs]

#include "paths/ProjectLayout.h"
#include "paths/ProjectPaths.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <vector>

#include <unistd.h>

namespace {

struct Figures
{
    double median = 0, min = 0, max = 0;
};

Figures summarise(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    const size_t middle = samples.size() / 2;
    const double median = samples.size() % 2 ? samples[middle] : (samples[middle - 1] + samples[middle]) / 2;
    return {median, samples.front(), samples.back()};
}

// A bundle folder whose packaged project is the given folder.
bool linkBundle(const QString &bundleDir, const QString &project)
{
    const QString packaged = bundleDir + QLatin1Char('/') + ProjectLayout::packagedProjectPath();
    return QDir().mkpath(QFileInfo(packaged).path())
            && ::symlink(QFile::encodeName(project).constData(), QFile::encodeName(packaged).constData()) == 0;
}

qint64 sizeOfTree(const QString &folder, int *files)
{
    qint64 bytes = 0;
    const QFileInfoList entries =
            QDir(folder).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries) {
        if (entry.isDir() && !entry.isSymLink()) {
            bytes += sizeOfTree(entry.filePath(), files);
        } else {
            bytes += entry.size();
            ++*files;
        }
    }
    return bytes;
}

} // namespace

int main(int argc, char *argv[])
{
    const QCoreApplication application(argc, argv);
    const QStringList arguments = application.arguments();
    const QString project = QFileInfo(arguments.value(1, QStringLiteral(HARLUNE_SHIPPED_PROJECT))).absoluteFilePath();
    const int runs = std::max(1, arguments.value(2, QStringLiteral("20")).toInt());
    QTextStream out(stdout);

    int files = 0;
    const qint64 bytes = sizeOfTree(project, &files);
    out << "packaged project: " << project << " (" << files << " files, " << bytes << " bytes)\n";

    QTemporaryDir scratch;
    ProjectPaths::Context context;
    context.bundleDir = scratch.path() + QStringLiteral("/bundle");
    context.currentDir = scratch.path();
    if (!scratch.isValid() || !linkBundle(context.bundleDir, project)) {
        out << "cannot prepare the bundle folder in " << scratch.path() << '\n';
        return 1;
    }

    std::vector<double> firstRun;
    for (int run = 0; run < runs; ++run) {
        context.appSupport = scratch.path() + QStringLiteral("/run-%1/Harlune-Buchhaltung").arg(run);
        QElapsedTimer timer;
        timer.start();
        const QString root = ProjectPaths::provision(context);
        firstRun.push_back(timer.nsecsElapsed() / 1e6);
        if (root != context.appSupport
            || !QFile::exists(root + QLatin1Char('/') + ProjectLayout::provisioningMarker())) {
            out << "provisioning did not complete in " << root << '\n';
            return 1;
        }
    }
    const Figures first = summarise(firstRun);
    out << "first-run provisioning over " << runs << " runs: median " << first.median << " ms, min " << first.min
        << " ms, max " << first.max << " ms\n";

    // A look-up writes nothing: it only tests for the packaged project.
    const int resolutions = 10000;
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < resolutions; ++i)
        ProjectPaths::buchhaltungRoot(context);
    out << "resolution: " << timer.nsecsElapsed() / 1e3 / resolutions << " µs per call (" << resolutions << " calls)\n";
    return 0;
}
