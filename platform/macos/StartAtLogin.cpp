#include "platform/StartAtLogin.h"

namespace StartAtLogin {

bool isSupported() { return false; }

} // namespace StartAtLogin
