#include "platform/FileManagerReveal.h"

#include "platform/PlatformLog.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDir>
#include <QFileInfo>
#include <QObject>

namespace FileManagerReveal {

namespace {

const QString service = QStringLiteral("org.freedesktop.FileManager1");
const QString objectPath = QStringLiteral("/org/freedesktop/FileManager1");

} // namespace

void reveal(const QString &path, const Opener &fallback, QObject *context)
{
    const QUrl folder = QUrl::fromLocalFile(QDir::cleanPath(QFileInfo(path).absoluteFilePath()));
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        qCInfo(lcPlatform, "Reveal: no session bus (%s), opening the folder plainly",
               qUtf8Printable(bus.lastError().message()));
        fallback(folder);
        return;
    }

    QDBusMessage call = QDBusMessage::createMethodCall(service, objectPath, service, QStringLiteral("ShowItems"));
    // Percent-encoded, so spaces and umlauts in the path survive the trip.
    const QString uri = QUrl::fromLocalFile(QDir::cleanPath(path)).toString(QUrl::FullyEncoded);
    call << QStringList{uri} << QString();

    // Asynchronous: a file manager started on demand may take seconds, and
    // the menu must stay responsive meanwhile.
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), context);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher, [watcher, fallback, folder] {
        if (watcher->isError()) {
            qCInfo(lcPlatform, "Reveal: the file manager refused (%s), opening the folder plainly",
                   qUtf8Printable(watcher->error().message()));
            fallback(folder);
        }
        watcher->deleteLater();
    });
}

} // namespace FileManagerReveal
