#pragma once

#include <QString>

// The running program's own file, and the folder that stands for its
// application bundle.
namespace Executable {

// The executable, symbolic links resolved; empty when the system will not
// say (Linux: /proc/self/exe, macOS: the loader's path).
QString path();

// The application bundle when the executable lies in X.app/Contents/MacOS:
// X.app. Any other executable (a test, a benchmark, a hand-run binary, every
// program on Linux) stands for itself: its folder.
QString bundleDirFor(const QString &executable);

} // namespace Executable
