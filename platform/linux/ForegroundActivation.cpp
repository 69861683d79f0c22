#include "platform/ForegroundActivation.h"

#include <QDesktopServices>

namespace ForegroundActivation {

void bringProgramForward() { }

void openUrl(const QUrl &url, Front /*front*/) { QDesktopServices::openUrl(url); }

} // namespace ForegroundActivation
