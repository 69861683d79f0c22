#pragma once

#include "server/OutputText.h"

#include <QString>
#include <QtGlobal>
#include <optional>

// Why a command could not be run at all.
struct RunFailure
{
    enum class Kind {
        NoCommand,
        RootUnavailable,      // path: the project root, which cannot be made
        ProgramMissing,       // path: the program
        ProgramNotExecutable, // path: the program
        LaunchError,          // path: the program; detail: the platform's words
        TimedOut,             // path: the script; boundMs: how long it ran
        LogUnusable,          // path: the server log, no writable regular file
    };
    Kind kind = Kind::NoCommand;
    QString path;
    QString detail;
    int boundMs = 0;

    friend bool operator==(const RunFailure &, const RunFailure &) = default;
};

// The outcome of one command: whether it counts as a success, what it printed
// (trimmed and shortened), why it could not run, and the process identifier
// of a server that was launched and left running.
struct ShellResult
{
    bool success = false;
    OutputText::Excerpt output;
    std::optional<qint32> pid;
    std::optional<RunFailure> failure;
};
