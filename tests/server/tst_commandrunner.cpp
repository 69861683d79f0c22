#include "ServerTestSupport.h"
#include "platform/PortProbe.h"
#include "server/BackgroundLauncher.h"
#include "server/CommandRunner.h"

using namespace ServerTestSupport;

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
             {std::pair{"HARLUNE_HOST", "example.org"}, {"HARLUNE_PORT", "1"}, {"OTHER", "bleibt"}})
            base.insert(name, value);
        return CommandRunner::runShell(command, allowFailure, root(), CommandRunner::childEnvironment(base, 4321),
                                       ticket);
    }

private slots:
    void authKeptEvenWhenEmpty()
    {
        QProcessEnvironment base;
        base.insert("HARLUNE_AUTH", "");
        QCOMPARE(CommandRunner::childEnvironment(base, 1).value("HARLUNE_AUTH", "fehlt"), QString(""));
    }

    void runs_data()
    {
        QTest::addColumn<QStringList>("command");
        QTest::addColumn<QByteArray>("script"); // written to run.sh, without execute permission
        QTest::addColumn<bool>("allowFailure"); // with it, a failure means the child never ran
        QTest::addColumn<bool>("success");
        QTest::addColumn<QString>("output"); // ROOT: the root as given, REAL: as resolved
        const QStringList sh{"run.sh"};
        const auto python = [](const char *code) { return QStringList{"python3", "-c", code}; };
        const auto numbered = [](int from, int to) {
            QStringList lines;
            for (int i = from; i <= to; ++i)
                lines << QStringLiteral("Zeile %1").arg(i);
            return lines.join('\n');
        };
        const auto row = [](const char *name, const QStringList &command, const QByteArray &script, bool allowFailure,
                            bool success, const QString &output) {
            QTest::newRow(name) << command << script << allowFailure << success << output;
        };
        const QByteArray none;
        // clang-format off
        row("script read by bash in the root", {"run.sh", "ignored"}, "echo \"$0|$#|$(pwd -P)\"", false, true, "ROOT/run.sh|0|REAL");
        row("program with arguments", {"python3", "-c", "import os, sys; print(sys.argv[1:], os.getcwd())", "a b", "c"}, none, false, true, "['a b', 'c'] REAL");
        row("environment", sh, "echo \"${HARLUNE_AUTH-}|$HARLUNE_HOST|$HARLUNE_PORT|$OTHER\"", false, true, "0|127.0.0.1|4321|bleibt");
        row("merged in order", sh, "echo a; echo b >&2; echo c", false, true, "a\nb\nc");
        row("blank around", sh, "printf '\\n\\n  hallo\\n\\n welt \\n\\n'", false, true, "hallo\n\n welt");
        // U+0085, U+2028, U+3000, U+00A0, U+2029, U+1680, VT, FF, CR go; U+200B stays.
        row("unicode blanks", sh, "printf '\\xc2\\x85\\xe2\\x80\\xa8\\xe3\\x80\\x80x\\xe2\\x80\\x8b\\xc2\\xa0\\xe2\\x80\\xa9\\xe1\\x9a\\x80\\v\\f\\r\\n'", false, true, QString::fromUtf8("x\u200b"));
        row("blank only", sh, "printf '\\n \\n\\t\\n'", false, true, "");
        // Undecodable bytes show as replacement marks; the rest stays readable.
        row("not UTF-8", sh, "printf 'gut\\nschlecht \\xff\\n'", false, true, QString("gut\nschlecht ") + QChar(0xFFFD));
        row("cut off sequence", sh, "printf 'ende \\xc3'", false, true, QString("ende ") + QChar(0xFFFD));
        // End of input at once (1), not a wait on an open pipe that fails after 20 s (142).
        row("reads no input", sh, "read -r -t 20 line; echo \"gelesen:$?\"", false, true, "gelesen:1");
        row("exit 3", sh, "echo drei; exit 3", false, false, "drei");
        row("exit 3, allowed", sh, "echo drei; exit 3", true, true, "drei");
        row("killed", sh, "echo vorher; kill -KILL $$", false, false, "vorher");
        // Output of any size: its first and last lines, each at most 500 characters.
        row("61 lines", sh, "seq -f 'Zeile %g' 61", false, true, numbered(1, 30) + "\n[1]\n" + numbered(32, 61));
        row("long line", python("print('x' * 501 + '\\nkurz')"), none, false, true, QString(500, 'x') + "…\nkurz");
        row("300000 lines, blank around", sh, "echo; seq -f 'Zeile %g' 300000; echo", false, true, numbered(1, 30) + "\n[299940]\n" + numbered(299971, 300000));
        // 10 MB, cut inside a character at either end and still readable.
        row("one line of 10 MB", python("print('a' + 'ä' * 5000000)"), none, false, true, "a" + QString(499, u'ä') + "…\n[0]\n" + QString(500, u'ä') + "…");
        // Launch failures name what is missing: "!kind path".
        row("no command", {}, none, true, false, "!0 ");
        row("no interpreter", {"kein-interpreter", "x.py"}, none, true, false, "!2 /usr/bin/kein-interpreter");
        // Upper case: not a script but a program, which does not exist.
        row("suffix is case-sensitive", {"run.SH"}, none, true, false, "!2 /usr/bin/run.SH");
        row("not executable", {"../../etc/passwd"}, none, true, false, "!3 /usr/bin/../../etc/passwd");
        // clang-format on
    }

    void runs()
    {
        QFETCH(QStringList, command);
        QFETCH(QByteArray, script);
        QFETCH(bool, allowFailure);
        QFETCH(bool, success);
        QFETCH(QString, output);
        QVERIFY(writeFile(root() + "/run.sh", script + '\n'));
        output.replace("ROOT", root()).replace("REAL", QFileInfo(root()).canonicalFilePath());
        const CommandRunner::Run result = run(command, allowFailure);
        QCOMPARE(result.result.success, success);
        const std::optional<RunFailure> failure = result.result.failure;
        QCOMPARE(failure ? QString("!%1 %2").arg(int(failure->kind)).arg(failure->path) : joined(result.result.output),
                 output);
        const bool ran = success || !allowFailure;
        QCOMPARE(result.lastLogLine, ran ? std::optional<QString>(output.section('\n', -1)) : std::nullopt);
    }

    void calledOffWithWhatItStarted()
    {
        QVERIFY(writeFile(root() + "/hang.sh", "/bin/sleep 60 &\necho $! > sleeper\nwait\n"));
        Dispatch::Cancellation cancellation;
        std::unique_ptr<QThread> worker(QThread::create([&] { run({"hang.sh"}, true, cancellation.ticket()); }));
        worker->start();
        QTRY_VERIFY_WITH_TIMEOUT(!readFile(root() + "/sleeper").isEmpty(), patienceMs);
        cancellation.cancelAll();
        QVERIFY(worker->wait(patienceMs));
        QTRY_VERIFY_WITH_TIMEOUT(!alive(readFile(root() + "/sleeper").trimmed().toInt()), patienceMs);
        // A ticket taken afterwards is good.
        QCOMPARE(run({"run.sh"}, false, cancellation.ticket()).result.success, true);
    }
};

QTEST_GUILESS_MAIN(CommandRunnerTest)
#include "tst_commandrunner.moc"
