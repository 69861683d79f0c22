#pragma once

#include "platform/PortStatus.h"
#include "platform/ProcessHandle.h"
#include "server/Outcome.h"

#include <QtGlobal>

#include <optional>

// A recorded server process that lives but does not hold the port.
enum class Silence {
    None,
    Starting,     // launched by us a short while ago
    Unresponsive, // for longer than a start can plausibly take
};

// What one probe of the server found.
struct ServerObservation
{
    // The recorded server (or a child of it) holds the port, or nothing is
    // recorded and a process listens on it.
    bool running = false;
    Silence silence = Silence::None;
    std::optional<qint32> pid; // the recorded server after the probe
    PortStatus port;           // the last answer about the port
    // Not running: the port is held by what is no server of this project.
    std::optional<PortHolder> stranger;
    // The recorded server and the port's holder by their identities: what
    // to watch for its end, and whom the server's interface is asked of.
    std::optional<ProcessHandle> process, holder;
};

// What the shell shows about the server: handed out whole, by value, each
// time something changed.
struct ServerStatus
{
    enum class State { Stopped, Starting, Restarting, Running, Stopping, Launching, Unresponsive, Occupied };
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
    // There is something to show: the first probe has answered, or a
    // command of ours is under way (and says so).
    bool hasUpdate() const { return known || underWay != Operation::None; }
    bool running = false;
    Silence silence = Silence::None;
    Operation underWay = Operation::None;
    std::optional<qint32> pid;
    PortStatus port;
    std::optional<PortHolder> stranger;
    Api api = Api::Unknown;

    State state() const
    {
        switch (underWay) {
        case Operation::Start: return State::Starting;
        case Operation::Restart: return State::Restarting;
        case Operation::Stop: return State::Stopping;
        case Operation::None: break;
        }
        if (running)
            return State::Running;
        switch (silence) {
        case Silence::Starting: return State::Launching;
        case Silence::Unresponsive: return State::Unresponsive;
        case Silence::None: break;
        }
        return stranger ? State::Occupied : State::Stopped;
    }

    friend bool operator==(const ServerStatus &, const ServerStatus &) = default;
};
