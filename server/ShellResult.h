#pragma once

#include <QString>
#include <QtGlobal>
#include <optional>

// The outcome of one command: whether it counts as a success, what it printed
// (trimmed) or the runner's own message, and the process identifier of a
// server that was launched and left running.
struct ShellResult
{
    bool success = false;
    QString output;
    std::optional<qint32> pid;
};
