#include "app/AppDelegate.h"
#include "app/AppIdentity.h"
#include "app/CommandLine.h"
#include "app/ShellTexts.h"
#include "app/SingleInstance.h"
#include "app/TrayIconImage.h"
#include "platform/ForegroundActivation.h"
#include "platform/LaunchArguments.h"
#include "platform/ReopenEvents.h"
#include "server/ServerManager.h"

#include <QApplication>
#include <QPalette>
#include <QTimer>

int main(int argc, char *argv[])
{
    // Options come first, before there is a display to connect to, so that
    // they work without one and a rejected command line starts nothing.
    const CommandLine::Request request =
            CommandLine::parse(LaunchArguments::withoutSystemArguments(CommandLine::arguments(argc, argv)));
    if (request.action != CommandLine::Action::RunTray)
        return CommandLine::carryOut(request);

    QApplication application(argc, argv);
    // A tray program has no window whose closing should end it; without
    // this, dismissing an alert would quit.
    QApplication::setQuitOnLastWindowClosed(false);
    // Trays that show a title for an item take it from the application name.
    QApplication::setApplicationName(ShellTexts::itemTitle());
    QApplication::setApplicationDisplayName(ShellTexts::displayName());
    // Lets the desktop match our windows and tray item to the desktop entry.
    QGuiApplication::setDesktopFileName(QString::fromUtf8(AppIdentity::applicationId));
    // The alerts' window icon, for the window list and the title bar.
    QApplication::setWindowIcon(TrayIconImage::programIcon(QGuiApplication::palette().color(QPalette::WindowText)));

    // Starting the program again counts as a reopen of the running one.
    SingleInstance instance;
    if (!instance.claim())
        return 0;

    // The one manager of the run. Made inside the application object's
    // lifetime and gone before it: its workers have ended by then.
    ServerManager manager;
    manager.setUrlOpener(&ForegroundActivation::openUrl);

    AppDelegate delegate(manager);
    delegate.setGreetsAtLaunch(!request.atLogin);
    const auto reopen = [&delegate] { delegate.applicationShouldHandleReopen(); };
    QObject::connect(&instance, &SingleInstance::reopenRequested, &delegate, reopen);
    // macOS: a click on the Dock icon of the running program.
    QTimer::singleShot(0, &delegate, [reopen] { ReopenEvents::install(reopen); });
    QObject::connect(&delegate, &AppDelegate::terminationRequested, &application, [] { QCoreApplication::exit(0); });
    QObject::connect(&application, &QCoreApplication::aboutToQuit, &delegate, &AppDelegate::applicationWillTerminate);
    QTimer::singleShot(0, &delegate, &AppDelegate::applicationDidFinishLaunching);

    return QApplication::exec();
}
