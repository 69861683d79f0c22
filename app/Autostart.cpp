#include "app/Autostart.h"

#include "app/AppIdentity.h"
#include "platform/EntryFile.h"
#include "platform/Executable.h"
#include "platform/MakePath.h"
#include "platform/UserFolders.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <algorithm>

namespace {

QString utf8(const char *text) { return QString::fromUtf8(text); }

QString runningExecutable() { return Executable::path(); }

} // namespace

namespace Autostart {

QString defaultConfigHome() { return UserFolders::configHome(); }

QString entryPath(const QString &configHome)
{
    return configHome + QStringLiteral("/autostart/") + utf8(AppIdentity::applicationId) + QStringLiteral(".desktop");
}

QString execValue(const QString &program)
{
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#`()");
    QString argument = program;
    argument.replace(QLatin1Char('%'), QStringLiteral("%%")); // no field code
    if (std::any_of(argument.cbegin(), argument.cend(), [](QChar c) { return reserved.contains(c); })) {
        QString quoted;
        for (const QChar c : std::as_const(argument)) {
            if (QStringLiteral("\"`$\\").contains(c))
                quoted += QLatin1Char('\\');
            quoted += c;
        }
        argument = QLatin1Char('"') + quoted + QLatin1Char('"');
    }
    // Exec is a string value: its own escapes come on top of the quoting.
    argument.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    argument.replace(QLatin1Char('\n'), QStringLiteral("\\n"));
    argument.replace(QLatin1Char('\t'), QStringLiteral("\\t"));
    argument.replace(QLatin1Char('\r'), QStringLiteral("\\r"));
    return argument;
}

QString entryText(const QString &program)
{
    return QStringLiteral("[Desktop Entry]\n"
                          "Type=Application\n"
                          "Name=%1\n"
                          "Name[de]=%2\n"
                          "Comment=%3\n"
                          "Comment[de]=%4\n"
                          "Exec=%5\n"
                          "Icon=%6\n"
                          "Terminal=false\n"
                          "X-GNOME-Autostart-enabled=true\n")
            .arg(utf8(AppIdentity::name), utf8(AppIdentity::nameDe), utf8(AppIdentity::summary),
                 utf8(AppIdentity::summaryDe), execValue(program) + QStringLiteral(" --") + loginOption(),
                 utf8(AppIdentity::applicationId));
}

QString installedProgram(const QString &invokedAs)
{
    QString candidate;
    if (invokedAs.contains(QLatin1Char('/')))
        candidate = QDir::cleanPath(QFileInfo(invokedAs).absoluteFilePath());
    else if (!invokedAs.isEmpty())
        candidate = QStandardPaths::findExecutable(invokedAs);
    // Whoever started us may have passed any name at all.
    const QFileInfo info(candidate);
    if (candidate.isEmpty() || !info.isFile() || !info.isExecutable()
        || info.canonicalFilePath() != runningExecutable())
        return runningExecutable();
    return candidate;
}

Outcome enable(const QString &configHome, const QString &program)
{
    const QString path = entryPath(configHome);
    // Bytes that are not UTF-8 arrive as U+FFFD: such an entry would point
    // nowhere, and a control character makes it invalid.
    if (std::any_of(program.cbegin(), program.cend(),
                    [](QChar c) { return c == QChar::ReplacementCharacter || c.category() == QChar::Other_Control; }))
        return {Result::Failed, path,
                QStringLiteral("Der Programmpfad ist kein gültiges UTF-8 oder enthält Steuerzeichen")};
    if (const std::optional<QString> failure = MakePath::create(QFileInfo(path).path()))
        return {Result::Failed, path, *failure};
    // A link at the entry's path is replaced, never written through.
    if (const std::optional<QString> failure = EntryFile::replace(path, entryText(program).toUtf8()))
        return {Result::Failed, path, *failure};
    return {Result::Enabled, path, {}};
}

Outcome disable(const QString &configHome)
{
    const QString path = entryPath(configHome);
    QFile file(path);
    if (!QFileInfo(path).isSymLink() && !file.exists())
        return {Result::WasNotEnabled, path, {}};
    if (!file.remove())
        return {Result::Failed, path, file.errorString()};
    return {Result::Disabled, path, {}};
}

} // namespace Autostart
