#pragma once

// Descriptors a child must not inherit.
namespace ChildDescriptors {

// Marks every descriptor above standard error close-on-exec, so none that
// the program inherited reaches a child it starts. Qt 6.4's detached start
// does not run a child process modifier, so this is done before it forks;
// the program's own descriptors are close-on-exec anyway.
void markCloseOnExec();

// The same by walking a folder that lists this process's descriptors
// (/proc/self/fd, /dev/fd), where the kernel cannot do it in one call.
void markCloseOnExecListedIn(const char *descriptorFolder);

// A pipe whose ends are close-on-exec from the start, so that no child
// another thread starts meanwhile holds one open; false (errno set) when
// none could be made.
bool closeOnExecPipe(int ends[2]);

} // namespace ChildDescriptors
