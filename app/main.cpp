#include "app/AppDelegate.h"
#include "app/ShellTexts.h"
#include "app/SingleInstance.h"
#include "server/ServerManager.h"

#include <QApplication>
#include <QDesktopServices>
#include <QTimer>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    // A tray program has no window whose closing should end it; without
    // this, dismissing an alert would quit.
    QApplication::setQuitOnLastWindowClosed(false);
    // Trays that show a title for an item take it from the application name.
    QApplication::setApplicationName(ShellTexts::buttonTitle());
    QApplication::setApplicationDisplayName(ShellTexts::displayName());

    // Starting the program again counts as a reopen of the running one.
    SingleInstance instance;
    if (!instance.claim())
        return 0;

    ServerManager &manager = ServerManager::shared();
    manager.setUrlOpener([](const QUrl &url) { QDesktopServices::openUrl(url); });

    AppDelegate delegate(manager);
    QObject::connect(&instance, &SingleInstance::reopenRequested, &delegate,
                     [&delegate] { delegate.applicationShouldHandleReopen(); });
    QObject::connect(&delegate, &AppDelegate::terminationRequested, &application,
                     [] { QCoreApplication::exit(0); });
    QObject::connect(&application, &QCoreApplication::aboutToQuit, &delegate,
                     &AppDelegate::applicationWillTerminate);
    QTimer::singleShot(0, &delegate, &AppDelegate::applicationDidFinishLaunching);

    return QApplication::exec();
}
