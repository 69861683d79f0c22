#include "paths/ProjectPaths.h"

#include "paths/ProjectLayout.h"
#include "paths/Provisioning.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#ifdef Q_OS_DARWIN
#include <mach-o/dyld.h>
#include <vector>
#endif

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

QString executablePath()
{
    if (QCoreApplication::instance())
        return QCoreApplication::applicationFilePath();
#ifdef Q_OS_DARWIN
    uint32_t size = 0;
    _NSGetExecutablePath(nullptr, &size);
    std::vector<char> buffer(size + 1, '\0');
    if (_NSGetExecutablePath(buffer.data(), &size) != 0)
        return {};
    return QFile::decodeName(buffer.data());
#else
    return QStringLiteral("/proc/self/exe");
#endif
}

} // namespace

QString ProjectPaths::buchhaltungRoot()
{
    return buchhaltungRoot(processContext());
}

QString ProjectPaths::buchhaltungRoot(const Context &context)
{
    if (context.overrideRoot && !context.overrideRoot->isEmpty()) {
        // Taken as given: neither trimmed, nor tilde-expanded, nor tested.
        const QString &value = *context.overrideRoot;
        return withoutTrailingSeparator(QDir::isAbsolutePath(value)
                                            ? value
                                            : QDir(context.currentDir).absoluteFilePath(value));
    }
    if (const std::optional<QString> packaged = bundledResourceRoot(context)) {
        Provisioning::syncBundledToAppSupport(*packaged, context.appSupport);
        return withoutTrailingSeparator(context.appSupport);
    }
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
    if (context.overrideRoot && !context.overrideRoot->isEmpty())
        return {};
    const std::optional<QString> packaged = bundledResourceRoot(context);
    if (!packaged)
        return {};
    // A first start provisions here; the upgrade then only writes its record.
    Provisioning::syncBundledToAppSupport(*packaged, context.appSupport);
    if (!QFileInfo::exists(context.appSupport + QLatin1Char('/')
                           + ProjectLayout::provisioningMarker()))
        return {};
    return ProjectUpgrade::upgrade(*packaged, withoutTrailingSeparator(context.appSupport), earlier);
}

std::optional<QString> ProjectPaths::bundledResourceRoot(const Context &context)
{
    // Without a bundle directory the path would hang off the file-system root.
    if (context.bundleDir.isEmpty())
        return std::nullopt;
    const QString folder = withoutTrailingSeparator(context.bundleDir) + QLatin1Char('/')
                           + ProjectLayout::packagedProjectPath();
    if (holdsServeScript(folder))
        return folder;
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
    static const QString folder =
            QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QLatin1Char('/')
            + ProjectLayout::appSupportFolderName();
    return folder;
}

QString ProjectPaths::bundleDir()
{
    const QString executable = QFileInfo(executablePath()).canonicalFilePath();
    if (executable.isEmpty())
        return {};
    const QString folder = QFileInfo(executable).path();
#ifdef Q_OS_DARWIN
    // The executable lies in <bundle>.app/Contents/MacOS.
    return parentOf(parentOf(folder));
#else
    return folder;
#endif
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
