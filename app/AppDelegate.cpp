#include "app/AppDelegate.h"

#include "app/AlertDialog.h"
#include "app/AlertPresenter.h"
#include "app/AppIdentity.h"
#include "app/AppLog.h"
#include "app/OutcomeTexts.h"
#include "app/ShellTexts.h"
#include "paths/ProjectPaths.h"
#include "platform/FileManagerReveal.h"
#include "platform/ForegroundActivation.h"
#include "server/StatusModel.h"

#include <QAbstractButton>
#include <QAction>
#include <QDateTime>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>

using MenuModel::Command;

AppDelegate::AppDelegate(ServerManager &manager, QObject *parent)
    : QObject(parent)
    , m_manager(manager)
    , m_urlOpener(&ForegroundActivation::openUrl)
    , m_alerts(new AlertPresenter(this))
{
    // Made before the event loop runs: macOS delivers a click on a notice
    // that started the program while launching, to a listener set by then.
    m_notifier = new DesktopNotifier(ShellTexts::accessibleName(), QString::fromUtf8(AppIdentity::applicationId),
                                     QString::fromUtf8(AppIdentity::applicationId), this);
    connect(m_notifier, &DesktopNotifier::clicked, this, &AppDelegate::openLogs);
    connect(m_notifier, &DesktopNotifier::unavailable, this, &AppDelegate::showTrayMessage);
}

AppDelegate::~AppDelegate()
{
    // The tray icon and the menu-bar item refer to the menu; let them go first.
    delete m_menuBarItem;
    delete m_trayItem;
    delete m_statusItem;
    delete m_statusMenu;
}

void AppDelegate::setUrlOpener(ServerManager::UrlOpener opener) { m_urlOpener = std::move(opener); }

bool AppDelegate::isWelcomePending() const { return m_welcomeTimer && m_welcomeTimer->isActive(); }

void AppDelegate::applicationDidFinishLaunching()
{
    // Before anything can start the server, so its next start runs on the
    // new scripts; a first start provisions the data folder here.
    const ProjectUpgrade::Outcome upgrade = ProjectPaths::upgradePackagedProject();
    setupMenuBar();
    // The core probes off this thread and pushes what it found.
    StatusModel &status = m_manager.status();
    connect(&status, &StatusModel::changed, this, &AppDelegate::updateMenu);
    connect(&status, &StatusModel::unexpectedStop, this, &AppDelegate::showUnexpectedStopNotice);
    status.start();

    m_welcomeTimer = new QTimer(this);
    m_welcomeTimer->setSingleShot(true);
    m_welcomeTimer->setInterval(welcomeDelayMs);
    connect(m_welcomeTimer, &QTimer::timeout, this, &AppDelegate::showDelayedWelcome);
    m_welcomeTimer->start();
    if (upgrade.worthTelling())
        m_upgradeNotice = upgrade;
}

bool AppDelegate::applicationShouldHandleReopen(bool /*hasVisibleWindows*/)
{
    m_didShowWelcome = true;
    showWelcome();
    showTrayMissingNotice();
    return true;
}

void AppDelegate::applicationWillTerminate() { m_manager.status().stop(); }

const QTimer *AppDelegate::pollTimer() const { return m_manager.status().pollTimer(); }

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
            if (MenuModel::changesServer(*entry.command))
                m_serverEntries.append(action);
            connect(action, &QAction::triggered, this, [this, command = *entry.command] { run(command); });
            break;
        case MenuModel::EntryKind::Separator: break;
        }
    }
    // What the user reads when the menu opens is never older than a second,
    // and the server's interface is asked while it is open (for a panel's
    // own menu: createStatusItem).
    StatusModel *status = &m_manager.status();
    connect(m_statusMenu, &QMenu::aboutToShow, status, [status] { status->setObserved(true); });
    connect(m_statusMenu, &QMenu::aboutToHide, status, [status] { status->setObserved(false); });

    createStatusItem();
}

