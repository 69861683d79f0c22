#pragma once

#include <QDeadlineTimer>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <optional>

class AlertDialog;
class QWindow;

// Shows the program's alerts, each modal to the user but none waiting in a
// nested event loop, and knows which are up: an alert of a kind that is
// already shown (the welcome, the tray notice) brings that one to the front
// instead of stacking a second; any other new alert opens over the earlier.
class AlertPresenter : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(AlertPresenter)

public:
    enum class Kind { Welcome, TrayMissing, Result };
    // Whether the extra button closed the alert (not "OK", Escape or the
    // window's close button).
    using Answer = std::function<void(bool extraChosen)>;

    explicit AlertPresenter(QObject *parent = nullptr);
    ~AlertPresenter() override;

    // `extraButton`: a further button beside "OK"; the answer tells which
    // closed the alert. Returns the alert shown or brought to the front.
    AlertDialog *show(Kind kind, const QString &title, const QString &message,
                      const std::optional<QString> &extraButton = std::nullopt, Answer answer = {});

    // The alert follows a window that another program is about to open (the
    // browser with the dashboard). Should that window take the focus from
    // it within `overtakeMs`, the alert comes back in front of it, once.
    static constexpr int overtakeMs = 30000;
    void keepInFrontOfNextWindow(AlertDialog *dialog);

    // The alerts up now, oldest first.
    QList<AlertDialog *> shown() const;

private:
    void focusMoved(QWindow *focused);

    struct Shown
    {
        Kind kind;
        QPointer<AlertDialog> dialog;
        QDeadlineTimer overtakeable = QDeadlineTimer(0); // expired: stays where it is
    };
    QList<Shown> m_shown;
};
