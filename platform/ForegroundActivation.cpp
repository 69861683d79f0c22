#include "platform/ForegroundActivation.h"

namespace ForegroundActivation {

Call callFor(int macosMajorVersion)
{
    return macosMajorVersion >= 14 ? Call::Activate : Call::ActivateIgnoringOtherApps;
}

} // namespace ForegroundActivation
