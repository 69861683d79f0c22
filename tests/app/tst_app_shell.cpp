// The tray program's menu, its status lines, the welcome and the launch, on
// the offscreen platform with real HTTP children.

#include "app/MenuModel.h"
#include "app/TrayIconImage.h"
#include "tests/app/AppTestSupport.h"

#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>

using namespace AppTestSupport;

class TestAppShell : public QObject
{
    Q_OBJECT

private slots:
    void menuIsBuiltInOrderWithFixedTexts()
    {
        // Ampersands and underscores in the path show as themselves.
        QTemporaryDir base;
        const QString root = base.path() + u"/Müller_& Söhne && Co"_s;
        Shell shell(freePort(), root);
        shell.delegate->applicationDidFinishLaunching();
        QCOMPARE(shell.delegate->statusItem()->contextMenu(), shell.delegate->statusMenu());

        // Nothing on the port: stopped.
        const QStringList expected{u"Server gestoppt"_s, u"API: offline"_s, {}, u"Server starten"_s,
                                   u"Server stoppen"_s, u"Server neu starten"_s, u"Berichte neu generieren"_s, {},
                                   u"Dashboard im Browser"_s, u"Belege-Upload öffnen"_s, u"Logs-Ordner öffnen"_s, {},
                                   u"Daten: "_s + root, {}, u"Beenden"_s};
        const QList<QAction *> actions = shell.delegate->statusMenu()->actions();
        QCOMPARE(actions.size(), expected.size());
        for (int i = 0; i < actions.size(); ++i) {
            QCOMPARE(actions[i]->isSeparator(), expected[i].isEmpty());
            if (actions[i]->isSeparator())
                continue;
            // iconText() is the text without mnemonic markers: what the menu shows.
            QCOMPARE(actions[i]->iconText(), expected[i]);
            QVERIFY(actions[i]->shortcut().isEmpty());
            QCOMPARE(actions[i]->isEnabled(), i > 1); // only the information lines are not
        }
        QCOMPARE(shell.delegate->statusItem()->toolTip(), u"Harlune – Server gestoppt"_s);

        // No probe was started: one of the free port would have failed long
        // before the welcome, leaving "API: Port offen, Antwort fehlt".
        shell.awaitLaunchAlerts();
        QCOMPARE(shell.delegate->apiLineItem()->text(), u"API: offline"_s);
    }

    void runningServerShowsItsPortApiAnswerAndItsEnd_data()
    {
        QTest::addColumn<bool>("answers");
        QTest::addColumn<QString>("apiLine");
        // Whatever version the server reports, the line reads the same.
        QTest::newRow("version") << true << u"API: online (v5)"_s;
        QTest::newRow("404") << false << u"API: Port offen, Antwort fehlt"_s;
    }

    void runningServerShowsItsPortApiAnswerAndItsEnd()
    {
        QFETCH(bool, answers);
        QFETCH(QString, apiLine);
        // Its own process: the probe adopts whoever listens, and this test lives on.
        QTemporaryDir root;
        if (answers)
            QVERIFY(writeFile(root.filePath(u"api/version"_s), "5.3.1\n"));
        auto server = std::make_unique<ChildProcess>();
        server->start(u"/usr/bin/python3"_s, {u"-u"_s, u"-m"_s, u"http.server"_s, u"0"_s, u"--bind"_s,
                                              u"127.0.0.1"_s, u"--directory"_s, root.path()});
        QVERIFY(server->waitForReadyRead(patienceMs));
        const quint16 port = server->readLine().split(' ').value(5).toUShort(); // "Serving HTTP on … port N …"
        QVERIFY(port);
        Shell shell(port, root.path());
        shell.delegate->applicationDidFinishLaunching();
        // Shown as running by the very first update, before the welcome.
        QCOMPARE(shell.delegate->statusLineItem()->text(), u"Server läuft auf http://127.0.0.1:%1/"_s.arg(port));
        QCOMPARE(shell.delegate->statusItem()->toolTip(), u"Harlune – Server läuft"_s);
        QCOMPARE(shell.delegate->apiLineItem()->text(), u"API: —"_s);
        QTRY_COMPARE_WITH_TIMEOUT(shell.delegate->apiLineItem()->text(), apiLine, patienceMs);

        // No command runs: only the 5-second poll can notice the server's end.
        server.reset();
        QTRY_COMPARE_WITH_TIMEOUT(shell.delegate->statusLineItem()->text(), u"Server gestoppt"_s, patienceMs);
        QCOMPARE(shell.delegate->apiLineItem()->text(), u"API: offline"_s);
        QCOMPARE(shell.delegate->statusItem()->toolTip(), u"Harlune – Server gestoppt"_s);
    }

