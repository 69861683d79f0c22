#pragma once

#include "platform/PortStatus.h"

#include <QtGlobal>

#include <optional>

// What one probe of the server found, taken on a worker thread.
struct ServerObservation
{
    // The recorded server lives, or a process listens on the port.
    bool running = false;
    std::optional<qint32> pid; // the recorded server after the probe
    PortStatus port;           // the last answer about the port
};

// What the shell shows about the server: handed out whole, by value, each
// time something changed.
struct ServerStatus
{
    enum class State { Stopped, Starting, Running, Stopping };
    enum class Api {
        Unknown,  // no update yet, or a probe under way for the first time
        Offline,  // the server is stopped: nothing is asked
        Online,   // the version request was answered
        NoAnswer, // the server runs, its API did not answer
    };
    // A command of ours that changes the server, while it is under way.
    enum class Operation { None, Start, Stop, Restart };

    // False until the first probe has answered.
    bool known = false;
    bool running = false;
    Operation underWay = Operation::None;
    std::optional<qint32> pid;
    PortStatus port;
    Api api = Api::Unknown;

    State state() const
    {
        switch (underWay) {
        case Operation::Start:
        case Operation::Restart:
            return State::Starting;
        case Operation::Stop:
            return State::Stopping;
        case Operation::None:
            break;
        }
        return running ? State::Running : State::Stopped;
    }

    friend bool operator==(const ServerStatus &, const ServerStatus &) = default;
};
