#include "platform/LaunchArguments.h"

namespace LaunchArguments {

QStringList withoutSystemArguments(const QStringList &arguments) { return arguments; }

} // namespace LaunchArguments
