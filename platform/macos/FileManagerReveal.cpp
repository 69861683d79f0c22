#include "platform/FileManagerReveal.h"

#include "platform/PlatformLog.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>

namespace FileManagerReveal {

void reveal(const QString &path, const Opener &fallback, QObject *context)
{
    (void)context; // nothing stays pending: open hands the request to the Finder
    const QUrl folder = QUrl::fromLocalFile(QDir::cleanPath(QFileInfo(path).absoluteFilePath()));
    // The Finder selects the item in a window of its folder. An absolute
    // path begins with '/', so open cannot take it for an option.
    if (!QProcess::startDetached(QStringLiteral("/usr/bin/open"),
                                 {QStringLiteral("-R"), QDir::cleanPath(QFileInfo(path).absoluteFilePath())})) {
        qCInfo(lcPlatform, "Reveal: /usr/bin/open did not start, opening the folder plainly");
        fallback(folder);
    }
}

} // namespace FileManagerReveal
