// The texts the tray program shows, made from outcomes, and the plain rules
// behind its notices and menu labels (the desktop tests, tests/e2e, show
// them for one log and one path only).

#include "app/Autostart.h"
#include "app/CommandLine.h"
#include "app/MenuModel.h"
#include "app/OutcomeTexts.h"
#include "app/ShellTexts.h"
#include "app/StopNotice.h"

#include <QDir>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

Q_DECLARE_METATYPE(OperationOutcome)
Q_DECLARE_METATYPE(ServerStatus)

class TestAppTexts : public QObject
{
    Q_OBJECT

private slots:
    // Each alert text says what the outcome holds (numbers, names, paths, the
    // script's words) and leaves out what would contradict it.
    void commandOutcomesInWords_data()
    {
        using K = OperationOutcome::Kind;
        QTest::addColumn<OperationOutcome>("outcome");
        QTest::addColumn<QStringList>("said");
        QTest::addColumn<QString>("unsaid");
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
        const PortHolder python{7, u"python3"_s};
        const PortHolder ours{7, u"python3"_s, true, {}};
        const PortHolder otherProject{7, u"python3"_s, false, u"/p/alt"_s};
        // Another program or project is named as the status line names it.
        const auto occupiedBy = [](const PortHolder &holder) {
            ServerStatus status;
            status.known = true;
            status.stranger = holder;
            return OutcomeTexts::statusLine(status, u"http://127.0.0.1:8765/"_s, 8765);
        };
        const QString oursHolds = OutcomeTexts::holder(ours), none = u"Kein Server lief auf Port 8765."_s;
        const QString named = u"Server (PID 7) ließ sich nicht stoppen – Port 8765 ist noch belegt."_s;
        OperationOutcome endedSilent = make(K::Stopped, none);
        endedSilent.endedSilent = 42;
        const RunFailure noScript{RunFailure::Kind::ScriptMissing, u"/p/x"_s, u"stop.sh"_s};
        const RunFailure cannotRun{RunFailure::Kind::LaunchError, u"/bin/bash"_s, u"execvp: Permission denied"_s};
        const auto add = [](const char *name, const OperationOutcome &outcome, const QStringList &said,
                            const QString &unsaid = {}) { QTest::newRow(name) << outcome << said << unsaid; };
        // clang-format off
        add("started, not listening", make(K::StartedNotListening), {u"PID 42"_s, u"Port 8765"_s});
        add("port busy, our own server", make(K::PortBusy, {}, {}, ours), {u"Port 8765"_s, oursHolds});
        add("port busy, another program", make(K::PortBusy, {}, {}, python), {occupiedBy(python)}, OutcomeTexts::holder(python));
        add("generator silent", make(K::GeneratorFailed), {});
        add("ended at once", make(K::ServerEndedAtOnce, u"kaputt"_s, {}, PortHolder{7, {}}), {u"serve.py"_s, u"logs/server-app.log:\nkaputt"_s, u"PID 7"_s});
        // Rows naming HARLUNE_PROJECT run with it set.
        add("script missing, HARLUNE_PROJECT", make(K::ProjectIncomplete, {}, noScript), {u"/p/x fehlt stop.sh"_s, u"HARLUNE_PROJECT"_s});
        add("script missing", make(K::ProjectIncomplete, {}, noScript), {u"stop.sh"_s}, u"HARLUNE_PROJECT"_s);
        add("stopped one that never listened", endedSilent, {u"PID 42"_s}, none);
        // One statement of what is true, never "none ran" beside "not stopped".
        add("no server of ours, a stranger's port", make(K::PortHeldByOther, none, {}, PortHolder{}), {u"Port 8765"_s}, none);
        add("stop, another project's server", make(K::StopLeftPortBusy, u"nicht der Berichtsserver"_s, {}, otherProject), {occupiedBy(otherProject)}, u"nicht der Berichtsserver"_s);
        add("stop script names our server", make(K::StopLeftPortBusy, named, {}, ours), {named}, oursHolds);
        add("stop script unnamed holder", make(K::StopLeftPortBusy, none, {}, ours), {none + u'\n' + oursHolds});
        add("stop script cannot run", make(K::StopLeftPortBusy, {}, cannotRun, ours), {u"bash"_s, u"Keine Berechtigung"_s, u"Port 8765"_s, oursHolds}, u"execvp"_s);
        add("regeneration, 61 lines", make(K::RegenerationFailed, u"x\n"_s.repeated(60) + u"y"_s), {u"x\n[… 1 Zeile ausgelassen …]\nx"_s, u"x\ny"_s});
        // clang-format on
    }

