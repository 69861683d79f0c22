#pragma once

#include "platform/ProcessHandle.h"

#include <QString>
#include <QStringList>

#include <optional>

// Starts a program that outlives us: re-parented at once, in a session of
// its own, never a child left for us to reap. Its identity is taken while
// its number cannot yet have passed to another process: the intermediate
// process it descends from waits until we hold it.
namespace DetachedLaunch {

struct Started
{
    // Present once the program was executed (it may have ended since).
    std::optional<ProcessHandle> process;
    // Its session: the processes it starts stay in it unless they leave,
    // and the number is nobody else's while one of them lives.
    qint32 session = 0;
    // Otherwise the reason (an errno value).
    int error = 0;
};

// `program` by absolute path, run in `folder` with exactly `environment`
// ("NAME=value"), reading the null device and appending both output
// channels to `outputFile`, which must be a regular file.
Started start(const QString &program, const QStringList &arguments, const QString &folder,
              const QStringList &environment, const QString &outputFile);

} // namespace DetachedLaunch
