// The tray item of AppDelegate: the program's own item where panels take
// StatusNotifier items (Linux), the macOS menu-bar item, and Qt's tray icon
// only where neither is there (an XEmbed tray).
#include "app/AppDelegate.h"

#include "app/AppIdentity.h"
#include "app/OutcomeTexts.h"
#include "app/ShellTexts.h"
#include "app/TrayIconImage.h"
#include "platform/TrayMenu.h"
#include "server/StatusModel.h"

#include <QCursor>
#include <QGuiApplication>
#include <QPalette>

namespace {

QIcon trayIcon() { return TrayIconImage::programIcon(QGuiApplication::palette().color(QPalette::WindowText)); }

} // namespace

void AppDelegate::createStatusItem()
{
    // The macOS menu bar: the title beside the symbol, which Qt's square
    // status item cannot show. Made once; the bar does not come and go.
    if (MenuBarItem::isAvailable()) {
        if (!m_menuBarItem)
            m_menuBarItem =
                    new MenuBarItem(m_statusMenu, ShellTexts::buttonTitle(), ShellTexts::accessibleName(), this);
        updateToolTip();
        return;
    }
    if (!StatusNotifierItem::isSupported()) {
        createTrayIcon();
        return;
    }
    // Made once; it finds every panel that comes, and a panel that comes
    // back finds the item it had.
    m_trayItem = new StatusNotifierItem(QString::fromUtf8(AppIdentity::applicationId), ShellTexts::itemTitle(),
                                        m_statusMenu->actions(), this);
    m_trayItem->setIcon(trayIcon());
    updateToolTip();
    // Panels that show the menu may never say it closed (waybar asks
    // AboutToShowGroup on opening and sends nothing on closing): there a
    // look lasts a minute, or until the next opening.
    StatusModel *status = &m_manager.status();
    connect(m_trayItem, &StatusNotifierItem::menuOpened, status,
            [status] { status->setObserved(true, lookOverDBusMs); });
    connect(m_trayItem, &StatusNotifierItem::menuClosed, status, [status] { status->setObserved(false); });
    connect(m_trayItem, &StatusNotifierItem::contextMenuRequested, m_statusMenu,
            [menu = m_statusMenu](const QPoint &at) { menu->popup(at); });
    // Qt's icon only while no panel takes the item; one that comes later
    // replaces it, or both would show.
    connect(m_trayItem, &StatusNotifierItem::watcherPresent, this, [this](bool present) {
        if (present)
            delete m_statusItem;
        else if (!m_statusItem && StatusNotifierItem::otherTrayPossible())
            createTrayIcon();
    });
}

void AppDelegate::createTrayIcon()
{
    m_statusItem = new QSystemTrayIcon(this);
    m_statusItem->setContextMenu(m_statusMenu);
    // An XEmbed tray reports a left click only as Trigger and opens the
    // context menu on the right button alone; users expect either to work.
    if (TrayMenu::popUpOnTrigger()) {
        connect(m_statusItem, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason != QSystemTrayIcon::Trigger)
                return;
            const QRect icon = m_statusItem->geometry();
            m_statusMenu->popup(icon.isValid() ? icon.bottomLeft() : QCursor::pos());
        });
    }
    // Only a balloon of ours opens the logs: it is shown where the desktop
    // has no notification service, and tells of the unexpected stop.
    connect(m_statusItem, &QSystemTrayIcon::messageClicked, this, [this] {
        if (std::exchange(m_trayMessageShown, false))
            openLogs();
    });
    m_statusItem->setIcon(trayIcon());
    updateToolTip();
    // Shown even without a tray: the icon then appears once a tray starts.
    m_statusItem->show();
}

void AppDelegate::updateToolTip()
{
    // None before the first update: "stopped" would be a guess, and on
    // macOS the first probe takes a moment (lsof).
    const ServerStatus &status = m_manager.status().current();
    if (!status.hasUpdate())
        return;
    const QString tip = OutcomeTexts::toolTip(status, m_manager.port());
    // Only a change is passed on: a StatusNotifier item announces every
    // tool tip on the bus, and each panel then asks for it again.
    if (m_statusItem && m_statusItem->toolTip() != tip)
        m_statusItem->setToolTip(tip);
    if (m_trayItem)
        m_trayItem->setToolTip(tip);
    if (m_menuBarItem)
        m_menuBarItem->setToolTip(tip);
}

void AppDelegate::setEntryTitle(QAction *action, const QString &title)
{
    action->setText(MenuModel::actionText(title));
}

bool AppDelegate::trayAvailable() const
{
    return m_menuBarItem || (m_trayItem && m_trayItem->isRegistered())
            || (m_statusItem && QSystemTrayIcon::isSystemTrayAvailable());
}
