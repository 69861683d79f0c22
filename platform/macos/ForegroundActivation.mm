#include "platform/ForegroundActivation.h"

#import <AppKit/AppKit.h>

namespace ForegroundActivation {

void bringProgramForward()
{
    const NSInteger major = [NSProcessInfo processInfo].operatingSystemVersion.majorVersion;
    if (callFor(int(major)) == Call::Activate) {
#if defined(__MAC_OS_X_VERSION_MAX_ALLOWED) && __MAC_OS_X_VERSION_MAX_ALLOWED >= 140000
        if (@available(macOS 14.0, *)) {
            [NSApp activate];
            return;
        }
#endif
    }
    // Built with an older SDK, the old call is all there is; macOS 14
    // treats it as the plain activate.
    [NSApp activateIgnoringOtherApps:YES];
}

} // namespace ForegroundActivation
