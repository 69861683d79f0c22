#pragma once

#include <QIcon>
#include <QList>
#include <QObject>
#include <QPoint>
#include <QString>

#include <memory>

class QAction;

// The program's own tray item for Linux panels, on the public protocols
// alone: an org.kde.StatusNotifierItem object on the session bus, and its
// menu exported as com.canonical.dbusmenu from a plain list of actions, so
// that what every host shows is decided here, whatever Qt version or
// platform theme runs. The item is a menu (ItemIsMenu): hosts open the
// exported menu at the icon on any click. It registers with
// org.kde.StatusNotifierWatcher at once and again whenever a watcher
// appears or gets a new owner (a panel that starts later or restarts).
//
// Labels reach hosts as their text reads, with no access key: a '_' is
// written "__", a '&' stays one. GNOME Shell's AppIndicator extension reads
// labels its own way (DBusMenuLabel::forGnomeShell) and is told apart by
// the owner of its bus name. A look at the menu (AboutToShow, its group
// form, or an "opened" event) and its end ("closed") are signalled; a
// host may send only one of the two forms, or never say it closed.
//
// Where the system has no such panels (macOS) isSupported() is false.
class StatusNotifierItem : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(StatusNotifierItem)

public:
    static bool isSupported();
    // Where no watcher runs, whether a tray of another kind may still show
    // an icon (X11: an XEmbed tray); never on Wayland.
    static bool otherTrayPossible();

    // `menu`: the entries top to bottom (separators included), followed
    // from here on; the actions stay the caller's and must outlive the item.
    // `id` says which program the item is, `title` how hosts name it.
    StatusNotifierItem(const QString &id, const QString &title, const QList<QAction *> &menu,
                       QObject *parent = nullptr);
    ~StatusNotifierItem() override;

    // Hosts are told only of a real change.
    void setIcon(const QIcon &icon);
    void setToolTip(const QString &text);

    // A watcher took the item: a panel shows it.
    bool isRegistered() const;

signals:
    // Whether a watcher is on the bus: told once the bus has answered,
    // then on every change. Without a session bus, false at once.
    void watcherPresent(bool present);
    void registeredChanged(bool registered);
    // Someone looks at the menu / stopped looking.
    void menuOpened();
    void menuClosed();
    // A host that draws no menu of its own asks for ours at this point.
    void contextMenuRequested(const QPoint &at);

private:
    class Exports;
    std::unique_ptr<Exports> m_exports;
};
