#pragma once

#include "app/AlertPresenter.h"
#include "app/MenuModel.h"
#include "app/StopNotice.h"
#include "paths/ProjectUpgrade.h"
#include "platform/DesktopNotifier.h"
#include "platform/MenuBarItem.h"
#include "platform/StatusNotifierItem.h"
#include "server/ServerManager.h"
#include "server/ServerStatus.h"

#include <QAction>
#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QSystemTrayIcon>
#include <QTimer>

#include <optional>

// The tray program's one controller: it builds the tray menu, keeps it
// current, turns menu choices into calls on the server manager and reports
// their outcome in alerts.
class AppDelegate : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(AppDelegate)

public:
    static constexpr int welcomeDelayMs = 300;
    // Quitting waits for the server's stop, which ends within its own
    // bounds (the stop script's, the port's grace, the probe's time-out);
    // this much longer only if it has not reported back by then.
    static constexpr int quitStopMarginMs = 5000;
    // How long a look at the menu lasts where the panel never says it closed.
    static constexpr int lookOverDBusMs = 60000;

    // Touches nothing yet: no menu, no timer, no server call.
    explicit AppDelegate(ServerManager &manager, QObject *parent = nullptr);
    ~AppDelegate() override;

    // A start at login greets nobody at launch; a reopen still does.
    void setGreetsAtLaunch(bool greets) { m_greetsAtLaunch = greets; }

    // Launch sequence: the project's own files brought up to date, menu,
    // status, first update, poll, delayed welcome.
    void applicationDidFinishLaunching();
    // The program was started again: show the welcome alert once more (and,
    // while no tray is there, the notice that offers to quit).
    bool applicationShouldHandleReopen(bool hasVisibleWindows = false);
    // The program ends: only the poll stops; a running server stays up.
    void applicationWillTerminate();

    // Opens the parent folder when no file manager can show the project
    // selected. Defaults to the desktop's URL handler.
    void setUrlOpener(ServerManager::UrlOpener opener);

    // Read access for tools and tests. The tray icon is Qt's, made only
    // where no StatusNotifier panel takes the program's own item.
    QSystemTrayIcon *statusItem() const { return m_statusItem; }
    QMenu *statusMenu() const { return m_statusMenu; }
    QAction *statusLineItem() const { return m_statusLineItem; }
    QAction *apiLineItem() const { return m_apiLineItem; }
    const QTimer *pollTimer() const;
    bool didShowWelcome() const { return m_didShowWelcome; }
    bool isWelcomePending() const;
    const AlertPresenter &alerts() const { return *m_alerts; }

public slots:
    void startServer();
    void stopServer();
    void restartServer();
    void regenerate();
    void openBrowser();
    void openBelege();
    void openLogs();
    void revealProject();
    void quitApp();

signals:
    // The program should end now. main() ends the event loop on it.
    void terminationRequested();

private:
    void setupMenuBar();
    void createStatusItem();
    void createTrayIcon();
    // Sets the entry's text so that the tray shows `title` unchanged.
    void setEntryTitle(QAction *action, const QString &title);
    bool trayAvailable() const;
    // A notice the desktop's notification service could not show.
    void showTrayMessage(const QString &title, const QString &text);
    // Shows the server state the core last pushed.
    void updateMenu();
    void updateToolTip();
    void showUnexpectedStopNotice(const QString &logEnding);
    void run(MenuModel::Command command);
    ServerManager::Completion reportTo(MenuModel::Command command);
    void finishServerCommand(MenuModel::Command command, const OperationOutcome &done, const QString &message);
    // The stop asked for by quitting reported back (or never did): the
    // program ends, after saying so if our server may still run.
    void finishQuit(const std::optional<OperationOutcome> &done);
    void showWelcome();
    void showDelayedWelcome();
    void showTrayMissingNotice();

    ServerManager &m_manager;
    ServerManager::UrlOpener m_urlOpener;
    AlertPresenter *m_alerts; // a child of this

    QPointer<StatusNotifierItem> m_trayItem; // the program's own, where panels take one
    QPointer<QSystemTrayIcon> m_statusItem;
    bool m_trayMessageShown = false;     // a balloon of ours is up
    QPointer<MenuBarItem> m_menuBarItem; // instead of the tray icon where there is a menu bar
    QPointer<QMenu> m_statusMenu;        // a widget, so owned by hand, not by this
    QPointer<QAction> m_statusLineItem;
    QPointer<QAction> m_apiLineItem;
    QList<QPointer<QAction>> m_serverEntries;
    QPointer<QTimer> m_welcomeTimer;
    bool m_didShowWelcome = false;
    StopNotice::RunRecord m_runRecord;
    QPointer<DesktopNotifier> m_notifier;
    bool m_quitting = false; // "Beenden" was chosen
    bool m_ending = false;   // quitting has ended the program, or says why it leaves the server
    bool m_greetsAtLaunch = true;
    std::optional<ProjectUpgrade::Outcome> m_upgradeNotice; // told at the welcome's moment
};
