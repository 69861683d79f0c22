#pragma once

#include <functional>

// The desktop asking the running program to show itself again. On macOS a
// click on the Dock icon of the running program arrives as the "reopen
// application" Apple event, which Qt passes on to nobody; on Linux a second
// start is the reopen, and it arrives through the single-instance socket.
namespace ReopenEvents {

// Calls `reopen` on the main thread for every reopen event from now on.
// Call once the event loop runs: macOS installs its own handler while the
// application finishes launching, and that would replace ours.
void install(std::function<void()> reopen);

} // namespace ReopenEvents
