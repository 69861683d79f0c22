#include "platform/ChildDescriptors.h"

#include <fcntl.h>
#include <unistd.h>

namespace ChildDescriptors {

void markCloseOnExec()
{
    // No close_range() on macOS; /dev/fd lists this process's descriptors.
    markCloseOnExecListedIn("/dev/fd");
}

bool closeOnExecPipe(int ends[2])
{
    // No pipe2() here: flagged at once, as Qt does on this system too.
    if (::pipe(ends) != 0)
        return false;
    ::fcntl(ends[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(ends[1], F_SETFD, FD_CLOEXEC);
    return true;
}

} // namespace ChildDescriptors
