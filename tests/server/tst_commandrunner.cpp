#include "ServerTestSupport.h"
#include "platform/PortProbe.h"
#include "server/BackgroundLauncher.h"
#include "server/CommandRunner.h"

using namespace ServerTestSupport;
using namespace Qt::StringLiterals;

class CommandRunnerTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString root() const { return m_dir.path(); }
    CommandRunner::Run run(const QStringList &command, bool allowFailure,
                           const Dispatch::Cancellation::Ticket &ticket = {})
    {
        QProcessEnvironment base;
        for (const auto &[name, value] :
             {std::pair{u"HARLUNE_HOST"_s, u"example.org"_s}, {u"HARLUNE_PORT"_s, u"1"_s}, {u"OTHER"_s, u"bleibt"_s}})
            base.insert(name, value);
        return CommandRunner::runShell(command, allowFailure, root(), CommandRunner::childEnvironment(base, 4321),
                                       ticket);
    }

private slots:
    void authKeptEvenWhenEmpty()
    {
        QProcessEnvironment base;
        base.insert(u"HARLUNE_AUTH"_s, u""_s);
        QCOMPARE(CommandRunner::childEnvironment(base, 1).value(u"HARLUNE_AUTH"_s, u"fehlt"_s), u""_s);
    }

    void runs_data()
    {
        QTest::addColumn<QStringList>("command");
        QTest::addColumn<QByteArray>("script"); // written to run.sh, without execute permission
        QTest::addColumn<bool>("allowFailure"); // with it, a failure means the child never ran
        QTest::addColumn<bool>("success");
        QTest::addColumn<QString>("output"); // ROOT: the root as given, REAL: as resolved
        const QStringList sh{u"run.sh"_s};
        const auto python = [](const QString &code) { return QStringList{u"python3"_s, u"-c"_s, code}; };
        const auto numbered = [](int from, int to) {
            QStringList lines;
            for (int i = from; i <= to; ++i)
                lines << QStringLiteral("Zeile %1").arg(i);
            return lines.join(u'\n');
        };
        const auto row = [](const char *name, const QStringList &command, const QByteArray &script, bool allowFailure,
                            bool success, const QString &output) {
            QTest::newRow(name) << command << script << allowFailure << success << output;
        };
        const QByteArray none;
        // clang-format off
        row("script read by bash in the root", {u"run.sh"_s, u"ignored"_s}, "echo \"$0|$#|$(pwd -P)\"", false, true, u"ROOT/run.sh|0|REAL"_s);
        row("program with arguments", {u"python3"_s, u"-c"_s, u"import os, sys; print(sys.argv[1:], os.getcwd())"_s, u"a b"_s, u"c"_s}, none, false, true, u"['a b', 'c'] REAL"_s);
        row("environment", sh, "echo \"${HARLUNE_AUTH-}|$HARLUNE_HOST|$HARLUNE_PORT|$OTHER\"", false, true, u"0|127.0.0.1|4321|bleibt"_s);
        row("merged in order", sh, "echo a; echo b >&2; echo c", false, true, u"a\nb\nc"_s);
        row("blank around", sh, "printf '\\n\\n  hallo\\n\\n welt \\n\\n'", false, true, u"hallo\n\n welt"_s);
        // U+0085, U+2028, U+3000, U+00A0, U+2029, U+1680, VT, FF, CR go; U+200B stays.
        row("unicode blanks", sh, "printf '\\xc2\\x85\\xe2\\x80\\xa8\\xe3\\x80\\x80x\\xe2\\x80\\x8b\\xc2\\xa0\\xe2\\x80\\xa9\\xe1\\x9a\\x80\\v\\f\\r\\n'", false, true, QString::fromUtf8("x\u200b"));
        row("blank only", sh, "printf '\\n \\n\\t\\n'", false, true, u""_s);
        // Undecodable bytes show as replacement marks; the rest stays readable.
        row("not UTF-8", sh, "printf 'gut\\nschlecht \\xff\\n'", false, true, u"gut\nschlecht "_s + QChar(0xFFFD));
        row("cut off sequence", sh, "printf 'ende \\xc3'", false, true, u"ende "_s + QChar(0xFFFD));
        // End of input at once (1), not a wait on an open pipe that fails after 20 s (142).
        row("reads no input", sh, "read -r -t 20 line; echo \"gelesen:$?\"", false, true, u"gelesen:1"_s);
        row("exit 3", sh, "echo drei; exit 3", false, false, u"drei"_s);
        row("exit 3, allowed", sh, "echo drei; exit 3", true, true, u"drei"_s);
        row("killed", sh, "echo vorher; kill -KILL $$", false, false, u"vorher"_s);
        // Output of any size: its first and last lines, each at most 500 characters.
        row("61 lines", sh, "seq -f 'Zeile %g' 61", false, true, numbered(1, 30) + u"\n[1]\n"_s + numbered(32, 61));
        row("long line", python(u"print('x' * 501 + '\\nkurz')"_s), none, false, true, QString(500, u'x') + u"…\nkurz"_s);
        row("300000 lines, blank around", sh, "echo; seq -f 'Zeile %g' 300000; echo", false, true, numbered(1, 30) + u"\n[299940]\n"_s + numbered(299971, 300000));
        // 10 MB, cut inside a character at either end and still readable.
        row("one line of 10 MB", python(u"print('a' + 'ä' * 5000000)"_s), none, false, true, u"a"_s + QString(499, u'ä') + u"…\n[0]\n"_s + QString(500, u'ä') + u"…"_s);
        // Launch failures name what is missing: "!kind path".
        row("no command", {}, none, true, false, u"!0 "_s);
        row("no interpreter", {u"kein-interpreter"_s, u"x.py"_s}, none, true, false, u"!2 /usr/bin/kein-interpreter"_s);
        // Upper case: not a script but a program, which does not exist.
        row("suffix is case-sensitive", {u"run.SH"_s}, none, true, false, u"!2 /usr/bin/run.SH"_s);
        row("not executable", {u"../../etc/passwd"_s}, none, true, false, u"!3 /usr/bin/../../etc/passwd"_s);
        // clang-format on
    }

    // The kept end of a long output begins just after a line break: that
    // break starts no line of its own, and the count of lines left out
    // (here 70 000 and the blank one after them) stays exact.
    void keptEndStartingAtALineBreak()
    {
        OutputText::Collector output;
        const qsizetype kept = OutputText::keptBytesAtEachEnd;
        output.append(QByteArray("k\n").repeated(kept / 2));
        output.append(QByteArray("m\n").repeated(70000) + '\n' + QByteArray(30000, 'y') + '\n'
                      + QByteArray(kept - 30002, 'z'));
        const QString head = u"k\n"_s.repeated(30) + u"[102739]\n"_s;
        QCOMPARE(joined(output.text()), head + QString(500, u'y') + u"…\n"_s + QString(500, u'z') + u'…');
    }

    void runs()
    {
        QFETCH(QStringList, command);
        QFETCH(QByteArray, script);
        QFETCH(bool, allowFailure);
        QFETCH(bool, success);
        QFETCH(QString, output);
        QVERIFY(writeFile(root() + u"/run.sh"_s, script + '\n'));
        output.replace(u"ROOT"_s, root()).replace(u"REAL"_s, QFileInfo(root()).canonicalFilePath());
        const CommandRunner::Run result = run(command, allowFailure);
        QCOMPARE(result.result.success, success);
        const std::optional<RunFailure> failure = result.result.failure;
        QCOMPARE(failure ? u"!%1 %2"_s.arg(int(failure->kind)).arg(failure->path) : joined(result.result.output),
                 output);
        const bool ran = success || !allowFailure;
        QCOMPARE(result.lastLogLine, ran ? std::optional<QString>(output.section(u'\n', -1)) : std::nullopt);
    }

    void calledOffWithWhatItStarted()
    {
        QVERIFY(writeFile(root() + u"/hang.sh"_s, "/bin/sleep 60 &\necho $! > sleeper\nwait\n"));
        Dispatch::Cancellation cancellation;
        std::unique_ptr<QThread> worker(QThread::create([&] { run({u"hang.sh"_s}, true, cancellation.ticket()); }));
        worker->start();
        QTRY_VERIFY_WITH_TIMEOUT(!readFile(root() + u"/sleeper"_s).isEmpty(), patienceMs);
        cancellation.cancelAll();
        QVERIFY(worker->wait(patienceMs));
        QTRY_VERIFY_WITH_TIMEOUT(!alive(readFile(root() + u"/sleeper"_s).trimmed().toInt()), patienceMs);
        // A ticket taken afterwards is good.
        QCOMPARE(run({u"run.sh"_s}, false, cancellation.ticket()).result.success, true);
    }
};

QTEST_GUILESS_MAIN(CommandRunnerTest)
#include "tst_commandrunner.moc"
