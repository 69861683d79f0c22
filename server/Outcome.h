#pragma once

#include "server/ShellResult.h"

#include <QString>
#include <QtGlobal>
#include <optional>

// Who holds the server port, as far as this user can see.
struct PortHolder
{
    std::optional<qint32> pid;      // absent: a process of another user
    std::optional<QString> program; // the name it gave itself, where known
    // It runs this project's report server (serve.py of this project
    // folder), or another project folder's: that folder.
    bool thisProject = false;
    std::optional<QString> otherProject = {};

    friend bool operator==(const PortHolder &, const PortHolder &) = default;
};

// What one long operation did, with what the app needs to tell the user.
struct OperationOutcome
{
    enum class Kind {
        Started,             // pid
        StartedNotListening, // pid: launched and alive, but it takes no connections yet
        PortBusy,            // the start found the port held and gave up: holder
        GeneratorFailed,     // output or failure
        ServerEndedAtOnce,   // output: the last lines of its log; holder
        ServerDidNotStart,   // failure; holder
        Stopped,             // output: what the stop script said
        StopLeftPortBusy,    // output or failure of the stop script; holder
        PortHeldByOther,     // the stop found no server of ours, only another user's listener: holder
        ProjectIncomplete,   // failure: the root is no folder or lacks a script the command needs
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
    // Stopped: the server we launched, which never listened, was ended by us.
    std::optional<qint32> endedSilent;

    bool success() const { return kind == Kind::Started || kind == Kind::Stopped || kind == Kind::Regenerated; }
};
