#include "platform/StartAtLogin.h"

namespace StartAtLogin {

bool isSupported() { return true; }

} // namespace StartAtLogin
