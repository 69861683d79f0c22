#pragma once

#include <QDialog>
#include <QString>

class QAbstractButton;
class QDialogButtonBox;
class QLabel;
class QScrollArea;

// An informational alert: a bold title, the message verbatim as plain text
// and an "OK" button. A message too long for the screen (a generator's whole
// error report) scrolls inside the alert instead of stretching it past the
// screen's edge; nothing of it is cut.
class AlertDialog : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(AlertDialog)

public:
    AlertDialog(const QString &title, const QString &message, QWidget *parent = nullptr);

    QString title() const;
    QString message() const;
    QAbstractButton *okButton() const { return m_okButton; }

    // Adds a further button next to "OK" that also closes the alert.
    QAbstractButton *addButton(const QString &text);
    // The button that closed the alert; none when it was closed otherwise
    // (Escape, the window's close button).
    QAbstractButton *clickedButton() const { return m_clicked; }

    // Shows the alert modally without waiting for it (no nested event
    // loop): `finished` tells when it has been dismissed. Brings it to the
    // front over other programs' windows.
    void present();
    // Over whatever the user looks at now (the browser just opened), focused.
    void bringToFront();

protected:
    void showEvent(QShowEvent *event) override;

private:
    void fitMessageToScreen();
    // Sharp at the scale of the screen the alert is on.
    void drawInformationSymbol();

    QLabel *m_icon = nullptr;
    QLabel *m_title = nullptr;
    QLabel *m_message = nullptr;
    QScrollArea *m_messageArea = nullptr;
    QDialogButtonBox *m_buttons = nullptr;
    QAbstractButton *m_okButton = nullptr;
    QAbstractButton *m_clicked = nullptr;
};
