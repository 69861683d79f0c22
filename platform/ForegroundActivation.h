#pragma once

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

} // namespace ForegroundActivation
