#pragma once

#include <QStringList>

// Arguments the system adds to a program's command line on its own.
namespace LaunchArguments {

// Without what the system added, for the program's own option parsing:
// on macOS, LaunchServices passes "-psn_0_NNNN" (a process serial number)
// to a program opened from the Finder, notably on the first start after
// the Gatekeeper prompt. Linux adds nothing.
QStringList withoutSystemArguments(const QStringList &arguments);

// Every argument after the program name that begins with "-psn_" left out.
QStringList withoutProcessSerialNumbers(const QStringList &arguments);

} // namespace LaunchArguments
