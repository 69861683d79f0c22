#include "platform/PythonChoice.h"

namespace PythonChoice {

QList<Candidate> macCandidates()
{
    return {
            {QStringLiteral("/usr/bin/python3"), true},
            {QStringLiteral("/opt/homebrew/bin/python3"), false},
            {QStringLiteral("/usr/local/bin/python3"), false},
            {QStringLiteral("/Library/Frameworks/Python.framework/Versions/Current/bin/python3"), false},
    };
}

std::optional<QString> choose(const QList<Candidate> &candidates, bool developerToolsPresent,
                              const std::function<bool(const QString &path)> &answers)
{
    for (const Candidate &candidate : candidates) {
        if (candidate.needsDeveloperTools && !developerToolsPresent)
            continue;
        if (answers(candidate.path))
            return candidate.path;
    }
    return std::nullopt;
}

} // namespace PythonChoice
