#pragma once

#include <QObject>
#include <QString>

class QMenu;
Q_FORWARD_DECLARE_OBJC_CLASS(NSStatusItem);

// The program's own item in the macOS menu bar: as wide as its content, the
// title beside the document symbol, drawn as a template so that it follows
// light and dark menu bars, and the QMenu's native menu opened on a click.
// Qt's own status item there is a square image alone. Other systems have
// no such bar, and offscreen (tests) there is none to draw into:
// isAvailable() is false there and the tray icon shows the program.
class MenuBarItem : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MenuBarItem)

public:
    static bool isAvailable();

    // `menu` stays the caller's and must outlive the item; whatever changes
    // in it (texts, enabled entries) shows in the open menu at once, since
    // the item shows the menu's own native counterpart, not a copy.
    // `accessibleName` is what VoiceOver says for the symbol.
    MenuBarItem(QMenu *menu, const QString &title, const QString &accessibleName, QObject *parent = nullptr);
    // Takes the item out of the menu bar.
    ~MenuBarItem() override;

    void setToolTip(const QString &toolTip);

private:
    NSStatusItem *m_item = nullptr; // retained while the item is shown
};
