#include "app/AlertPresenter.h"

#include "app/AlertDialog.h"
#include "platform/ForegroundActivation.h"

#include <QAbstractButton>
#include <QGuiApplication>
#include <QWindow>

AlertPresenter::AlertPresenter(QObject *parent)
    : QObject(parent)
{
    connect(qGuiApp, &QGuiApplication::focusWindowChanged, this, &AlertPresenter::focusMoved);
}

AlertPresenter::~AlertPresenter()
{
    // Alerts are top-level widgets, owned here rather than by a parent.
    for (const Shown &alert : std::as_const(m_shown))
        delete alert.dialog;
}

AlertDialog *AlertPresenter::show(Kind kind, const QString &title, const QString &message,
                                  const std::optional<QString> &extraButton, Answer answer)
{
    if (kind != Kind::Result) {
        for (const Shown &alert : std::as_const(m_shown)) {
            if (alert.kind == kind && alert.dialog) {
                ForegroundActivation::bringProgramForward();
                alert.dialog->bringToFront();
                return alert.dialog;
            }
        }
    }
    auto *dialog = new AlertDialog(title, message);
    const QAbstractButton *extra = extraButton ? dialog->addButton(*extraButton) : nullptr;
    m_shown.append({kind, dialog});
    connect(dialog, &QDialog::finished, this, [this, dialog, extra, answer] {
        m_shown.removeIf([dialog](const Shown &alert) { return alert.dialog == dialog; });
        const bool extraChosen = extra && dialog->clickedButton() == extra;
        dialog->deleteLater();
        if (answer)
            answer(extraChosen);
    });
    // The alert answers what the user just chose; over the browser a start
    // has opened, say.
    ForegroundActivation::bringProgramForward();
    dialog->present();
    return dialog;
}

void AlertPresenter::keepInFrontOfNextWindow(AlertDialog *dialog)
{
    for (Shown &alert : m_shown) {
        if (alert.dialog == dialog)
            alert.overtakeable.setRemainingTime(overtakeMs);
    }
}

void AlertPresenter::focusMoved(QWindow *focused)
{
    // Only another program's window takes the focus from all of ours.
    if (focused)
        return;
    for (Shown &alert : m_shown) {
        if (alert.dialog && !alert.overtakeable.hasExpired()) {
            alert.overtakeable = QDeadlineTimer(0);
            // Not while the focus is still moving: once it has arrived there.
            QMetaObject::invokeMethod(alert.dialog, &AlertDialog::bringToFront, Qt::QueuedConnection);
        }
    }
}

QList<AlertDialog *> AlertPresenter::shown() const
{
    QList<AlertDialog *> dialogs;
    for (const Shown &alert : m_shown) {
        if (alert.dialog)
            dialogs.append(alert.dialog);
    }
    return dialogs;
}