    void apiLineStateMachine()
    {
        MenuModel::ApiLine line;
        QVERIFY(line.update(true)); // running: probe, keep the text meanwhile
        QCOMPARE(line.text(), u"API: —"_s);
        line.answer(QString()); // an empty body is still an answer
        QCOMPARE(line.text(), u"API: online (v5)"_s);
        QVERIFY(!line.update(false));
        QCOMPARE(line.text(), u"API: offline"_s);
        // A probe started before the server went away still lands; last wins.
        line.answer(std::nullopt);
        QCOMPARE(line.text(), u"API: Port offen, Antwort fehlt"_s);
        QVERIFY(line.update(true));
        QCOMPARE(line.text(), u"API: Port offen, Antwort fehlt"_s);
    }

    void welcomeAndTrayNoticeOnLaunchAndEveryReopen_data()
    {
        QTest::addColumn<bool>("reopenFirst");
        QTest::newRow("reopen later") << false;
        // Before control ever returns to the event loop: surely before 0.3 s.
        QTest::newRow("reopen beats the delayed welcome") << true;
    }

    void welcomeAndTrayNoticeOnLaunchAndEveryReopen()
    {
        QFETCH(bool, reopenFirst);
        QTemporaryDir root;
        Shell shell(freePort(), root.path());
        QSignalSpy terminations(shell.delegate.get(), &AppDelegate::terminationRequested);
        shell.delegate->applicationDidFinishLaunching();
        if (reopenFirst)
            QVERIFY(shell.delegate->applicationShouldHandleReopen());
        QTRY_VERIFY_WITH_TIMEOUT(!shell.delegate->isWelcomePending(), patienceMs);
        // Offscreen there is no tray: the launch says so (after the reopen's
        // own notice) and keeps running.
        const int notices = reopenFirst ? 2 : 1;
        QTRY_COMPARE_WITH_TIMEOUT(shell.titled(ShellTexts::trayMissingTitle()).size(), notices, patienceMs);
        QVERIFY(shell.titled(ShellTexts::trayMissingTitle())[0].message.contains(u"Infobereich"_s));
        QCOMPARE(terminations.size(), 0);
        const QList<Shell::Alert> welcomes = shell.titled(ShellTexts::welcomeTitle());
        QCOMPARE(welcomes.size(), 1);
        QCOMPARE(welcomes[0].message,
                 u"Die App hat kein Hauptfenster – steuern Sie alles über:\n\n"
                 u"• Menüleiste oben rechts: „Harlune“ anklicken\n"
                 u"• Oder Dock-Symbol erneut anklicken\n\n"
                 u"Dann: „Server starten“ → Browser öffnet http://127.0.0.1:8765/"_s);

        // Each reopen shows both again; with the notice's "Beenden" the user
        // can end a program they cannot otherwise reach.
        shell.answer = u"Beenden"_s;
        QVERIFY(shell.delegate->applicationShouldHandleReopen(true));
        QCOMPARE(shell.titled(ShellTexts::welcomeTitle()).size(), 2);
        QCOMPARE(shell.titled(ShellTexts::trayMissingTitle()).size(), notices + 1);
        QCOMPARE(terminations.size(), 1);
    }

    void alertStaysOnScreenAndScrollsOnlyALongMessage()
    {
        QStringList lines;
        for (int i = 1; i <= 400; ++i)
            lines << u"Zeile %1: <b>Beleg</b> & Fehler in /var/tmp/"_s.arg(i) + QString(60, u'x');
        for (const QString &message : {lines.join(u'\n'), u"Server gestartet (PID 42)"_s}) {
            AlertDialog alert(ShellTexts::failureTitle(), message);
            alert.show();
            QVERIFY(QTest::qWaitForWindowExposed(&alert));
            QCOMPARE(alert.message(), message); // whole, as plain text
            const QRect screen = alert.screen()->availableGeometry();
            QVERIFY(alert.frameGeometry().height() <= screen.height());
            QVERIFY(alert.frameGeometry().width() <= screen.width());
            const auto *area = alert.findChild<QScrollArea *>();
            QVERIFY(area);
            QCOMPARE(area->verticalScrollBar()->isVisible(), message.size() > 1000);
            QVERIFY(!area->horizontalScrollBar()->isVisible());
        }
    }

    void bundledIconIsBuiltIn()
    {
        // The drawing must be in the program's resources, even though it
        // comes from a static library.
        const QIcon icon = TrayIconImage::bundledIcon(Qt::black);
        QVERIFY(!icon.isNull() && icon.isMask());
        QVERIFY(icon.pixmap(22, 22).toImage().hasAlphaChannel());
        QVERIFY(!TrayIconImage::documentIcon(Qt::black).isNull());
    }
};

QTEST_MAIN(TestAppShell)
#include "tst_app_shell.moc"
