// The texts the tray program shows, made from outcomes, and the plain rules
// behind its notices and menu labels (the desktop tests, tests/e2e, show
// them for one log and one path only).

#include "app/MenuModel.h"
#include "app/OutcomeTexts.h"
#include "app/ShellTexts.h"
#include "app/StopNotice.h"
#include "platform/DBusMenuLabel.h"
#include "platform/DesktopNotifier.h"
#include "server/StopWatch.h"

#include <QTest>

using namespace Qt::StringLiterals;

Q_DECLARE_METATYPE(OperationOutcome)

class TestAppTexts : public QObject
{
    Q_OBJECT

private slots:
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
        // Field by field, so that an absent failure or holder is never copied:
        // GCC 14 takes the copy of an empty optional<PortHolder> for a read of
        // its uninitialised contents (-Wmaybe-uninitialized).
        const auto make = [](K kind, QString output = {}, std::optional<RunFailure> failure = {},
                             std::optional<PortHolder> holder = {}) {
            OperationOutcome outcome;
            outcome.kind = kind;
            outcome.port = 8765;
            outcome.pid = 42;
            outcome.output = OutputText::shortened(output);
            if (failure)
                outcome.failure = *failure;
            if (holder)
                outcome.holder = *holder;
            return outcome;
        };
        const RunFailure noRoot{RunFailure::Kind::RootMissing, u"/p/x"_s, {}};
        const PortHolder python{7, u"python3"_s};
        const PortHolder stranger{};
        const auto add = [](const char *name, const OperationOutcome &outcome, const QString &message) {
            QTest::newRow(name) << outcome << message;
        };
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
        add("stop script ended at its bound", make(K::ScriptTimedOut, {}, RunFailure{RunFailure::Kind::TimedOut,
            u"stop.sh"_s, {}, 30000}), u"stop.sh lief länger als 30 Sekunden und wurde deshalb abgebrochen."_s);
        add("regeneration, 61 lines", make(K::RegenerationFailed, u"x\n"_s.repeated(60) + u"y"_s),
            u"x\n"_s.repeated(30) + u"[… 1 Zeile ausgelassen …]\n"_s + u"x\n"_s.repeated(29) + u"y"_s);
    }

    void commandOutcomesInWords()
    {
        QFETCH(OperationOutcome, outcome);
        QFETCH(QString, message);
        QByteArray(QTest::currentDataTag()).contains("HARLUNE_PROJECT") ? qputenv("HARLUNE_PROJECT", "/p/x")
                                                                       : qunsetenv("HARLUNE_PROJECT");
        QCOMPARE(OutcomeTexts::message(outcome), message);
    }

    void lastErrorLine_data()
    {
        QTest::addColumn<QString>("log");
        QTest::addColumn<QString>("error");
        const QString request = u"127.0.0.1 - - [07/Dec/2026 04:19:41] \"GET /api/version HTTP/1.1\" 200 -"_s;
        QTest::newRow("only requests") << request + u"\n"_s + request << QString();
        QTest::newRow("a failed request is no error of the server")
                << u"127.0.0.1 - - \"GET /Error HTTP/1.1\" 500 -\n"_s + request << QString();
        QTest::newRow("traceback, requests after it")
                << u"Traceback (most recent call last):\n  File \"serve.py\", line 3\n"
                   u"OSError: [Errno 98] Address already in use\n"_s + request
                << u"OSError: [Errno 98] Address already in use"_s;
        QTest::newRow("the last of two") << u"Fehler: Belege fehlen\nERROR bad ledger\n"_s + request
                                         << u"ERROR bad ledger"_s;
        QTest::newRow("a word that only contains it") << u"stderr ist offen"_s << QString();
    }
    void lastErrorLine()
    {
        QFETCH(QString, log);
        QFETCH(QString, error);
        QCOMPARE(StopNotice::lastErrorLine(log), error);
    }

    void stopTextSaysWhatItKnows()
    {
        // Today's start shows the time alone, an earlier one the date too.
        QCOMPARE(ShellTexts::unexpectedStopText(4711, QDateTime(QDate::currentDate(), QTime(9, 5)), u"OSError: x"_s, true),
                 u"Der Berichtsserver (PID 4711) läuft nicht mehr.\nEr lief seit 09:05 Uhr.\n"
                 u"Letzter Fehler im Log: OSError: x\nEin Klick auf diese Meldung öffnet den Logs-Ordner."_s);
        QCOMPARE(ShellTexts::unexpectedStopText({}, QDateTime(QDate(2026, 12, 6), QTime(23, 10)), {}, false),
                 u"Der Berichtsserver läuft nicht mehr.\nEr lief seit 06.12.2026, 23:10 Uhr.\n"
                 u"Sein Log nennt keinen Fehler."_s);
        QCOMPARE(DesktopNotifier::escapedForMarkup(u"<b>a & b</b>"_s), u"&lt;b&gt;a &amp; b&lt;/b&gt;"_s);
    }

    void runRecordKnowsOnlyStartsItSaw()
    {
        StopNotice::RunRecord record;
        const QDateTime launch = QDateTime::currentDateTime();
        record.observe(true, 10, launch); // there before us: since when is unknown
        QCOMPARE(record.pid(), 10);
        QVERIFY(!record.since());
        record.observe(false, {}, launch.addSecs(5));
        record.observe(true, 11, launch.addSecs(10));
        QCOMPARE(record.since(), launch.addSecs(10));
        record.observe(true, 11, launch.addSecs(15));
        QCOMPARE(record.since(), launch.addSecs(10));
    }

    // The D-Bus menu: Qt's exporter turns the first '&' into the access-key
    // marker, the tray item drops access keys; what hosts get must show the
    // title as it is ("__" is one underscore) with no key for any mix.
    void labelsForTheDBusMenu_data()
    {
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("widget");
        QTest::addColumn<QString>("exported");
        QTest::newRow("plain") << u"Beenden"_s << u"Beenden"_s << u"Beenden"_s;
        QTest::newRow("underscores") << u"a_b_c"_s << u"a_b_c"_s << u"a__b__c"_s;
        QTest::newRow("underscore first") << u"x_mit && y"_s << u"x_mit &&&& y"_s << u"x__mit && y"_s;
        QTest::newRow("ampersand first") << u"/tmp/a & b_c"_s << u"/tmp/a && b_c"_s << u"/tmp/a & b__c"_s;
        QTest::newRow("at the ends") << u"&_x_&"_s << u"&&_x_&&"_s << u"&__x__&"_s;
        QTest::newRow("runs") << u"__&&__"_s << u"__&&&&__"_s << u"____&&____"_s;
        QTest::newRow("two underscores") << u"Zwei_Unter_striche"_s << u"Zwei_Unter_striche"_s
                                         << u"Zwei__Unter__striche"_s;
    }
    void labelsForTheDBusMenu()
    {
        QFETCH(QString, title);
        QFETCH(QString, widget);
        QFETCH(QString, exported);
        QCOMPARE(MenuModel::actionText(title, MenuModel::TextStyle::Widget), widget);
        QString qtLabel = MenuModel::actionText(title, MenuModel::TextStyle::DBusMenu);
        if (const qsizetype first = qtLabel.indexOf(u'&'); first >= 0 && first < qtLabel.size() - 1)
            qtLabel[first] = u'_';
        QCOMPARE(DBusMenuLabel::withoutAccessKey(qtLabel), exported);
        // GNOME Shell's extension drops the first '_' that stands before another character.
        QString gnomeShows = DBusMenuLabel::forGnomeShell(qtLabel);
        for (qsizetype i = 0; i + 1 < gnomeShows.size(); ++i) {
            if (gnomeShows.at(i) == u'_' && gnomeShows.at(i + 1) != u'_') {
                gnomeShows.remove(i, 1);
                break;
            }
        }
        QCOMPARE(gnomeShows, title);
    }

    // Whatever access keys a label has, none is left, and nothing else goes.
    void accessKeysDropped_data()
    {
        QTest::addColumn<QString>("label");
        QTest::addColumn<QString>("shown");
        QTest::newRow("none") << u"Daten: /a & b__c"_s << u"Daten: /a & b__c"_s;
        QTest::newRow("first") << u"_Beenden"_s << u"Beenden"_s;
        QTest::newRow("several") << u"_a _b__c_"_s << u"a b__c"_s;
        QTest::newRow("odd run") << u"a___b"_s << u"a__b"_s;
    }
    void accessKeysDropped()
    {
        QFETCH(QString, label);
        QFETCH(QString, shown);
        QCOMPARE(DBusMenuLabel::withoutAccessKey(label), shown);
    }
};

QTEST_GUILESS_MAIN(TestAppTexts)
#include "tst_app_texts.moc"
