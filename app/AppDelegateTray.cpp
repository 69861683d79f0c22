// The tray item of AppDelegate: made, and made again for a panel that
// came later, and the menu's texts as that tray shows them.
#include "app/AppDelegate.h"

#include "app/OutcomeTexts.h"
#include "app/ShellTexts.h"
#include "app/TrayIconImage.h"
#include "platform/TrayItemAsMenu.h"
#include "platform/TrayMenu.h"
#include "server/StatusModel.h"

#include <QCursor>
#include <QGuiApplication>
#include <QPalette>

void AppDelegate::createStatusItem()
{
    // The macOS menu bar: the title beside the symbol, which Qt's square
    // status item cannot show. Made once; the bar does not come and go.
    if (MenuBarItem::isAvailable()) {
        if (!m_menuBarItem)
            m_menuBarItem = new MenuBarItem(m_statusMenu, ShellTexts::buttonTitle(),
                                            ShellTexts::accessibleName(), this);
        updateToolTip();
        return;
    }
    // A panel that comes back finds the item it had: Qt registers it again.
    // A fresh one beside it would race it into the panel, and the panel
    // would keep the one that is gone (GNOME's extension re-enabled).
    if (TrayItemAsMenu::isExported(m_statusItem))
        return;
    delete m_statusItem;
    m_statusItem = new QSystemTrayIcon(this);
    // First: how the tray shows the texts depends on the tray it goes to.
    m_statusItem->setContextMenu(m_statusMenu);
    for (QAction *action : m_statusMenu->actions())
        setEntryTitle(action, action->data().toString());

    // An XEmbed tray reports a left click only as Trigger and opens the
    // context menu on the right button alone; users expect either to work.
    // StatusNotifier hosts show their own menu on either (the item is a
    // menu); a menu of ours would have no place beside their icon.
    if (TrayMenu::popUpOnTrigger()) {
        connect(m_statusItem, &QSystemTrayIcon::activated, this,
                [this](QSystemTrayIcon::ActivationReason reason) {
                    if (reason != QSystemTrayIcon::Trigger
                        || MenuModel::textStyle(*m_statusMenu) != MenuModel::TextStyle::Widget)
                        return;
                    const QRect icon = m_statusItem->geometry();
                    m_statusMenu->popup(icon.isValid() ? icon.bottomLeft() : QCursor::pos());
                });
    }
    // The only message the icon shows is the unexpected stop; its cause is in the logs.
    connect(m_statusItem, &QSystemTrayIcon::messageClicked, this, &AppDelegate::openLogs);
    m_statusItem->setIcon(TrayIconImage::programIcon(
        QGuiApplication::palette().color(QPalette::WindowText)));
    updateToolTip();
    // Shown even without a tray: the icon then appears once a tray starts.
    m_statusItem->show();
    TrayItemAsMenu::declare(m_statusItem);
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
    if (m_menuBarItem)
        m_menuBarItem->setToolTip(tip);
}

void AppDelegate::setEntryTitle(QAction *action, const QString &title)
{
    action->setData(title);
    const MenuModel::TextStyle style =
            m_statusItem ? MenuModel::textStyle(*m_statusMenu) : MenuModel::TextStyle::Widget;
    action->setText(MenuModel::actionText(title, style));
}

bool AppDelegate::trayAvailable() const
{
    return m_menuBarItem || (m_statusItem && QSystemTrayIcon::isSystemTrayAvailable());
}
