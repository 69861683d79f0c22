#include "platform/ChildDescriptors.h"

namespace ChildDescriptors {

void markCloseOnExec()
{
    // No close_range() on macOS; /dev/fd lists this process's descriptors.
    markCloseOnExecListedIn("/dev/fd");
}

} // namespace ChildDescriptors
