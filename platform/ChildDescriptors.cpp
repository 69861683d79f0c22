#include "platform/ChildDescriptors.h"

#include <QDir>
#include <QStringList>

#include <fcntl.h>

namespace ChildDescriptors {

void markCloseOnExecListedIn(const char *descriptorFolder)
{
    const QStringList entries = QDir(QString::fromLatin1(descriptorFolder))
                                        .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool number = false;
        const int fd = entry.toInt(&number);
        if (number && fd > 2) {
            const int flags = ::fcntl(fd, F_GETFD);
            if (flags >= 0)
                ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
        }
    }
}

} // namespace ChildDescriptors
