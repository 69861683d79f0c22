#include "platform/ForegroundActivation.h"

namespace ForegroundActivation {

void bringProgramForward() {}

} // namespace ForegroundActivation