void AppDelegate::updateMenu()
{
    const ServerStatus &status = m_manager.status().current();
    if (!status.hasUpdate())
        return; // "Status…" until the first probe has answered
    // In UTC: the local time zone is looked up (a file read) only when shown.
    m_runRecord.observe(status.running, status.pid, QDateTime::currentDateTimeUtc());
    updateToolTip();
    const QString statusLine = OutcomeTexts::statusLine(status, m_manager.dashboardUrl().toString(), m_manager.port());
    setEntryTitle(m_statusLineItem, statusLine);
    // One server command at a time: the line above says which is under way.
    for (QAction *entry : std::as_const(m_serverEntries)) {
        if (entry)
            entry->setEnabled(status.underWay == ServerStatus::Operation::None);
    }
    setEntryTitle(m_apiLineItem, OutcomeTexts::apiLine(status.api));
    // With its time, for measuring how soon the menu follows the server.
    qCDebug(lcApp, "Menu shows: %s", qUtf8Printable(statusLine));
}

void AppDelegate::showUnexpectedStopNotice(const QString &logEnding)
{
    auto text = [pid = m_runRecord.pid(), since = m_runRecord.since(), error = StopNotice::lastErrorLine(logEnding)](
                        bool clickable) { return ShellTexts::unexpectedStopText(pid, since, error, clickable); };
    qCDebug(lcApp, "Notice: %s", qUtf8Printable(ShellTexts::unexpectedStopTitle()));
    m_notifier->notify(ShellTexts::unexpectedStopTitle(), text, ShellTexts::logsEntry());
}

