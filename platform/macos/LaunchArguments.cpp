#include "platform/LaunchArguments.h"

namespace LaunchArguments {

QStringList withoutSystemArguments(const QStringList &arguments) { return withoutProcessSerialNumbers(arguments); }

} // namespace LaunchArguments
