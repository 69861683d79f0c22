#pragma once

#include <optional>

// Tells a server that went away by itself from one we stopped. The shell
// feeds it every status update and brackets its own commands that may take
// the server down (start and restart run the stop script first, a stop and
// a quit stop it); it answers whether an update shows a stop worth a notice.
class StopWatch
{
public:
    // A command of ours that may end the server began or has reported back.
    void ownCommandBegan();
    void ownCommandEnded();

    // One status update. True exactly once per stop that nobody here
    // caused: the previous update saw the server running, this one does not,
    // and no command of ours was under way or reported back in between.
    // The first update after launch only sets the baseline.
    bool observe(bool running);

private:
    std::optional<bool> m_lastRunning;
    int m_ownInFlight = 0;
    // A command of ours ended since the last update: the stop this update
    // may see is still its doing.
    bool m_ownSinceLastUpdate = false;
};