void AppDelegate::showTrayMessage(const QString &title, const QString &text)
{
    // The menu bar has no balloons: an alert tells it and offers the logs.
    if (m_menuBarItem) {
        m_alerts->show(AlertPresenter::Kind::Result, title, text, ShellTexts::logsEntry(),
                       [self = QPointer(this)](bool logsChosen) {
                           if (self && logsChosen)
                               self->openLogs();
                       });
        return;
    }
    // Where the tray cannot show messages the user learns it from the menu.
    if (m_statusItem && m_statusItem->supportsMessages()) {
        m_trayMessageShown = true;
        m_statusItem->showMessage(title, text, QSystemTrayIcon::Warning);
    }
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

void AppDelegate::startServer() { m_manager.startServer(reportTo(Command::StartServer)); }

void AppDelegate::stopServer() { m_manager.stopServer(reportTo(Command::StopServer)); }

void AppDelegate::restartServer() { m_manager.restartServer(reportTo(Command::RestartServer)); }

void AppDelegate::regenerate() { m_manager.regenerateReports(reportTo(Command::Regenerate)); }

void AppDelegate::openBrowser() { m_manager.openDashboard(ForegroundActivation::Front::Opened); }

void AppDelegate::openBelege() { m_manager.openBelegeFolder(); }

void AppDelegate::openLogs() { m_manager.openLogsFolder(); }

void AppDelegate::revealProject()
{
    // Resolved now: the root may differ from the path the menu shows.
    FileManagerReveal::reveal(
            m_manager.projectRoot(),
            [opener = m_urlOpener](const QUrl &folder) { opener(folder, ForegroundActivation::Front::Opened); }, this);
}

void AppDelegate::quitApp()
{
    // Once: a second "Beenden" would call off the stop the first is waiting for.
    if (std::exchange(m_quitting, true))
        return;
    // Nothing still under way holds the end up: its children end now, and
    // a start in progress launches no server any more.
    m_manager.cancelOperations();
    const ServerStatus &status = m_manager.status().current();
    // What the last probe found; a start called off ends the server it launched.
    if (!status.running && !status.pid) {
        emit terminationRequested();
        return;
    }
    // Whatever the stop reports, the program ends once it is over: the stop
    // is bounded itself, so it is waited for rather than cut short while
    // its server may still be ending. Should it not report back within its
    // bound, its run is called off, so no worker holds the end up.
    m_manager.stopServer([self = QPointer(this)](const OperationOutcome &done) {
        if (self)
            self->finishQuit(done);
    });
    QTimer::singleShot(m_manager.stopBoundMs() + quitStopMarginMs, this, [this] { finishQuit(std::nullopt); });
}

void AppDelegate::finishQuit(const std::optional<OperationOutcome> &done)
{
    if (m_ending)
        return;
    m_ending = true;
    m_manager.cancelOperations();
    // The stop's report comes after the state it left; without one nothing is sure.
    const ServerStatus &status = m_manager.status().current();
    if (done && !status.running && !status.pid) {
        emit terminationRequested();
        return;
    }
    // Never gone leaving our server running unsaid: the user learns it, and
    // what the stop said, before the program ends.
    m_alerts->show(AlertPresenter::Kind::Result, ShellTexts::quitLeavesServerTitle(),
                   ShellTexts::quitLeavesServerText(done ? OutcomeTexts::message(*done) : QString(),
                                                    (m_manager.stopBoundMs() + quitStopMarginMs + 999) / 1000),
                   std::nullopt, [self = QPointer(this)](bool) {
                       if (self)
                           emit self->terminationRequested();
                   });
}

ServerManager::Completion AppDelegate::reportTo(Command command)
{
    return [self = QPointer(this), command](const OperationOutcome &outcome) {
        if (self)
            self->finishServerCommand(command, outcome, OutcomeTexts::message(outcome));
    };
}

void AppDelegate::finishServerCommand(Command command, const OperationOutcome &done, const QString &message)
{
    MenuModel::Outcome outcome = MenuModel::outcome(command, done.success());
    // A script that had to be ended is an error, even for a stop.
    if (done.kind == OperationOutcome::Kind::ScriptTimedOut)
        outcome.alertTitle = ShellTexts::failureTitle();
    // Launched, but with no dashboard to show yet.
    if (done.kind == OperationOutcome::Kind::StartedNotListening)
        outcome.alertTitle = MenuModel::outcome(command, true).alertTitle;
    if (outcome.updateMenu)
        updateMenu();
    if (outcome.openDashboard)
        m_manager.openDashboard(ForegroundActivation::Front::Program);
    AlertDialog *alert = m_alerts->show(AlertPresenter::Kind::Result, outcome.alertTitle, message);
    // The browser's window comes later than the alert that follows it.
    if (outcome.openDashboard)
        m_alerts->keepInFrontOfNextWindow(alert);
}

void AppDelegate::showWelcome()
{
    m_alerts->show(AlertPresenter::Kind::Welcome, ShellTexts::welcomeTitle(), ShellTexts::welcomeText());
}

void AppDelegate::showDelayedWelcome()
{
    // A reopen may have shown it already; a start at login greets nobody.
    if (!m_didShowWelcome && m_greetsAtLaunch) {
        m_didShowWelcome = true;
        showWelcome();
    }
    // Over the welcome, so it is read first; told once.
    if (m_upgradeNotice) {
        m_alerts->show(AlertPresenter::Kind::Result, OutcomeTexts::upgradeNoticeTitle(*m_upgradeNotice),
                       OutcomeTexts::upgradeNoticeText(*m_upgradeNotice));
        m_upgradeNotice.reset();
    }
    // Without a tray the user could neither see nor end the program: say so,
    // over the welcome, so the notice is read first.
    showTrayMissingNotice();
}

void AppDelegate::showTrayMissingNotice()
{
    // A tray host may have started in the meantime; the icon is there then.
    if (trayAvailable())
        return;
    m_alerts->show(AlertPresenter::Kind::TrayMissing, ShellTexts::trayMissingTitle(),
                   ShellTexts::trayMissingText(qEnvironmentVariable("XDG_CURRENT_DESKTOP")), ShellTexts::quitEntry(),
                   [self = QPointer(this)](bool quitChosen) {
                       if (self && quitChosen)
                           self->quitApp();
                   });
}
