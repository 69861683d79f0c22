#include "paths/ProjectPaths.h"

#include "paths/ProjectLayout.h"
#include "paths/Provisioning.h"

#include "platform/Executable.h"
#include "platform/UserFolders.h"

#include <QDir>
#include <QFileInfo>

namespace {

// Paths are handed out without a trailing separator; the root stays "/".
QString withoutTrailingSeparator(QString path)
{
    while (path.size() > 1 && path.endsWith(QLatin1Char('/')))
        path.chop(1);
    return path;
}

QString parentOf(const QString &path)
{
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    return slash <= 0 ? QStringLiteral("/") : path.left(slash);
}

bool holdsServeScript(const QString &directory)
{
    // Follows a final symbolic link; a directory of that name counts too.
    return QFileInfo::exists(directory + QLatin1Char('/') + ProjectLayout::serveScript());
}

// HARLUNE_PROJECT, set and not empty, names the root.
bool overridden(const ProjectPaths::Context &context)
{
    return context.overrideRoot && !context.overrideRoot->isEmpty();
}

} // namespace

QString ProjectPaths::buchhaltungRoot() { return buchhaltungRoot(processContext()); }

QString ProjectPaths::provision() { return provision(processContext()); }

QString ProjectPaths::provision(const Context &context)
{
    if (const std::optional<QString> packaged = copiedProject(context))
        Provisioning::syncBundledToAppSupport(*packaged, context.appSupport);
    return buchhaltungRoot(context);
}

QString ProjectPaths::buchhaltungRoot(const Context &context)
{
    if (overridden(context)) {
        // Taken as given: neither trimmed, nor tilde-expanded, nor tested.
        const QString &value = *context.overrideRoot;
        return withoutTrailingSeparator(QDir::isAbsolutePath(value) ? value
                                                                    : QDir(context.currentDir).absoluteFilePath(value));
    }
    if (bundledResourceRoot(context))
        return withoutTrailingSeparator(context.appSupport);
    if (const std::optional<QString> checkout = developmentProjectRoot(context))
        return *checkout;
    return withoutTrailingSeparator(context.currentDir);
}

ProjectUpgrade::Outcome ProjectPaths::upgradePackagedProject()
{
    return upgradePackagedProject(processContext(), ProjectUpgrade::earlierVersions());
}

ProjectUpgrade::Outcome ProjectPaths::upgradePackagedProject(const Context &context,
                                                             const ProjectUpgrade::Checksums &earlier)
{
    const std::optional<QString> packaged = copiedProject(context);
    if (!packaged)
        return {};
    // A first start provisions here; the upgrade then only writes its record.
    Provisioning::syncBundledToAppSupport(*packaged, context.appSupport);
    if (!QFileInfo::exists(context.appSupport + QLatin1Char('/') + ProjectLayout::provisioningMarker()))
        return {};
    return ProjectUpgrade::upgrade(*packaged, withoutTrailingSeparator(context.appSupport), earlier);
}

std::optional<QString> ProjectPaths::copiedProject(const Context &context)
{
    return overridden(context) ? std::nullopt : bundledResourceRoot(context);
}

std::optional<QString> ProjectPaths::bundledResourceRoot(const Context &context)
{
    // Without a bundle directory the path would hang off the file-system root.
    if (context.bundleDir.isEmpty())
        return std::nullopt;
    for (const QString &place : {ProjectLayout::packagedProjectPath(), ProjectLayout::signedBundleProjectPath()}) {
        const QString folder = withoutTrailingSeparator(context.bundleDir) + QLatin1Char('/') + place;
        if (holdsServeScript(folder))
            return folder;
    }
    return std::nullopt;
}

std::optional<QString> ProjectPaths::developmentProjectRoot(const Context &context)
{
    if (context.bundleDir.isEmpty())
        return std::nullopt;
    QString candidate = parentOf(QDir::cleanPath(context.bundleDir));
    for (int level = 0; level < developmentWalkLevels; ++level) {
        if (holdsServeScript(candidate))
            return candidate;
        candidate = parentOf(candidate);
    }
    return std::nullopt;
}

QString ProjectPaths::appSupport()
{
    static const QString folder = UserFolders::dataHome() + QLatin1Char('/') + ProjectLayout::appSupportFolderName();
    return folder;
}

QString ProjectPaths::bundleDir()
{
    const QString executable = Executable::path();
    if (executable.isEmpty())
        return {};
    return Executable::bundleDirFor(executable);
}

ProjectPaths::Context ProjectPaths::processContext()
{
    Context context;
    if (qEnvironmentVariableIsSet(ProjectLayout::projectOverrideVariable()))
        context.overrideRoot = qEnvironmentVariable(ProjectLayout::projectOverrideVariable());
    context.bundleDir = bundleDir();
    context.appSupport = appSupport();
    context.currentDir = QDir::currentPath();
    return context;
}
