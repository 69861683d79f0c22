#pragma once

#include "server/ShellResult.h"

#include <QString>
#include <QtGlobal>
#include <optional>

// Who holds the server port, as far as this user can see.
struct PortHolder
{
    std::optional<qint32> pid;       // absent: a process of another user
    std::optional<QString> program;  // the name it gave itself, where known

    friend bool operator==(const PortHolder &, const PortHolder &) = default;
};

// What one long operation did, with what the app needs to tell the user.
struct OperationOutcome
{
    enum class Kind {
        Started,            // pid
        PortBusy,           // the start found the port held and gave up: holder
        GeneratorFailed,    // output or failure
        ServerEndedAtOnce,  // output: the last lines of its log; holder
        ServerDidNotStart,  // failure; holder
        Stopped,            // output: what the stop script said
        StopLeftPortBusy,   // output or failure of the stop script; holder
        Regenerated,
        RegenerationFailed, // output or failure
        ScriptTimedOut,     // failure: the script and its bound
    };

    Kind kind = Kind::RegenerationFailed;
    qint64 port = 0;
    std::optional<qint32> pid;
    OutputText::Excerpt output;
    std::optional<RunFailure> failure;
    std::optional<PortHolder> holder;
    // Started: the overgrown server log could not be moved aside.
    bool logNotRotated = false;

    bool success() const
    {
        return kind == Kind::Started || kind == Kind::Stopped || kind == Kind::Regenerated;
    }
};
