#pragma once

#include <QString>

// Fills the per-user data folder from the packaged project, once.
namespace Provisioning {

// Does nothing while the provisioning marker exists in target. Otherwise
// copies every top-level entry of source that target lacks and writes the
// marker once all of them are in place; pipes, sockets and devices are left
// out wherever they lie. Reports nothing: a provisioning that fell short is
// simply repeated by the next call.
void syncBundledToAppSupport(const QString &source, const QString &target);

} // namespace Provisioning
