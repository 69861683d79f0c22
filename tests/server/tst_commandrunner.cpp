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
        QTest::newRow("script read by bash in the root")
                << QStringList{"run.sh", "ignored"} << QByteArray("echo \"$0|$#|$(pwd -P)\"") << false << true
                << "ROOT/run.sh|0|REAL";
        QTest::newRow("program with arguments")
                << QStringList{"python3", "-c", "import os, sys; print(sys.argv[1:], os.getcwd())", "a b", "c"}
                << QByteArray() << false << true << "['a b', 'c'] REAL";
        QTest::newRow("environment") << sh << QByteArray("echo \"${HARLUNE_AUTH-}|$HARLUNE_HOST|$HARLUNE_PORT|$OTHER\"")
                                     << false << true << "0|127.0.0.1|4321|bleibt";
        QTest::newRow("merged in order") << sh << QByteArray("echo a; echo b >&2; echo c") << false << true
                                         << "a\nb\nc";
        QTest::newRow("blank around") << sh << QByteArray("printf '\\n\\n  hallo\\n\\n welt \\n\\n'") << false << true
                                      << "hallo\n\n welt";
        // U+0085, U+2028, U+3000, U+00A0, U+2029, U+1680, VT, FF, CR go; U+200B stays.
        QTest::newRow("unicode blanks") << sh
                                        << QByteArray("printf '\\xc2\\x85\\xe2\\x80\\xa8\\xe3\\x80\\x80x\\xe2\\x80\\x8b"
                                                      "\\xc2\\xa0\\xe2\\x80\\xa9\\xe1\\x9a\\x80\\v\\f\\r\\n'")
                                        << false << true << QString::fromUtf8("x\u200b");
        QTest::newRow("blank only") << sh << QByteArray("printf '\\n \\n\\t\\n'") << false << true << "";
        // Undecodable bytes show as replacement marks; the rest stays readable.
        QTest::newRow("not UTF-8") << sh << QByteArray("printf 'gut\\nschlecht \\xff\\n'") << false << true
                                   << QString("gut\nschlecht ") + QChar(0xFFFD);
        QTest::newRow("cut off sequence")
                << sh << QByteArray("printf 'ende \\xc3'") << false << true << QString("ende ") + QChar(0xFFFD);
        // End of input at once (1), not a wait on an open pipe that fails after 20 s (142).
        QTest::newRow("reads no input") << sh << QByteArray("read -r -t 20 line; echo \"gelesen:$?\"") << false << true
                                        << "gelesen:1";
        QTest::newRow("exit 3") << sh << QByteArray("echo drei; exit 3") << false << false << "drei";
        QTest::newRow("exit 3, allowed") << sh << QByteArray("echo drei; exit 3") << true << true << "drei";
        QTest::newRow("killed") << sh << QByteArray("echo vorher; kill -KILL $$") << false << false << "vorher";
        // Output of any size: its first and last lines, each at most 500 characters.
        QTest::newRow("61 lines") << sh << QByteArray("seq -f 'Zeile %g' 61") << false << true
                                  << numbered(1, 30) + "\n[1]\n" + numbered(32, 61);
        QTest::newRow("long line") << python("print('x' * 501 + '\\nkurz')") << QByteArray() << false << true
                                   << QString(500, 'x') + "…\nkurz";
        QTest::newRow("300000 lines, blank around")
                << sh << QByteArray("echo; seq -f 'Zeile %g' 300000; echo") << false << true
                << numbered(1, 30) + "\n[299940]\n" + numbered(299971, 300000);
        // 10 MB, cut inside a character at either end and still readable.
        QTest::newRow("one line of 10 MB") << python("print('a' + 'ä' * 5000000)") << QByteArray() << false << true
                                           << "a" + QString(499, u'ä') + "…\n[0]\n" + QString(500, u'ä') + "…";
        // Launch failures name what is missing: "!kind path".
        QTest::newRow("no command") << QStringList() << QByteArray() << true << false << "!0 ";
        QTest::newRow("no interpreter") << QStringList{"kein-interpreter", "x.py"} << QByteArray() << true << false
                                        << "!2 /usr/bin/kein-interpreter";
        // Upper case: not a script but a program, which does not exist.
        QTest::newRow("suffix is case-sensitive")
                << QStringList{"run.SH"} << QByteArray() << true << false << "!2 /usr/bin/run.SH";
        QTest::newRow("not executable") << QStringList{"../../etc/passwd"} << QByteArray() << true << false
                                        << "!3 /usr/bin/../../etc/passwd";
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
