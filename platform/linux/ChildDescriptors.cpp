#include "platform/ChildDescriptors.h"

#include <linux/close_range.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace ChildDescriptors {

void markCloseOnExec()
{
    // One call since Linux 5.11; older kernels refuse the flag.
    if (::syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC) == 0)
        return;
    markCloseOnExecListedIn("/proc/self/fd");
}

} // namespace ChildDescriptors
