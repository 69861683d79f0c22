#include "platform/Executable.h"

#include <QFile>
#include <QFileInfo>

#include <mach-o/dyld.h>

#include <vector>

namespace Executable {

QString path()
{
    uint32_t size = 0;
    _NSGetExecutablePath(nullptr, &size);
    std::vector<char> buffer(size + 1, '\0');
    if (_NSGetExecutablePath(buffer.data(), &size) != 0)
        return {};
    return QFileInfo(QFile::decodeName(buffer.data())).canonicalFilePath();
}

} // namespace Executable
