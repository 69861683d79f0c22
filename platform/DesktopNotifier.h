#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

// Desktop notices through the desktop's own notification service (Linux:
// org.freedesktop.Notifications on the session bus), which Qt's tray
// balloon uses without any action, so that a click on it would go nowhere.
// On macOS: the notification centre, where the bundle and the user allow it
// (NoticeRoute), else unavailable() for an alert of the caller's.
// Ours carry the "default" action, the program's identity for the desktop to
// attribute and keep them, and replace the previous notice instead of
// stacking. Nothing here waits for the service: every call is asynchronous.
class DesktopNotifier : public QObject
{
    Q_OBJECT

public:
    // The body for a service that does (true) or does not (false) report
    // clicks: only the former may promise what a click does.
    using Body = std::function<QString(bool clickable)>;

    explicit DesktopNotifier(const QString &appName, const QString &desktopEntry, const QString &iconName,
                             QObject *parent = nullptr);

    // Shows (or replaces) the notice. Where the session has no notification
    // service, unavailable() follows instead with the text for a fallback
    // that opens the logs folder in the caller's way: a click on the tray's
    // balloon (Linux, the text says so), the alert's button (macOS, it does
    // not).
    void notify(const QString &title, const Body &body, const QString &actionLabel);

    // Plain text as a service that reads markup shows it verbatim.
    static QString escapedForMarkup(const QString &text);

signals:
    void clicked();
    void unavailable(const QString &title, const QString &text);

private slots:
    void onActionInvoked(uint id, const QString &action);
    void onClosed(uint id, uint reason);

private:
    // Subscribes to the service's answers where the system has one.
    void listen();
    void send(const QString &title, const Body &body, const QString &actionLabel, const QStringList &capabilities);

    const QString m_appName;
    const QString m_desktopEntry;
    const QString m_iconName;
    uint m_shownId = 0; // the notice on screen, 0 when none
};
