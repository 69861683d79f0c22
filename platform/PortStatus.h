#pragma once

#include <QtGlobal>

#include <optional>

// What the port probe found out about the server port.
struct PortStatus
{
    enum class Kind {
        Free,    // nothing listens on it
        Held,    // something listens on it
        Unknown, // the probe got no answer (failed, timed out)
    };

    Kind kind = Kind::Unknown;
    // Held only: the lowest process identifier among the listener's holders
    // that this user can see. Absent while the port is held by a process of
    // another user, which this user cannot look into.
    std::optional<qint32> pid;

    static PortStatus free() { return {Kind::Free, std::nullopt}; }
    static PortStatus held(std::optional<qint32> pid) { return {Kind::Held, pid}; }
    static PortStatus unknown() { return {}; }

    bool isFree() const { return kind == Kind::Free; }
    bool isHeld() const { return kind == Kind::Held; }
    bool isUnknown() const { return kind == Kind::Unknown; }

    friend bool operator==(const PortStatus &, const PortStatus &) = default;
};
