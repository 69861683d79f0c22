// The tray program's menu, its status lines, the welcome and the launch, on
// the offscreen platform with real HTTP children.

#include "app/MenuModel.h"
#include "app/TrayIconImage.h"
#include "server/StatusModel.h"
#include "tests/app/AppTestSupport.h"

#include <QLabel>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>

using namespace AppTestSupport;

class TestAppShell : public QObject
{
    Q_OBJECT

private slots:
    void menuShowsTheServerAndItsApi_data()
    {
        QTest::addColumn<int>("server"); // 0: none; 1: answers with an empty version; 2: without
        QTest::addColumn<QString>("apiLine");
        QTest::newRow("nothing on the port") << 0 << ShellTexts::apiLineOffline();
        // Whatever version the server reports, even none, the line reads the same.
        QTest::newRow("empty version") << 1 << ShellTexts::apiLineOnline();
        QTest::newRow("404") << 2 << ShellTexts::apiLineNoAnswer();
    }

    void menuShowsTheServerAndItsApi()
    {
        QFETCH(int, server);
        QFETCH(QString, apiLine);
        // Ampersands and underscores in the path show as themselves.
        QTemporaryDir base;
        const QString root = base.path() + u"/Müller_& Söhne && Co"_s;
        QVERIFY(QDir().mkpath(root) && (server != 1 || writeFile(root + u"/api/version"_s, "")));
        // Its own process, this project's serve.py as a user starts it by
        // hand: the probe adopts it, and this test lives on.
        auto process = std::make_unique<ChildProcess>();
        quint16 port = freePort();
        if (server) {
            QVERIFY(writeFile(root + u"/serve.py"_s,
                              "import runpy, sys\nsys.argv[1:] = ['0', '--bind', '127.0.0.1']\n"
                              "runpy.run_module('http.server', run_name='__main__')\n"));
            process->setWorkingDirectory(root);
            process->start(u"/usr/bin/python3"_s, {u"-u"_s, u"serve.py"_s});
            QVERIFY(process->waitForReadyRead(patienceMs));
            port = process->readLine().split(' ').value(5).toUShort(); // "Serving HTTP on … port N …"
        }
        Shell shell(port, root);
        shell.launch();
        QCOMPARE(shell.delegate->statusItem()->contextMenu(), shell.delegate->statusMenu());
        // The drawing is in the program's resources, though it comes from a static library.
        const QIcon icon = TrayIconImage::bundledIcon(Qt::black);
        QVERIFY(!icon.isNull() && icon.isMask() && icon.pixmap(22, 22).toImage().hasAlphaChannel());
        QVERIFY(!shell.delegate->statusItem()->icon().isNull());

        // The launch's own update shows the server, long before the poll's
        // first tick, and its interface is asked once as it is found running.
        const QString running = ShellTexts::statusLine(true, u"http://127.0.0.1:%1/"_s.arg(port));
        const QString stopped = ShellTexts::stoppedLine();
        QTRY_COMPARE_WITH_TIMEOUT(shell.delegate->statusLineItem()->text(), server ? running : stopped, patienceMs);
        QTRY_COMPARE_WITH_TIMEOUT(shell.delegate->apiLineItem()->text(), apiLine, patienceMs);
        // Then while someone looks, on opening the menu, never while it is closed.
        QString heard;
        const auto expectRequests = [&](int expected) {
            if (!server)
                return;
            // One connection, in order: once the server has logged the
            // request expected last, it has logged every earlier one.
            QTRY_VERIFY_WITH_TIMEOUT((heard += QString::fromUtf8(process->readAllStandardError()),
                                      heard.count(u"GET /api/version"_s) >= expected),
                                     patienceMs);
            QCOMPARE(heard.count(u"GET /api/version"_s), expected);
        };
        expectRequests(1);
        QMenu *menu = shell.delegate->statusMenu();
        for (int asked = 2; asked <= 3; ++asked) {
            for (int tick = 0; tick < 3; ++tick)
                shell.manager->status().requestUpdate();
            emit menu->aboutToShow();
            // Without a server no probe is started: one of the free port would fail.
            QTRY_COMPARE_WITH_TIMEOUT(shell.delegate->apiLineItem()->text(), apiLine, patienceMs);
            expectRequests(asked);
            emit menu->aboutToHide();
            QVERIFY(!shell.manager->status().isObserved());
        }
        // The entries the menu model holds, in the widgets' words; the two
        // status lines with what was found.
        const QList<MenuModel::Entry> entries = MenuModel::entries(root);
        const QList<QAction *> actions = shell.delegate->statusMenu()->actions();
        QCOMPARE(actions.size(), entries.size());
        for (int i = 0; i < actions.size(); ++i) {
            QCOMPARE(actions[i]->isSeparator(), entries[i].kind == MenuModel::EntryKind::Separator);
            // iconText() is the text without mnemonic markers: what the menu shows.
            QCOMPARE(actions[i]->iconText(),
                     i == 0           ? (server ? running : stopped)
                             : i == 1 ? apiLine
                                      : entries[i].title);
            QCOMPARE(actions[i]->isEnabled(), i > 1); // only the information lines are not
        }
        QVERIFY(actions[12]->iconText().endsWith(root)); // the data folder, ampersands and all
        const QString stoppedTip = ShellTexts::toolTip(stopped);
        QCOMPARE(shell.delegate->statusItem()->toolTip(),
                 server ? ShellTexts::toolTip(ShellTexts::runningWords()) : stoppedTip);

        // No command runs and no tick comes: opening the menu alone notices
        // the server's end.
        shell.manager->status().stop();
        process.reset();
        QTRY_VERIFY_WITH_TIMEOUT(
                (shell.delegate->statusMenu()->aboutToShow(), shell.delegate->statusLineItem()->text() == stopped),
                patienceMs);
        QCOMPARE(shell.delegate->apiLineItem()->text(), ShellTexts::apiLineOffline());
        QCOMPARE(shell.delegate->statusItem()->toolTip(), stoppedTip);
    }

