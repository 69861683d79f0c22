#pragma once

#include <QUrl>

// Bringing the program in front of other programs' windows, for an alert
// that answers what the user just chose (the browser the start opened would
// otherwise cover it).
namespace ForegroundActivation {

// macOS 14 activates programs cooperatively: it ignores the request to
// activate "ignoring other apps" and honours the plain activate it brought.
enum class Call { Activate, ActivateIgnoringOtherApps };
Call callFor(int macosMajorVersion);

// macOS: activates the program with the call above. Elsewhere nothing: the
// window manager decides, and the alert's own activateWindow asks it.
void bringProgramForward();

// Who is to be in front once a page or folder is open: what opened it, or
// the program, whose alert follows at once (a start opens the dashboard,
// then says how it went).
enum class Front { Opened, Program };

// A web page with the program's alert to follow opens behind: macOS 14 lets
// a browser that activated itself keep the front against the program's
// later activate. Anything else comes forward as it opens.
bool opensBehind(const QUrl &url, Front front);

// Hands `url` (web address or folder) to the desktop. macOS opens a page
// that opensBehind() without activating the browser; elsewhere the desktop
// decides (xdg-open has no say in it).
void openUrl(const QUrl &url, Front front);

} // namespace ForegroundActivation
