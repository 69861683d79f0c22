#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

// Which Python 3 runs the project's scripts, by absolute path.
namespace PythonChoice {

struct Candidate
{
    QString path;
    // /usr/bin/python3 on macOS is a stub without the Command Line Tools:
    // running it only offers to install them, with a system dialog.
    bool needsDeveloperTools = false;
};

// macOS, in this order: the system's (with the Command Line Tools),
// Homebrew's on Apple silicon and on Intel, python.org's.
QList<Candidate> macCandidates();

// The first candidate that answers, passing over those that need the
// developer tools when they are missing; `answers` tells whether a path
// exists and runs. Absent when none does.
std::optional<QString> choose(const QList<Candidate> &candidates, bool developerToolsPresent,
                              const std::function<bool(const QString &path)> &answers);

// This system's choice. Linux: /usr/bin/python3, which the package depends
// on, without asking. macOS: asks xcode-select and the candidates (runs
// programs: never on the GUI thread).
std::optional<QString> find();

// Where find() looks, for telling the user.
QStringList searchedPaths();

} // namespace PythonChoice
