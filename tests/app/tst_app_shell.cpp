// The tray program's menu, its status lines, the welcome and the launch, on
// the offscreen platform with real HTTP children.

#include "app/OutcomeTexts.h"
#include "app/TrayIconImage.h"
#include "server/StatusModel.h"
#include "tests/app/AppTestSupport.h"

#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>

using namespace AppTestSupport;

Q_DECLARE_METATYPE(OperationOutcome)

class TestAppShell : public QObject
{
    Q_OBJECT

private slots:
    void menuShowsTheServerAndItsApi_data()
    {
        QTest::addColumn<int>("server");     // 0: none; 1: answers with an empty version; 2: without
        QTest::addColumn<QString>("apiLine");
        QTest::newRow("nothing on the port") << 0 << u"API: offline"_s;
        // Whatever version the server reports, even none, the line reads the same.
        QTest::newRow("empty version") << 1 << u"API: online (v5)"_s;
        QTest::newRow("404") << 2 << u"API: Port offen, Antwort fehlt"_s;
    }

    void menuShowsTheServerAndItsApi()
    {
        QFETCH(int, server);
        QFETCH(QString, apiLine);
        // Ampersands and underscores in the path show as themselves.
        QTemporaryDir base;
        const QString root = base.path() + u"/Müller_& Söhne && Co"_s;
        QVERIFY(QDir().mkpath(root) && (server != 1 || writeFile(root + u"/api/version"_s, "")));
        // Its own process: the probe adopts whoever listens, and this test lives on.
        auto process = std::make_unique<ChildProcess>();
        quint16 port = freePort();
        if (server) {
            process->start(u"/usr/bin/python3"_s, {u"-u"_s, u"-m"_s, u"http.server"_s, u"0"_s, u"--bind"_s,
                                                   u"127.0.0.1"_s, u"--directory"_s, root});
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

        // Without a server no probe is started: one of the free port would
        // have failed by now.
        QTRY_COMPARE_WITH_TIMEOUT(shell.delegate->apiLineItem()->text(), apiLine, patienceMs);
        // The launch's own update shows the server, long before the poll's first tick.
        const QString running = u"Server läuft auf http://127.0.0.1:%1/"_s.arg(port);
        const QStringList expected{server ? running : u"Server gestoppt"_s, apiLine, {},
                                   u"Server starten"_s, u"Server stoppen"_s, u"Server neu starten"_s,
                                   u"Berichte neu generieren"_s, {}, u"Dashboard im Browser"_s,
                                   u"Belege-Upload öffnen"_s, u"Logs-Ordner öffnen"_s, {}, u"Daten: "_s + root, {},
                                   u"Beenden"_s};
        const QList<QAction *> actions = shell.delegate->statusMenu()->actions();
        QCOMPARE(actions.size(), expected.size());
        for (int i = 0; i < actions.size(); ++i) {
            QCOMPARE(actions[i]->isSeparator(), expected[i].isEmpty());
            // iconText() is the text without mnemonic markers: what the menu shows.
            QCOMPARE(actions[i]->iconText(), expected[i]);
            QCOMPARE(actions[i]->isEnabled(), i > 1); // only the information lines are not
        }
        const QString stoppedTip = u"Harlune – Server gestoppt"_s;
        QCOMPARE(shell.delegate->statusItem()->toolTip(), server ? u"Harlune – Server läuft"_s : stoppedTip);

        // No command runs and no tick comes: opening the menu alone notices
        // the server's end.
        shell.manager->status().stop();
        process.reset();
        QTest::qWait(StatusModel::freshForMs);
        emit shell.delegate->statusMenu()->aboutToShow();
        QTRY_COMPARE_WITH_TIMEOUT(shell.delegate->statusLineItem()->text(), u"Server gestoppt"_s, patienceMs);
        QCOMPARE(shell.delegate->apiLineItem()->text(), u"API: offline"_s);
        QCOMPARE(shell.delegate->statusItem()->toolTip(), stoppedTip);
    }

    void unexpectedStopIsToldOncePerStopNobodyHereCaused_data()
    {
        // r/s: an update finds the server running/stopped; b/e: a command of
        // ours that may stop it begins/reports back.
        QTest::addColumn<QString>("events");
        QTest::addColumn<QString>("notices"); // '1' where an update gives one
        QTest::newRow("killed from outside, once") << u"rrss"_s << u"0010"_s;
        QTest::newRow("launch with it stopped") << u"ss"_s << u"00"_s;
        QTest::newRow("stop, tick under way") << u"rbses"_s << u"0-0-0"_s;
        QTest::newRow("stop, update on its report") << u"rbes"_s << u"0--0"_s;
        QTest::newRow("restart, then killed") << u"rbsrers"_s << u"0-00-01"_s;
        QTest::newRow("quit") << u"rbs"_s << u"0-0"_s;
    }

    void unexpectedStopIsToldOncePerStopNobodyHereCaused()
    {
        QFETCH(QString, events);
        QFETCH(QString, notices);
        StopWatch watch;
        for (qsizetype i = 0; i < events.size(); ++i) {
            switch (events[i].toLatin1()) {
            case 'b': watch.ownCommandBegan(); break;
            case 'e': watch.ownCommandEnded(); break;
            default: QCOMPARE(watch.observe(events[i] == u'r'), notices[i] == u'1');
            }
        }
    }

    void commandOutcomesInWords_data()
    {
        using K = OperationOutcome::Kind;
        QTest::addColumn<OperationOutcome>("outcome");
        QTest::addColumn<QString>("message");
        const auto make = [](K kind, QString output = {}, std::optional<RunFailure> failure = {},
                             std::optional<PortHolder> holder = {}) {
            return OperationOutcome{kind, 8765, 42, OutputText::shortened(output), failure, holder, false, {}};
        };
        const RunFailure noRoot{RunFailure::Kind::RootMissing, u"/p/x"_s, {}};
        const PortHolder python{7, u"python3"_s};
        const PortHolder stranger{};
        const auto add = [](const char *name, const OperationOutcome &outcome, const QString &message) {
            QTest::newRow(name) << outcome << message;
        };
        add("started", make(K::Started), u"Server gestartet (PID 42)"_s);
        add("started, not listening", make(K::StartedNotListening), u"Server gestartet (PID 42), er nimmt aber noch keine "
            u"Verbindungen an. Das Menü zeigt, sobald er auf Port 8765 bereit ist."_s);
        add("port busy, named", make(K::PortBusy, {}, {}, python),
            u"Port 8765 noch belegt – bitte zuerst stoppen.\nBelegt von: python3 (PID 7)"_s);
        add("generator silent", make(K::GeneratorFailed), u"Generator fehlgeschlagen"_s);
        add("generator cannot run", make(K::GeneratorFailed, {}, RunFailure{RunFailure::Kind::ProgramMissing,
            u"/usr/bin/python3"_s, {}}), u"python3 nicht gefunden: /usr/bin/python3"_s);
        add("no Python 3 (macOS)", make(K::ServerDidNotStart, {}, RunFailure{RunFailure::Kind::NoInterpreter, {},
            u"/usr/bin/python3\n/opt/homebrew/bin/python3"_s}),
            u"Kein nutzbares Python 3 gefunden. Bitte installieren Sie die Befehlszeilenwerkzeuge von Apple (im "
            u"Terminal: xcode-select --install) oder Python 3 von python.org oder mit Homebrew (brew install python)."
            u"\nGesucht in:\n/usr/bin/python3\n/opt/homebrew/bin/python3"_s);
        add("ended at once", make(K::ServerEndedAtOnce, u"kaputt"_s, {}, PortHolder{7, {}}),
            u"serve.py hat sich gleich nach dem Start beendet.\nLetzte Zeilen aus logs/server-app.log:\nkaputt\n"
            u"Belegt von: PID 7"_s);
        add("did not start", make(K::ServerDidNotStart, {}, noRoot),
            u"Der Projektordner /p/x ist nicht vorhanden."_s);
        // Rows naming HARLUNE_PROJECT run with it set.
        add("script missing, HARLUNE_PROJECT", make(K::ProjectIncomplete, {}, RunFailure{RunFailure::Kind::ScriptMissing,
            u"/p/x"_s, u"stop.sh"_s}), u"Im Projektordner /p/x fehlt stop.sh.\nDer Ordner ist über HARLUNE_PROJECT "
            u"eingestellt (/p/x) – bitte prüfen Sie diese Angabe."_s);
        add("log unusable", make(K::ServerDidNotStart, {}, RunFailure{RunFailure::Kind::LogUnusable, u"/p/logs/server-app.log"_s,
            {}, 0}), u"Fehler: Das Server-Log /p/logs/server-app.log ist keine beschreibbare Datei. Der Server wurde nicht gestartet."_s);
        add("stopped, silent", make(K::Stopped), u"Server gestoppt"_s);
        OperationOutcome endedSilent = make(K::Stopped, u"Kein Server lief auf Port 8765."_s);
        endedSilent.endedSilent = 42;
        add("stopped one that never listened", endedSilent,
            u"Server gestoppt (PID 42); er hatte noch keine Verbindungen angenommen."_s);
        // One statement of what is true, never "none ran" beside "not stopped".
        add("no server of ours, a stranger's port", make(K::PortHeldByOther, u"Kein Server lief auf Port 8765."_s, {}, stranger),
            u"Es lief kein Server dieses Programms auf Port 8765. Der Port ist von einem Programm eines anderen "
            u"Benutzers belegt; es wurde nicht beendet."_s);
        const QString named = u"Port 8765 ist von python3 (PID 7) belegt – das ist nicht der Berichtsserver; er wurde nicht beendet."_s;
        add("stop script names the holder", make(K::StopLeftPortBusy, named, {}, python), named);
        add("stop script unnamed holder", make(K::StopLeftPortBusy, u"Kein Server lief auf Port 8765."_s, {}, python),
            u"Kein Server lief auf Port 8765.\nBelegt von: python3 (PID 7)"_s);
        add("stop script cannot run", make(K::StopLeftPortBusy, {}, RunFailure{RunFailure::Kind::LaunchError, u"/bin/bash"_s,
            u"execvp: Permission denied"_s}, python), u"bash konnte nicht gestartet werden: Keine Berechtigung ("
            u"Permission denied)\nPort 8765 ist noch belegt – der Server wurde nicht gestoppt.\nBelegt von: python3 (PID 7)"_s);
        add("server cannot launch, disk full", make(K::ServerDidNotStart, {}, RunFailure{RunFailure::Kind::LaunchError,
            u"/usr/bin/python3"_s, u"No space left on device"_s}),
            u"python3 konnte nicht gestartet werden: Kein Speicherplatz mehr frei (No space left on device)"_s);
        add("regeneration failed silently", make(K::RegenerationFailed), u"Generator fehlgeschlagen"_s);
        add("regenerated", make(K::Regenerated, u"Bericht"_s), u"Berichte neu generiert"_s);
        add("stop script ended at its bound", make(K::ScriptTimedOut, {}, RunFailure{RunFailure::Kind::TimedOut,
            u"stop.sh"_s, {}, 30000}), u"stop.sh lief länger als 30 Sekunden und wurde deshalb abgebrochen."_s);
        add("regeneration, 61 lines", make(K::RegenerationFailed, u"x\n"_s.repeated(60) + u"y"_s),
            u"x\n"_s.repeated(30) + u"[… 1 Zeile ausgelassen …]\n"_s + u"x\n"_s.repeated(29) + u"y"_s);
    }

    void commandOutcomesInWords()
    {
        QFETCH(OperationOutcome, outcome);
        QFETCH(QString, message);
        const QByteArray before = qgetenv("HARLUNE_PROJECT");
        const bool wasSet = qEnvironmentVariableIsSet("HARLUNE_PROJECT");
        if (QByteArray(QTest::currentDataTag()).contains("HARLUNE_PROJECT"))
            qputenv("HARLUNE_PROJECT", "/p/x");
        else
            qunsetenv("HARLUNE_PROJECT");
        const QString made = OutcomeTexts::message(outcome);
        wasSet ? qputenv("HARLUNE_PROJECT", before) : qunsetenv("HARLUNE_PROJECT");
        QCOMPARE(made, message);
    }

    void welcomeAndTrayNoticeOnLaunchAndEveryReopen_data()
    {
        QTest::addColumn<bool>("reopenFirst");
        QTest::addColumn<bool>("atLogin"); // started by the autostart entry: no welcome at launch
        QTest::newRow("reopen later") << false << false;
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
                     u"gnome-shell-extension-appindicator"_s), reopenFirst);
        if (!atLogin)
            QCOMPARE(shell.titled(ShellTexts::welcomeTitle())[0].message,
                     u"Die App hat kein Hauptfenster – steuern Sie alles über:\n\n"
                     u"• Symbol „Harlune“ im Infobereich der Kontrollleiste anklicken\n"
                     u"• Oder Harlune erneut starten: Dieser Hinweis erscheint dann wieder\n\n"
                     u"Dann: „Server starten“ → Browser öffnet http://127.0.0.1:8765/"_s);

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
        const QString lines = (u"Zeile: <b>Beleg</b> & Fehler in /var/tmp/"_s + QString(60, u'x') + u'\n').repeated(61);
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
        }
    }
};

QTEST_MAIN(TestAppShell)
#include "tst_app_shell.moc"
