#include "platform/ForegroundActivation.h"

namespace ForegroundActivation {

Call callFor(int macosMajorVersion)
{
    return macosMajorVersion >= 14 ? Call::Activate : Call::ActivateIgnoringOtherApps;
}

bool opensBehind(const QUrl &url, Front front)
{
    const QString scheme = url.scheme();
    return front == Front::Program && (scheme == QLatin1String("http") || scheme == QLatin1String("https"));
}

} // namespace ForegroundActivation