    void welcomeAndTrayNoticeOnLaunchAndEveryReopen_data()
    {
        QTest::addColumn<bool>("reopenFirst");
        QTest::addColumn<bool>("atLogin"); // started by the autostart entry: no welcome at launch
        // Twice, before control ever returns to the event loop: surely before 0.3 s.
        QTest::newRow("reopens beat the delayed welcome") << true << false;
        QTest::newRow("started at login, reopen greets") << false << true;
    }

    void welcomeAndTrayNoticeOnLaunchAndEveryReopen()
    {
        QFETCH(bool, reopenFirst);
        QFETCH(bool, atLogin);
        // On GNOME the notice names the extension that brings the tray back.
        qputenv("XDG_CURRENT_DESKTOP", reopenFirst ? "ubuntu:GNOME" : "KDE");
        QTemporaryDir root;
        Shell shell(freePort(), root.path());
        shell.hand.stop(); // nobody answers yet: what is up stays up
        QSignalSpy terminations(shell.delegate.get(), &AppDelegate::terminationRequested);
        shell.delegate->setGreetsAtLaunch(!atLogin);
        shell.delegate->applicationDidFinishLaunching();
        for (int reopen = 0; reopenFirst && reopen < 2; ++reopen)
            shell.delegate->applicationShouldHandleReopen();
        QTRY_VERIFY_WITH_TIMEOUT(!shell.delegate->isWelcomePending(), patienceMs);
        // One of each is up, the notice over the welcome, however often asked:
        // an alert already shown comes to the front instead of a second one.
        // Offscreen there is no tray, and the program keeps running.
        QStringList up;
        for (const AlertDialog *alert : shell.delegate->alerts().shown())
            up << alert->title();
        // A start at login greets nobody.
        const QStringList expected{ShellTexts::welcomeTitle(), ShellTexts::trayMissingTitle()};
        QCOMPARE(up, atLogin ? expected.mid(1) : expected);
        QVERIFY(QApplication::activeModalWidget());
        shell.hand.start();
        QTRY_COMPARE_WITH_TIMEOUT(shell.alerts.size(), up.size(), patienceMs);
        QCOMPARE(terminations.size(), 0);
        QCOMPARE(shell.titled(ShellTexts::trayMissingTitle())[0].message.contains(
                         u"gnome-shell-extension-appindicator"_s),
                 reopenFirst);
        if (!atLogin) // in this system's wording: the Dock's on macOS, the panel's elsewhere
            QCOMPARE(shell.titled(ShellTexts::welcomeTitle())[0].message, ShellTexts::welcomeText());

        // Each reopen shows both again; with the notice's "Beenden" the user
        // can end a program they cannot otherwise reach.
        shell.answer = u"Beenden"_s;
        shell.delegate->applicationShouldHandleReopen(true);
        QTRY_COMPARE_WITH_TIMEOUT(shell.alerts.size(), atLogin ? 3 : 4, patienceMs);
        QCOMPARE(shell.titled(ShellTexts::welcomeTitle()).size(), atLogin ? 1 : 2);
        QCOMPARE(terminations.size(), 1);
        QVERIFY(shell.delegate->alerts().shown().isEmpty());
    }

    void alertStaysOnScreenAndScrollsOnlyALongMessage()
    {
        // As long as a shortened output gets: 61 lines.
        const QString lines =
                QString(u"Zeile: <b>Beleg</b> & Fehler in /var/tmp/"_s + QString(60, u'x') + u'\n').repeated(61);
        for (const QString &message : {lines.chopped(1), u"Server gestartet (PID 42)"_s}) {
            AlertDialog alert(ShellTexts::failureTitle(), message);
            alert.show();
            QVERIFY(QTest::qWaitForWindowExposed(&alert));
            QCOMPARE(alert.message(), message); // whole, as plain text
            const QSize size = alert.frameGeometry().size();
            QCOMPARE(size.boundedTo(alert.screen()->availableSize()), size);
            const auto *area = alert.findChild<QScrollArea *>();
            QVERIFY(area);
            QCOMPARE(area->verticalScrollBar()->isVisible(), message.size() > 1000);
            QVERIFY(!area->horizontalScrollBar()->isVisible());
            // Shown as it is, markup and all: what the whole selection holds.
            auto *label = qobject_cast<QLabel *>(area->widget());
            label->setSelection(0, int(message.size()));
            QCOMPARE(label->selectedText().replace(QChar::ParagraphSeparator, u'\n'), message);
        }
    }
};

QTEST_MAIN(TestAppShell)
#include "tst_app_shell.moc"
