#include "platform/ForegroundActivation.h"

#include "platform/PlatformLog.h"

#import <AppKit/AppKit.h>

#include <QDesktopServices>

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

void openUrl(const QUrl &url, Front front)
{
    if (opensBehind(url, front)) {
        if (@available(macOS 10.15, *)) {
            NSWorkspaceOpenConfiguration *configuration = [NSWorkspaceOpenConfiguration configuration];
            configuration.activates = NO;
            [[NSWorkspace sharedWorkspace] openURL:url.toNSURL()
                                     configuration:configuration
                                 completionHandler:^(NSRunningApplication *opener, NSError *error) {
                                     (void)opener;
                                     if (error)
                                         qCWarning(lcPlatform) << "page not opened:"
                                                               << QString::fromNSString(error.localizedDescription);
                                 }];
            return;
        }
    }
    // Qt opens it through NSWorkspace too, which activates what opens it.
    QDesktopServices::openUrl(url);
}

} // namespace ForegroundActivation
