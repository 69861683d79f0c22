#pragma once

#include <functional>

// The two hops of every long operation: work on the shared worker pool,
// the answer back on the main thread.
namespace Dispatch {

// Never runs the task on the calling thread. The tasks mostly wait for child
// processes, so the pool is widened to let several run side by side rather
// than queue behind each other.
void toWorker(std::function<void()> task);

// Runs the task later on the main thread, in an event of its own. Without an
// application object there is no main loop, and the task is dropped: the
// application's destructor clears it first and then waits for the pool, so
// work still running at the end finishes without answering.
void toMain(std::function<void()> task);

} // namespace Dispatch
