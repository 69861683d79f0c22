#include "app/AppDelegate.h"

#include "app/AlertDialog.h"
#include "app/AppIdentity.h"
#include "app/ShellTexts.h"
#include "platform/FileManagerReveal.h"
#include "platform/StatusNotifierWatch.h"

#include <QAbstractButton>
#include <QAction>
#include <QDateTime>
#include <QDesktopServices>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>

using MenuModel::Command;

AppDelegate::AppDelegate(ServerManager &manager, QObject *parent)
    : QObject(parent)
    , m_manager(manager)
    , m_urlOpener([](const QUrl &url) { QDesktopServices::openUrl(url); })
{
}

AppDelegate::~AppDelegate()
{
    // The tray icon refers to the menu; let it go first.
    delete m_statusItem;
    delete m_statusMenu;
}

void AppDelegate::setUrlOpener(ServerManager::UrlOpener opener)
{
    m_urlOpener = std::move(opener);
}

bool AppDelegate::isWelcomePending() const
{
    return m_welcomeTimer && m_welcomeTimer->isActive();
}

void AppDelegate::applicationDidFinishLaunching()
{
    // The data entry asks for the project root first, so a first start
    // provisions the data folder here, before anything else can run.
    setupMenuBar();
    m_manager.refreshStatus();
    updateMenu();

    // No tick right away: the menu has just been brought up to date.
    m_pollTimer = new QTimer(this);
    m_pollTimer->setInterval(pollIntervalMs);
    connect(m_pollTimer, &QTimer::timeout, this, &AppDelegate::updateMenu);
    m_pollTimer->start();

    m_welcomeTimer = new QTimer(this);
    m_welcomeTimer->setSingleShot(true);
    m_welcomeTimer->setInterval(welcomeDelayMs);
    connect(m_welcomeTimer, &QTimer::timeout, this, &AppDelegate::showDelayedWelcome);
    m_welcomeTimer->start();

    // Without a tray the user could neither see nor end the program: say so.
    // Set off after the welcome, so the notice opens over it and is read first.
    if (!trayAvailable())
        QTimer::singleShot(welcomeDelayMs, this, &AppDelegate::showTrayMissingNotice);
}

bool AppDelegate::applicationShouldHandleReopen(bool /*hasVisibleWindows*/)
{
    m_didShowWelcome = true;
    showWelcome();
    showTrayMissingNotice();
    return true;
}

void AppDelegate::applicationWillTerminate()
{
    if (m_pollTimer)
        m_pollTimer->stop();
}

void AppDelegate::setupMenuBar()
{
    m_statusMenu = new QMenu;
    for (const MenuModel::Entry &entry : MenuModel::entries(m_manager.projectRoot())) {
        if (entry.kind == MenuModel::EntryKind::Separator) {
            m_statusMenu->addSeparator();
            continue;
        }
        QAction *action = m_statusMenu->addAction(QString());
        setEntryTitle(action, entry.title);
        switch (entry.kind) {
        case MenuModel::EntryKind::StatusLine:
            m_statusLineItem = action;
            action->setEnabled(false);
            break;
        case MenuModel::EntryKind::ApiLine:
            m_apiLineItem = action;
            action->setEnabled(false);
            break;
        case MenuModel::EntryKind::Command:
            connect(action, &QAction::triggered, this,
                    [this, command = *entry.command] { run(command); });
            break;
        case MenuModel::EntryKind::Separator:
            break;
        }
    }
    // What the user reads when the menu opens is never older than a second.
    connect(m_statusMenu, &QMenu::aboutToShow, this, &AppDelegate::updateMenuUnlessFresh);

    m_notifier = new DesktopNotifier(ShellTexts::accessibleName(),
                                     QString::fromUtf8(AppIdentity::applicationId),
                                     QString::fromUtf8(AppIdentity::applicationId), this);
    connect(m_notifier, &DesktopNotifier::clicked, this, &AppDelegate::openLogs);
    connect(m_notifier, &DesktopNotifier::unavailable, this, &AppDelegate::showTrayMessage);
    // A panel that starts (or restarts) later gets a fresh item at once.
    auto *watch = new StatusNotifierWatch(this);
    connect(watch, &StatusNotifierWatch::hostAppeared, this, &AppDelegate::createStatusItem);
    if (StatusNotifierWatch::itemCanShowNow())
        createStatusItem();
}

void AppDelegate::updateMenu()
{
    // One probe answers both: whether the server runs, and whom to adopt.
    const bool running = m_manager.refreshStatus();
    m_sinceUpdate.start();
    m_runRecord.observe(running, m_manager.serverPID(), QDateTime::currentDateTime());
    if (m_stopWatch.observe(running))
        showUnexpectedStopNotice();

    if (m_statusItem)
        m_statusItem->setToolTip(ShellTexts::toolTip(running));
    setEntryTitle(m_statusLineItem, ShellTexts::statusLine(running, m_manager.dashboardUrl().toString()));

    if (m_apiLine.update(running)) {
        m_manager.fetchAPIVersion([self = QPointer(this)](const std::optional<QString> &version) {
            if (!self)
                return;
            self->m_apiLine.answer(version);
            self->setEntryTitle(self->m_apiLineItem, self->m_apiLine.text());
        });
    }
    setEntryTitle(m_apiLineItem, m_apiLine.text());
}

