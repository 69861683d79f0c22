#include "platform/PortProbe.h"

#include <libproc.h>
#include <sys/proc.h>
#include <sys/proc_info.h>
#include <unistd.h>

// macOS has no process file system: lsof names the listener, libproc the
// process. The probe runs off the GUI thread, so lsof's time is no one's wait.
namespace PortProbe {

Sources systemSources() { return {QString(), QStringLiteral("/usr/sbin/lsof")}; }

PortStatus probe(const Sources &sources, qint64 port) { return askLsof(sources.lsofPath, port, sources.lsofTimeoutMs); }

std::optional<PortStatus> probeAtOnce(const Sources &, qint64)
{
    return std::nullopt; // only lsof can tell
}

std::optional<QString> programName(qint32 pid)
{
    if (pid <= 0)
        return std::nullopt;
    char name[2 * MAXCOMLEN + 1] = {};
    if (::proc_name(pid, name, sizeof name) <= 0)
        return std::nullopt;
    const QString text = QString::fromUtf8(name).trimmed();
    if (text.isEmpty())
        return std::nullopt;
    return text;
}

std::optional<qint32> parentOf(qint32 pid)
{
    proc_bsdshortinfo info{};
    if (pid <= 0 || ::proc_pidinfo(pid, PROC_PIDT_SHORTBSDINFO, 0, &info, sizeof info) != int(sizeof info))
        return std::nullopt;
    return qint32(info.pbsi_ppid);
}

} // namespace PortProbe
