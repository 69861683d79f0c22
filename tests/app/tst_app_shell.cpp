// The tray program's menu, its status lines, the welcome and the launch, on
// the offscreen platform with real listeners and real HTTP children.

#include "app/MenuModel.h"
#include "app/ShellTexts.h"
#include "app/TrayIconImage.h"
#include "tests/app/AppTestSupport.h"

#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>

using namespace AppTestSupport;

class TestAppShell : public QObject
{
    Q_OBJECT

private slots:
    void menuIsBuiltInOrderWithFixedTexts();
    void dataEntryShowsAnAmpersandAsItIs();
    void runningServerShowsItsPortApiAnswerAndItsEnd();
    void apiWithoutUsableAnswerShowsPortOpen();
    void apiLineStateMachine();
    void welcomeOncePerLaunchAndOnEveryReopen();
    void reopenBeforeTheDelayedStepShowsOneWelcome();
    void trayNoticeOffersToQuit();
    void terminationStopsOnlyThePoll();
    void longMessageScrollsInsideTheScreen();
    void bundledIconIsBuiltIn();
};

void TestAppShell::menuIsBuiltInOrderWithFixedTexts()
{
    QTemporaryDir root;
    Shell shell(configFor(ServerTestSupport::freePort(), root.path()));
    shell.delegate->applicationDidFinishLaunching();
    QMenu *menu = shell.delegate->statusMenu();
    QVERIFY(menu);
    QCOMPARE(shell.delegate->statusItem()->contextMenu(), menu);

    // Nothing on the port: stopped.
    const QStringList expected{
        QStringLiteral("Server gestoppt"), QStringLiteral("API: offline"), QString(),
        QStringLiteral("Server starten"), QStringLiteral("Server stoppen"),
        QStringLiteral("Server neu starten"), QStringLiteral("Berichte neu generieren"), QString(),
        QStringLiteral("Dashboard im Browser"), QStringLiteral("Belege-Upload öffnen"),
        QStringLiteral("Logs-Ordner öffnen"), QString(),
        QStringLiteral("Daten: ") + root.path(), QString(), QStringLiteral("Beenden")};
    const QList<QAction *> actions = menu->actions();
    QCOMPARE(actions.size(), expected.size());
    for (int i = 0; i < actions.size(); ++i) {
        QCOMPARE(actions[i]->isSeparator(), expected[i].isEmpty());
        if (actions[i]->isSeparator())
            continue;
        QCOMPARE(actions[i]->text(), expected[i]);
        QVERIFY(actions[i]->shortcut().isEmpty());
        // Only the two information lines are disabled.
        QCOMPARE(actions[i]->isEnabled(), i > 1);
    }
    QCOMPARE(shell.delegate->statusItem()->toolTip(), QStringLiteral("Harlune – Server gestoppt"));
    QCOMPARE(shell.delegate->pollTimer()->interval(), 5000);
    QVERIFY(shell.delegate->pollTimer()->isActive());
    QVERIFY(shell.delegate->isWelcomePending());

    // No probe was started: one of the free port would have failed long
    // before the welcome, leaving "API: Port offen, Antwort fehlt".
    shell.awaitLaunchAlerts();
    QCOMPARE(shell.delegate->apiLineItem()->text(), QStringLiteral("API: offline"));

    // Built texts before any update, as the model hands them over.
    const QList<MenuModel::Entry> entries = MenuModel::entries(root.path());
    QCOMPARE(entries[0].title, QStringLiteral("Status…"));
    QCOMPARE(entries[1].title, QStringLiteral("API: —"));
}

void TestAppShell::dataEntryShowsAnAmpersandAsItIs()
{
    QTemporaryDir base;
    const QString root = base.path() + QStringLiteral("/Müller & Söhne");
    Shell shell(configFor(ServerTestSupport::freePort(), root));
    shell.delegate->applicationDidFinishLaunching();
    // iconText() is the text without mnemonic markers: what the menu shows.
    QCOMPARE(shell.delegate->statusMenu()->actions().at(12)->iconText(),
             QStringLiteral("Daten: ") + root);
}

