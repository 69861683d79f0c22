#include "platform/MenuBarItem.h"

#import <AppKit/AppKit.h>

#include <QGuiApplication>
#include <QMenu>

// App Nap stays on for the program. Napping, it runs the 5-second status
// update later than asked, but what the user reads is current all the
// same: opening the menu wakes the program and asks for a fresh update.
// Holding App Nap off for the timer's sake (beginActivityWithOptions) would
// keep a program that mostly waits awake all day, for a tool tip and a
// notice that may come some seconds later.

bool MenuBarItem::isAvailable()
{
    // Only where Qt drives AppKit: offscreen (tests, CI) there is neither a
    // native menu to show nor an application object for the bar.
    return QGuiApplication::platformName() == QLatin1String("cocoa");
}

MenuBarItem::MenuBarItem(QMenu *menu, const QString &title, const QString &accessibleName, QObject *parent)
    : QObject(parent)
{
    // The status bar keeps no reference of its own that we could count on.
    m_item = [[[NSStatusBar systemStatusBar] statusItemWithLength:NSVariableStatusItemLength] retain];
    NSStatusBarButton *button = m_item.button;
    button.title = title.toNSString();
    NSImage *symbol = [NSImage imageWithSystemSymbolName:@"doc.text.fill"
                                accessibilityDescription:accessibleName.toNSString()];
    // Without the symbol the title stands alone.
    if (symbol) {
        [symbol setTemplate:YES]; // "template" is a C++ keyword: no dot syntax
        button.image = symbol;
        button.imagePosition = NSImageLeading;
    }
    // The live native menu of the QMenu: Qt keeps its items in step with
    // the actions and triggers them on a choice.
    if (NSMenu *native = menu->toNSMenu())
        m_item.menu = native;
}

MenuBarItem::~MenuBarItem()
{
    // The QMenu may end before the item is released for good.
    m_item.menu = nil;
    [[NSStatusBar systemStatusBar] removeStatusItem:m_item];
    [m_item release];
}

void MenuBarItem::setToolTip(const QString &toolTip) { m_item.button.toolTip = toolTip.toNSString(); }
