#pragma once

#include <QObject>
#include <QTimer>

class QDBusServiceWatcher;

// Tells when a StatusNotifierItem host (Linux panels) is ready for a (new)
// tray item: a panel that started after the program, or one that
// restarted. Qt 6.4 decides once, at the first tray item, whether to export
// items over D-Bus, and on Wayland never offers one to a watcher that came
// later; a fresh item made once a host is there registers within moments.
// The macOS menu bar is always there: nothing to watch.
class StatusNotifierWatch : public QObject
{
    Q_OBJECT

public:
    explicit StatusNotifierWatch(QObject *parent = nullptr);

    // The first tray item may be made now: on Wayland only once a watcher
    // is there (asks the bus daemon, which answers at once).
    static bool itemCanShowNow();

signals:
    // A watcher got a new owner and has a host registered.
    void hostAppeared();

private:
    void askForHost();

    QDBusServiceWatcher *m_watcher;
    QTimer m_retry;
    int m_triesLeft = 0;
};
