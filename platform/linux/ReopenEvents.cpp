#include "platform/ReopenEvents.h"

namespace ReopenEvents {

void install(std::function<void()> reopen)
{
    // No desktop event of its own here: see SingleInstance.
    (void)reopen;
}

} // namespace ReopenEvents