    void commandOutcomesInWords()
    {
        QFETCH(OperationOutcome, outcome);
        QFETCH(QStringList, said);
        QFETCH(QString, unsaid);
        QByteArray(QTest::currentDataTag()).contains("HARLUNE_PROJECT") ? qputenv("HARLUNE_PROJECT", "/p/x")
                                                                        : qunsetenv("HARLUNE_PROJECT");
        const QString message = OutcomeTexts::message(outcome);
        QVERIFY(!message.isEmpty() && (unsaid.isEmpty() || !message.contains(unsaid)));
        for (const QString &part : said)
            QVERIFY2(message.contains(part), qPrintable(message));
    }

    // One status: the tool tip says what the status line says, whatever the
    // state; the address alone is the menu's. Each state reads differently.
    void oneStatusInTheMenuAndTheToolTip()
    {
        using Op = ServerStatus::Operation;
        // Field by field, as with the outcomes above: GCC takes a defaulted
        // empty optional holder for a read of uninitialised memory.
        const auto make = [](bool running, Silence silence, Op underWay) {
            ServerStatus status;
            status.known = true;
            status.running = running;
            status.silence = silence;
            status.underWay = underWay;
            status.pid = 42;
            return status;
        };
        const auto heldBy = [&make](const PortHolder &holder) {
            ServerStatus status = make(false, Silence::None, Op::None);
            status.stranger.emplace(holder);
            return status;
        };
        const QString address = u"http://127.0.0.1:8765/"_s;
        QSet<QString> lines;
        for (const ServerStatus &status :
             {make(true, Silence::None, Op::None), make(false, Silence::None, Op::None),
              make(false, Silence::Starting, Op::None), make(false, Silence::Unresponsive, Op::None),
              make(false, Silence::None, Op::Start), make(true, Silence::None, Op::Stop),
              make(true, Silence::None, Op::Restart), heldBy(PortHolder{}),
              heldBy(PortHolder{7, u"python3"_s, false, {}}), ServerStatus{}}) {
            const QString line = OutcomeTexts::statusLine(status, address, 8765);
            const QString tip = OutcomeTexts::toolTip(status, 8765);
            QVERIFY2(tip.startsWith(u"Harlune – "_s), qPrintable(tip));
            const QString words = tip.section(u" – "_s, 1);
            QCOMPARE(status.state() == ServerStatus::State::Running ? words + u" auf "_s + address : words, line);
            lines << line;
        }
        QCOMPARE(lines.size(), 10);
        QVERIFY(lines.contains(u"Port 8765 belegt: python3 (PID 7), nicht dieser Projektordner"_s));
    }

