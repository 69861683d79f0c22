#pragma once

// Where macOS shows the notice of a server that ended by itself. The
// system's notification centre serves only a program with a bundle
// identifier (started from its .app; without one the centre refuses, and
// asking it at all would end the program), and only once the user allowed
// notices for it.
namespace NoticeRoute {

// What the user decided when the system asked whether the program may
// show notices (macOS asks once, at the first launch from the bundle).
enum class Permission { NotAnswered, Denied, Allowed };

enum class Route {
    SystemNotice, // the notification centre; a click opens the logs folder
    Alert,        // an alert of the program's own, offering the logs folder
    MenuOnly,     // nothing beyond the menu's status line
};

// Without a bundle, before the user answered, or where the centre refused
// the program (`centreRefused`: its request for permission ended in an
// error, as for an unsigned or ad-hoc-signed bundle: "Notifications are not
// allowed for this application"), the program's own alert tells it, since
// nothing else would; what the settings then say is no answer of the
// user's. A user who turned the program's notices off is not overruled by
// an alert.
Route choose(bool hasBundleIdentifier, bool centreRefused, Permission permission);

} // namespace NoticeRoute