void TestAppShell::runningServerShowsItsPortApiAnswerAndItsEnd()
{
    auto server = std::make_unique<HttpChild>(200);
    const quint16 port = server->port();
    QVERIFY(port);
    QTemporaryDir root;
    Shell shell(configFor(port, root.path()));
    shell.delegate->applicationDidFinishLaunching();
    // Shown as running by the very first update, before the welcome.
    QCOMPARE(shell.delegate->statusLineItem()->text(),
             QStringLiteral("Server läuft auf http://127.0.0.1:%1/").arg(port));
    QCOMPARE(shell.delegate->statusItem()->toolTip(), QStringLiteral("Harlune – Server läuft"));
    QCOMPARE(shell.delegate->apiLineItem()->text(), QStringLiteral("API: —"));
    // Whatever version the server reports, the line reads the same.
    QTRY_COMPARE_WITH_TIMEOUT(shell.delegate->apiLineItem()->text(),
                              QStringLiteral("API: online (v5)"), patienceMs);

    // No command runs: only the 5-second poll can notice the server's end.
    server.reset();
    QTRY_COMPARE_WITH_TIMEOUT(shell.delegate->statusLineItem()->text(),
                              QStringLiteral("Server gestoppt"), patienceMs);
    QCOMPARE(shell.delegate->apiLineItem()->text(), QStringLiteral("API: offline"));
    QCOMPARE(shell.delegate->statusItem()->toolTip(), QStringLiteral("Harlune – Server gestoppt"));
}

void TestAppShell::apiWithoutUsableAnswerShowsPortOpen()
{
    HttpChild server(404);
    QVERIFY(server.port());
    QTemporaryDir root;
    Shell shell(configFor(server.port(), root.path()));
    shell.launch();
    QTRY_COMPARE_WITH_TIMEOUT(shell.delegate->apiLineItem()->text(),
                              QStringLiteral("API: Port offen, Antwort fehlt"), patienceMs);
    QVERIFY(shell.delegate->statusLineItem()->text().startsWith(QStringLiteral("Server läuft")));
}

void TestAppShell::apiLineStateMachine()
{
    MenuModel::ApiLine line;
    QCOMPARE(line.text(), QStringLiteral("API: —"));
    QVERIFY(line.update(true)); // running: probe, keep the text meanwhile
    QCOMPARE(line.text(), QStringLiteral("API: —"));
    line.answer(QString()); // an empty body is still an answer
    QCOMPARE(line.text(), QStringLiteral("API: online (v5)"));
    QVERIFY(!line.update(false));
    QCOMPARE(line.text(), QStringLiteral("API: offline"));
    // A probe started before the server went away still lands; last wins.
    line.answer(std::nullopt);
    QCOMPARE(line.text(), QStringLiteral("API: Port offen, Antwort fehlt"));
    QVERIFY(line.update(true));
    QCOMPARE(line.text(), QStringLiteral("API: Port offen, Antwort fehlt"));
}

void TestAppShell::welcomeOncePerLaunchAndOnEveryReopen()
{
    QTemporaryDir root;
    // Twice, because a launch remembers nothing of the one before.
    for (int launch = 0; launch < 2; ++launch) {
        Shell shell(configFor(ServerTestSupport::freePort(), root.path()));
        shell.launch();
        const QList<AlertHand::Seen> welcomes = shell.alerts.withTitle(ShellTexts::welcomeTitle());
        QCOMPARE(welcomes.size(), 1);
        QCOMPARE(welcomes[0].message,
                 QStringLiteral("Die App hat kein Hauptfenster – steuern Sie alles über:\n\n"
                                "• Menüleiste oben rechts: „Harlune“ anklicken\n"
                                "• Oder Dock-Symbol erneut anklicken\n\n"
                                "Dann: „Server starten“ → Browser öffnet http://127.0.0.1:8765/"));
        QVERIFY(shell.delegate->didShowWelcome());

        QVERIFY(shell.delegate->applicationShouldHandleReopen());
        QVERIFY(shell.delegate->applicationShouldHandleReopen(true));
        QCOMPARE(shell.alerts.withTitle(ShellTexts::welcomeTitle()).size(), 3);
    }
}

