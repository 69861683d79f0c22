#pragma once

#include <functional>

// macOS reports a click on the Dock icon of the running program as the
// "reopen application" Apple event; Qt passes it on to nobody. This hands it
// to the program's own reopen.
namespace MacReopenEvents {

// Calls `reopen` on the main thread for every reopen event from now on.
// Call once the event loop runs: the application installs its own handler
// while it finishes launching, and that would replace ours.
void install(std::function<void()> reopen);

} // namespace MacReopenEvents
