#pragma once

// Starting the program when the user logs in.
namespace StartAtLogin {

// Linux: an entry in the desktop's autostart folder (XDG), which the
// program writes itself. macOS: not offered yet (it wants a login item
// registered through the system, from a signed bundle).
bool isSupported();

} // namespace StartAtLogin
