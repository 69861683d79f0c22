#include "platform/PythonChoice.h"

#include "platform/PlatformLog.h"

#include <QFileInfo>
#include <QProcess>

namespace PythonChoice {

namespace {

// Long enough for a first start of an interpreter on a cold disk.
constexpr int answerTimeoutMs = 10000;

bool endsWell(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    process.start(program, arguments);
    if (!process.waitForFinished(answerTimeoutMs)) {
        process.kill();
        process.waitForFinished(answerTimeoutMs);
        return false;
    }
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

} // namespace

std::optional<QString> find()
{
    const bool developerTools = endsWell(QStringLiteral("/usr/bin/xcode-select"), {QStringLiteral("-p")});
    const std::optional<QString> chosen = choose(macCandidates(), developerTools, [](const QString &path) {
        return QFileInfo(path).isExecutable() && endsWell(path, {QStringLiteral("--version")});
    });
    if (!chosen)
        qCWarning(lcPlatform, "No usable Python 3 (Command Line Tools %s)", developerTools ? "present" : "missing");
    return chosen;
}

QStringList searchedPaths()
{
    QStringList paths;
    for (const Candidate &candidate : macCandidates())
        paths.append(candidate.path);
    return paths;
}

} // namespace PythonChoice