void TestAppShell::reopenBeforeTheDelayedStepShowsOneWelcome()
{
    QTemporaryDir root;
    Shell shell(configFor(ServerTestSupport::freePort(), root.path()));
    // The reopen comes before control ever returns to the event loop, so it
    // certainly beats the 0.3 s step.
    shell.delegate->applicationDidFinishLaunching();
    QVERIFY(shell.delegate->isWelcomePending());
    QVERIFY(shell.delegate->applicationShouldHandleReopen());
    QTRY_VERIFY_WITH_TIMEOUT(!shell.delegate->isWelcomePending(), patienceMs);
    QCOMPARE(shell.alerts.withTitle(ShellTexts::welcomeTitle()).size(), 1);
}

void TestAppShell::trayNoticeOffersToQuit()
{
    QTemporaryDir root;
    Shell shell(configFor(ServerTestSupport::freePort(), root.path()));
    QSignalSpy terminations(shell.delegate.get(), &AppDelegate::terminationRequested);
    shell.launch();
    // Offscreen there is no tray: the launch says so and keeps running.
    const QList<AlertHand::Seen> notices = shell.alerts.withTitle(ShellTexts::trayMissingTitle());
    QCOMPARE(notices.size(), 1);
    QVERIFY(notices[0].message.contains(QStringLiteral("Infobereich")));
    QCOMPARE(terminations.size(), 0);

    // With "Beenden" the user can end a program they cannot otherwise reach.
    shell.alerts.answer = ShellTexts::quitEntry();
    shell.delegate->applicationShouldHandleReopen();
    QCOMPARE(shell.alerts.withTitle(ShellTexts::trayMissingTitle()).size(), 2);
    QCOMPARE(terminations.size(), 1);
}

void TestAppShell::terminationStopsOnlyThePoll()
{
    QProcess listener;
    const quint16 port = ServerTestSupport::startListener(listener);
    QVERIFY(port);
    QTemporaryDir root;
    Shell shell(configFor(port, root.path()));
    shell.launch();
    shell.delegate->applicationWillTerminate();
    QVERIFY(!shell.delegate->pollTimer()->isActive());
    QCOMPARE(listener.state(), QProcess::Running);
    QVERIFY(shell.manager->isRunning());
}

void TestAppShell::longMessageScrollsInsideTheScreen()
{
    QStringList lines;
    for (int i = 1; i <= 400; ++i)
        lines << QStringLiteral("Zeile %1: <b>Beleg</b> & Fehler in /var/tmp/%2").arg(i).arg(QString(60, QLatin1Char('x')));
    const QString report = lines.join(QLatin1Char('\n'));
    AlertDialog alert(ShellTexts::failureTitle(), report);
    alert.show();
    QVERIFY(QTest::qWaitForWindowExposed(&alert));
    QCOMPARE(alert.message(), report);
    const QRect screen = alert.screen()->availableGeometry();
    QVERIFY2(alert.frameGeometry().height() <= screen.height(),
             qPrintable(QStringLiteral("%1 > %2").arg(alert.frameGeometry().height()).arg(screen.height())));
    QVERIFY(alert.frameGeometry().width() <= screen.width());

    // A one-line message is shown whole, without scrolling.
    AlertDialog shortAlert(ShellTexts::startedTitle(), QStringLiteral("Server gestartet (PID 42)"));
    shortAlert.show();
    QVERIFY(QTest::qWaitForWindowExposed(&shortAlert));
    const auto *area = shortAlert.findChild<QScrollArea *>();
    QVERIFY(area);
    QVERIFY(!area->verticalScrollBar()->isVisible());
    QVERIFY(!area->horizontalScrollBar()->isVisible());
}

void TestAppShell::bundledIconIsBuiltIn()
{
    // The drawing must be in the program's resources, even though it comes
    // from a static library.
    const QIcon icon = TrayIconImage::bundledIcon(Qt::black);
    QVERIFY(!icon.isNull());
    QVERIFY(icon.isMask());
    QVERIFY(icon.pixmap(22, 22).toImage().hasAlphaChannel());
    QVERIFY(!TrayIconImage::documentIcon(Qt::black).isNull());
}

QTEST_MAIN(TestAppShell)
#include "tst_app_shell.moc"