    // Qt's own options reach the application object; ours are still ours.
    void commandLineLetsQtOptionsThrough_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("action");
        const int tray = int(CommandLine::Action::RunTray);
        const int reject = int(CommandLine::Action::Reject);
        QTest::newRow("-style fusion") << QStringList{u"-style"_s, u"fusion"_s} << tray;
        QTest::newRow("-style=fusion") << QStringList{u"-style=fusion"_s} << tray;
        QTest::newRow("platform and display") << QStringList{u"-platform"_s, u"xcb"_s, u"-display"_s, u":1"_s} << tray;
        QTest::newRow("with ours") << QStringList{u"-reverse"_s, u"--version"_s}
                                   << int(CommandLine::Action::ShowVersion);
        QTest::newRow("unknown") << QStringList{u"-stil"_s, u"fusion"_s} << reject;
        QTest::newRow("flag with a stray word") << QStringList{u"-reverse"_s, u"fusion"_s} << reject;
    }
    void commandLineLetsQtOptionsThrough()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, action);
        QCOMPARE(int(CommandLine::parse(QStringList{u"harlune-kommandozentrale"_s} + arguments).action), action);
    }

    // The notice after an upgrade says what happened: all new, some kept or
    // deleted, failures, or files of a newer program left alone.
    void upgradeNoticeSaysWhatWasDone()
    {
        using ProjectUpgrade::Outcome;
        const auto first = [](const Outcome &outcome) {
            return OutcomeTexts::upgradeNoticeText(outcome).section(u'\n', 0, 0);
        };
        const Outcome allNew{{u"serve.py"_s}, {}, {}, {}, {}, {}};
        const Outcome kept{{}, {}, {{u"stop.sh"_s, u"stop.sh.neu.2"_s}}, {}, {}, {}};
        const Outcome deleted{{}, {}, {}, {}, {u"README.md"_s}, {}};
        const Outcome failed{{}, {}, {}, {u"serve.py"_s}, {}, {}};
        const Outcome newer{{}, {}, {}, {}, {}, u"9.1"_s};
        // Kept or deleted files are no "everything brought up to date".
        QVERIFY(first(kept) != first(allNew) && first(deleted) == first(kept) && first(failed) != first(kept));
        QVERIFY(OutcomeTexts::upgradeNoticeText(kept).contains(u"stop.sh → neu: stop.sh.neu.2"_s));
        QVERIFY(OutcomeTexts::upgradeNoticeText(deleted).contains(u"• README.md"_s));
        QVERIFY(OutcomeTexts::upgradeNoticeText(newer).contains(u"9.1"_s) && first(newer) != first(allNew));
        QVERIFY(OutcomeTexts::upgradeNoticeTitle(newer) != OutcomeTexts::upgradeNoticeTitle(kept));
    }

    // The login entry as a desktop reads it (GLib's gio): the program runs
    // from its own path, however odd, with the login option.
    void autostartEntryRunsTheProgramItNames_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::newRow("space") << u"a b"_s;
        QTest::newRow("percent") << u"50%c"_s;
        QTest::newRow("dollar, backquote") << u"$HOME`id`"_s;
        // GLib lets a lone backslash or a bare "$" through; not one that escapes the next character.
        QTest::newRow("backslash before a dollar") << u"a\\$b"_s;
    }
    void autostartEntryRunsTheProgramItNames()
    {
        QFETCH(QString, folder);
        if (!QFileInfo(u"/usr/bin/gio"_s).isExecutable())
            QSKIP("needs /usr/bin/gio (libglib2.0-bin)");
        QTemporaryDir dir;
        const QString program = dir.filePath(folder + u"/prog"_s), said = dir.filePath(u"said"_s);
        QFile script(program);
        QVERIFY(QDir().mkpath(QFileInfo(program).path()) && script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\nprintf '%s|' \"$0\" \"$@\" > \"$SAID\"\n");
        script.close();
        QVERIFY(script.setPermissions(script.permissions() | QFile::ExeOwner));
        // GLib looks for the program before it turns "%%" into "%": only that look finds this link.
        QVERIFY(!folder.contains(u'%')
                || QFile::link(QFileInfo(program).path(), dir.filePath(folder.replace(u"%"_s, u"%%"_s))));
        QFile entry(dir.filePath(u"x.desktop"_s));
        QVERIFY(entry.open(QIODevice::WriteOnly) && entry.write(Autostart::entryText(program).toUtf8()) > 0);
        entry.close();
        QProcess gio;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"SAID"_s, said);
        gio.setProcessEnvironment(environment);
        gio.start(u"/usr/bin/gio"_s, {u"launch"_s, entry.fileName()});
        QVERIFY(gio.waitForFinished(20000) && gio.exitCode() == 0);
        QFile answer(said);
        QTRY_VERIFY_WITH_TIMEOUT(answer.size() > 0, 20000);
        QVERIFY(answer.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(answer.readAll()), program + u"|--login|"_s);
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
                   u"OSError: [Errno 98] Address already in use\n"_s
                        + request
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

    // Today's start shows the time alone, an earlier one the date too.
    void stopTextSaysWhatItKnows()
    {
        const QString today = ShellTexts::unexpectedStopText(4711, QDateTime(QDate::currentDate(), QTime(9, 5)),
                                                             u"OSError: x"_s, true);
        const QString earlier =
                ShellTexts::unexpectedStopText({}, QDateTime(QDate(2026, 12, 6), QTime(23, 10)), {}, false);
        QVERIFY2(today.contains(u"(PID 4711)"_s) && today.contains(u" 09:05 Uhr"_s) && today.contains(u"OSError: x"_s),
                 qPrintable(today));
        QVERIFY2(!earlier.contains(u"PID"_s) && earlier.contains(u" 06.12.2026, 23:10 Uhr"_s), qPrintable(earlier));
        QCOMPARE(today.count(u'\n') - earlier.count(u'\n'), 1); // what a click does, only where it does it
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
};

QTEST_GUILESS_MAIN(TestAppTexts)
#include "tst_app_texts.moc"
