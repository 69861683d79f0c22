#pragma once

#include <QObject>
#include <QTimer>

class QDBusServiceWatcher;

// Tells when a StatusNotifierItem host is ready for a (new) tray item: a
// panel that started after the program, or one that restarted. Qt 6.4
// decides once, at the first tray item, whether to export items over D-Bus,
// and on Wayland never offers one to a watcher that came later; a fresh item
// made once a host is there registers within moments.
class StatusNotifierWatch : public QObject
{
    Q_OBJECT

public:
    explicit StatusNotifierWatch(QObject *parent = nullptr);

    // A watcher is there now (asks the bus daemon, which answers at once).
    static bool watcherIsThere();

signals:
    // A watcher got a new owner and has a host registered.
    void hostAppeared();

private:
    void askForHost();

    QDBusServiceWatcher *m_watcher;
    QTimer m_retry;
    int m_triesLeft = 0;
};
