#include "platform/LaunchArguments.h"

namespace LaunchArguments {

QStringList withoutProcessSerialNumbers(const QStringList &arguments)
{
    QStringList kept = arguments.mid(0, 1);
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        if (!arguments.at(i).startsWith(QLatin1String("-psn_")))
            kept.append(arguments.at(i));
    }
    return kept;
}

} // namespace LaunchArguments
