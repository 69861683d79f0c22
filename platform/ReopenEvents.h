#pragma once

#include <functional>

// The desktop asking the running program to show itself again. On macOS a
// click on the Dock icon of the running program arrives as the "reopen
// application" Apple event; on Linux a second start is the reopen, and it
// arrives through the single-instance socket.
//
// Qt hands the macOS event on only as an application-state change to
// active (QEvent::ApplicationStateChange, applicationStateChanged), which
// every activation also brings (Cmd-Tab, a click on an alert): nothing there
// tells a Dock click apart. We rely on the Apple event itself, through a
// handler of our own for it, which takes the place of AppKit's (the one
// that asks Qt's application delegate): Qt then sees no reopen at all.
namespace ReopenEvents {

// Calls `reopen` on the main thread for every reopen event from now on.
// Call once the event loop runs: AppKit installs its handler while the
// application finishes launching, and that would replace ours.
void install(std::function<void()> reopen);

} // namespace ReopenEvents
