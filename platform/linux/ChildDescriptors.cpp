#include "platform/ChildDescriptors.h"

#include "platform/PlatformLog.h"

#include <cerrno>

#include <fcntl.h>

#include <linux/close_range.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace ChildDescriptors {

void markCloseOnExec()
{
    // One call since Linux 5.11; older kernels refuse the flag.
    if (::syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC) == 0)
        return;
    qCDebug(lcPlatform, "close_range refused (%s), walking /proc/self/fd", qUtf8Printable(qt_error_string(errno)));
    markCloseOnExecListedIn("/proc/self/fd");
}

bool closeOnExecPipe(int ends[2]) { return ::pipe2(ends, O_CLOEXEC) == 0; }

} // namespace ChildDescriptors
