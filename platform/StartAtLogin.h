#pragma once

// Starting the program when the user logs in.
namespace StartAtLogin {

// Linux: an entry in the desktop's autostart folder (XDG), which the
// program writes itself. macOS: not offered. The user adds the program to
// the login items in System Settings, where macOS shows and manages it; a
// LaunchAgent plist of ours would point at the bundle's path of today (a
// moved bundle leaves a dead entry that runs at every login), and macOS 13
// announces such an agent as a background item of an unnamed developer.
// Registering a login item of our own (SMAppService) needs a signed bundle.
bool isSupported();

} // namespace StartAtLogin