void AppDelegate::updateMenuUnlessFresh()
{
    if (!m_sinceUpdate.isValid() || m_sinceUpdate.elapsed() >= menuFreshForMs)
        updateMenu();
}

void AppDelegate::showUnexpectedStopNotice()
{
    const QString title = ShellTexts::unexpectedStopTitle();
    auto text = [pid = m_runRecord.pid(), since = m_runRecord.since(),
                 error = StopNotice::lastErrorLine(m_manager.serverLogEnding(noticeLogLines))](
                        bool clickable) {
        return ShellTexts::unexpectedStopText(pid, since, error, clickable);
    };
    m_notifier->notify(title, text, ShellTexts::logsEntry());
}

void AppDelegate::showTrayMessage(const QString &title, const QString &text)
{
    // Where the tray cannot show messages the user learns it from the menu.
    if (m_statusItem && m_statusItem->supportsMessages())
        m_statusItem->showMessage(title, text, QSystemTrayIcon::Warning);
}

void AppDelegate::run(Command command)
{
    switch (command) {
    case Command::StartServer: return startServer();
    case Command::StopServer: return stopServer();
    case Command::RestartServer: return restartServer();
    case Command::Regenerate: return regenerate();
    case Command::OpenBrowser: return openBrowser();
    case Command::OpenBelege: return openBelege();
    case Command::OpenLogs: return openLogs();
    case Command::RevealProject: return revealProject();
    case Command::Quit: return quitApp();
    }
}

void AppDelegate::startServer()
{
    m_manager.startServer(reportTo(Command::StartServer));
}

void AppDelegate::stopServer()
{
    m_manager.stopServer(reportTo(Command::StopServer));
}

void AppDelegate::restartServer()
{
    m_manager.restartServer(reportTo(Command::RestartServer));
}

void AppDelegate::regenerate()
{
    m_manager.regenerateReports(reportTo(Command::Regenerate));
}

void AppDelegate::openBrowser() { m_manager.openDashboard(); }

void AppDelegate::openBelege() { m_manager.openBelegeFolder(); }

void AppDelegate::openLogs() { m_manager.openLogsFolder(); }

void AppDelegate::revealProject()
{
    // Resolved now: the root may differ from the path the menu shows.
    FileManagerReveal::reveal(m_manager.projectRoot(), m_urlOpener, this);
}

void AppDelegate::quitApp()
{
    // Nothing still under way holds the end up: its children end now, and
    // a start in progress launches no server any more.
    m_manager.cancelOperations();
    m_stopWatch.ownCommandBegan();
    if (!m_manager.isRunning()) {
        emit terminationRequested();
        return;
    }
    // Whatever the stop reports, the program ends once it is over.
    m_manager.stopServer([self = QPointer(this)](bool, const QString &) {
        if (self)
            emit self->terminationRequested();
    });
}

ServerManager::Completion AppDelegate::reportTo(Command command)
{
    const bool mayStop = MenuModel::mayStopServer(command);
    if (mayStop)
        m_stopWatch.ownCommandBegan();
    return [self = QPointer(this), command, mayStop](bool success, const QString &message) {
        if (!self)
            return;
        if (mayStop)
            self->m_stopWatch.ownCommandEnded();
        self->finishServerCommand(command, success, message);
    };
}

void AppDelegate::finishServerCommand(Command command, bool success, const QString &message)
{
    const MenuModel::Outcome outcome = MenuModel::outcome(command, success);
    if (outcome.updateMenu)
        updateMenu();
    if (outcome.openDashboard)
        m_manager.openDashboard();
    AlertDialog::inform(outcome.alertTitle, message);
}

void AppDelegate::showWelcome()
{
    AlertDialog::inform(ShellTexts::welcomeTitle(), ShellTexts::welcomeText());
}

void AppDelegate::showDelayedWelcome()
{
    if (m_didShowWelcome)
        return; // a reopen has already shown it
    m_didShowWelcome = true;
    showWelcome();
}

void AppDelegate::showTrayMissingNotice()
{
    // A tray host may have started in the meantime; the icon is there then.
    if (trayAvailable())
        return;
    AlertDialog notice(ShellTexts::trayMissingTitle(),
                       ShellTexts::trayMissingText(qEnvironmentVariable("XDG_CURRENT_DESKTOP")));
    const QAbstractButton *quit = notice.addButton(ShellTexts::quitEntry());
    notice.run();
    if (notice.clickedButton() == quit)
        quitApp();
}
