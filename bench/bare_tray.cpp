// A bare Qt 6 tray program, the yardstick for the real one's footprint: the
// same fifteen-entry menu, the same icon, a 5-second timer that retitles the
// status line, and the welcome alert 0.3 s after launch, so that both can be
// measured after an alert. Nothing else: no server control, no network, no
// single-instance socket. Its application name tells its icon from ours.
//
//   build/bench/bare_tray

#include "app/MenuModel.h"
#include "app/ShellTexts.h"
#include "app/TrayIconImage.h"

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QMenu>
#include <QMessageBox>
#include <QPalette>
#include <QSystemTrayIcon>
#include <QTimer>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setApplicationName(QStringLiteral("bare-tray"));

    QMenu menu;
    QAction *statusLine = nullptr;
    for (const MenuModel::Entry &entry : MenuModel::entries(qEnvironmentVariable("HARLUNE_PROJECT"))) {
        if (entry.kind == MenuModel::EntryKind::Separator) {
            menu.addSeparator();
            continue;
        }
        QAction *action = menu.addAction(MenuModel::actionText(entry.title));
        action->setEnabled(entry.command.has_value());
        if (entry.kind == MenuModel::EntryKind::StatusLine)
            statusLine = action;
        if (entry.command == MenuModel::Command::Quit)
            QObject::connect(action, &QAction::triggered, &application, &QCoreApplication::quit);
    }

    QSystemTrayIcon tray;
    tray.setContextMenu(&menu);
    QObject::connect(&tray, &QSystemTrayIcon::activated, &menu, [&menu](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger)
            menu.popup(QCursor::pos());
    });
    tray.setIcon(TrayIconImage::programIcon(QGuiApplication::palette().color(QPalette::WindowText)));
    tray.show();

    QTimer poll;
    poll.setInterval(5000);
    QObject::connect(&poll, &QTimer::timeout, &tray, [&tray, statusLine] {
        tray.setToolTip(ShellTexts::toolTip(ShellTexts::stoppedLine()));
        statusLine->setText(ShellTexts::statusLine(false, QString()));
    });
    poll.start();

    QTimer::singleShot(300, &tray, [] {
        QMessageBox::information(nullptr, ShellTexts::welcomeTitle(), ShellTexts::welcomeText());
    });
    return QApplication::exec();
}
