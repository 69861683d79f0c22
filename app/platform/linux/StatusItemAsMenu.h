#pragma once

#include <QDBusConnection>
#include <QDBusVirtualObject>
#include <QPointer>

// Qt exports its tray item to StatusNotifierItem hosts with ItemIsMenu
// false and no way to change it, so hosts send Activate on a left click,
// where all the program could do is open a menu of its own: on Wayland a
// toplevel window far from the icon. Declared a menu, the hosts (waybar,
// xfce4-panel, GNOME's AppIndicator extension, Plasma) open their own
// rendering of the exported menu at the icon on a left click as well.
//
// This takes the item's object path over on Qt's tray connection, moves
// Qt's item aside, and passes every call on to it, answering ItemIsMenu
// itself and sending the item's change signals from the path hosts watch.
class StatusItemAsMenu : public QDBusVirtualObject
{
    Q_OBJECT

public:
    // Takes over the item of the QSystemTrayIcon shown last. Returns null
    // where Qt exported none (an XEmbed tray, no watcher at the first use).
    static StatusItemAsMenu *takeOver(QObject *parent);

    QString introspect(const QString &path) const override;
    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override;

private slots:
    void relayChange();

private:
    StatusItemAsMenu(const QDBusConnection &connection, QObject *qtItem, QObject *parent);
    void forward(const QDBusMessage &message);

    QDBusConnection m_connection;
    QPointer<QObject> m_qtItem;
};
