#include "server/CommandRunner.h"
#include "ServerTestSupport.h"

using namespace ServerTestSupport;

class CommandRunnerTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString root() const { return m_dir.path(); }
    CommandRunner::Run run(const QStringList &command, bool allowFailure = false)
    {
        QProcessEnvironment base;
        base.insert("HARLUNE_HOST", "example.org");
        base.insert("HARLUNE_PORT", "1");
        base.insert("OTHER", "bleibt");
        return CommandRunner::runShell(command, allowFailure, root(), CommandRunner::childEnvironment(base, 4321));
    }

private slots:
    void routesScriptsAndPrograms()
    {
        // Read by bash from the project root, without execute permission.
        QVERIFY(writeFile(root() + "/probe.sh", "echo \"$0|$#|$(pwd -P)\"\n"));
        QFile::setPermissions(root() + "/probe.sh", QFile::ReadOwner | QFile::WriteOwner);
        const QString canonicalRoot = QFileInfo(root()).canonicalFilePath();
        CommandRunner::Run result = run({"probe.sh", "ignored"});
        QVERIFY(result.result.success);
        QCOMPARE(result.result.output, root() + "/probe.sh|0|" + canonicalRoot);
        QCOMPARE(result.result.pid, std::nullopt);

        QVERIFY(writeFile(root() + "/show.py", "import os, sys\nprint(sys.argv[1:], os.getcwd())\n"));
        result = run({"python3", "show.py", "a b", "c"});
        QVERIFY(result.result.success);
        QCOMPARE(result.result.output, "['a b', 'c'] " + canonicalRoot);

        // Upper-case suffix: a program in /usr/bin, which does not exist.
        QVERIFY(writeFile(root() + "/x.SH", "touch ran\n"));
        result = run({"x.SH"});
        QVERIFY(!result.result.success && !result.result.output.isEmpty());
        QVERIFY(!QFile::exists(root() + "/ran"));
    }

    void authKeptEvenWhenEmpty()
    {
        QProcessEnvironment base;
        base.insert("HARLUNE_AUTH", "");
        QCOMPARE(CommandRunner::childEnvironment(base, 1).value("HARLUNE_AUTH", "fehlt"), QString(""));
    }

    void outputAndExitStatus_data()
    {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<bool>("allowFailure");
        QTest::addColumn<bool>("success");
        QTest::addColumn<QString>("output");
        QTest::newRow("environment") << QByteArray("echo \"${HARLUNE_AUTH-}|$HARLUNE_HOST|$HARLUNE_PORT|$OTHER\"")
                                     << false << true << "0|127.0.0.1|4321|bleibt";
        QTest::newRow("merged in order") << QByteArray("echo a; echo b >&2; echo c") << false << true << "a\nb\nc";
        QTest::newRow("blank around") << QByteArray("printf '\\n\\n  hallo\\n\\n welt \\n\\n'")
                                      << false << true << "hallo\n\n welt";
        // U+0085, U+2028, U+3000, U+00A0, U+2029, U+1680, VT, FF, CR go; U+200B stays.
        QTest::newRow("unicode blanks") << QByteArray("printf '\\xc2\\x85\\xe2\\x80\\xa8\\xe3\\x80\\x80x\\xe2\\x80\\x8b"
                                                      "\\xc2\\xa0\\xe2\\x80\\xa9\\xe1\\x9a\\x80\\v\\f\\r\\n'")
                                        << false << true << QString::fromUtf8("x\u200b");
        QTest::newRow("blank only") << QByteArray("printf '\\n \\n\\t\\n'") << false << true << "";
        QTest::newRow("not UTF-8") << QByteArray("printf 'gut\\nschlecht \\xff\\n'") << false << true << "";
        QTest::newRow("cut off sequence") << QByteArray("printf 'ende \\xc3'") << false << true << "";
        QTest::newRow("reads no input") << QByteArray("read -r line; echo \"gelesen:$line\"") << false << true
                                        << "gelesen:";
        QTest::newRow("exit 3") << QByteArray("echo drei; exit 3") << false << false << "drei";
        QTest::newRow("exit 3, allowed") << QByteArray("echo drei; exit 3") << true << true << "drei";
        QTest::newRow("killed") << QByteArray("echo vorher; kill -KILL $$") << false << false << "vorher";
        QTest::newRow("killed, allowed") << QByteArray("echo vorher; kill -KILL $$") << true << true << "vorher";
    }

    void outputAndExitStatus()
    {
        QFETCH(QByteArray, script);
        QFETCH(bool, allowFailure);
        QFETCH(bool, success);
        QFETCH(QString, output);
        QVERIFY(writeFile(root() + "/run.sh", script + '\n'));
        const CommandRunner::Run result = run({"run.sh"}, allowFailure);
        QCOMPARE(result.result.success, success);
        QCOMPARE(result.result.output, output);
        QCOMPARE(result.lastLogLine, std::optional<QString>(output.section('\n', -1)));
    }

    void launchFailuresKeepTheLogLine_data()
    {
        QTest::addColumn<QStringList>("command");
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("says");
        QTest::newRow("no command") << QStringList() << "" << "^Kein Befehl$";
        QTest::newRow("no interpreter") << QStringList{"kein-solcher-interpreter", "x.py"} << "" << "No such file";
        QTest::newRow("no project root") << QStringList{"stop.sh"} << "/fehlt" << "chdir";
    }

    void launchFailuresKeepTheLogLine()
    {
        QFETCH(QStringList, command);
        QFETCH(QString, folder);
        QFETCH(QString, says);
        const CommandRunner::Run result =
            CommandRunner::runShell(command, true, root() + folder, QProcessEnvironment::systemEnvironment());
        QVERIFY(!result.result.success);
        QVERIFY2(matches(result.result.output, says), qPrintable(result.result.output));
        QCOMPARE(result.lastLogLine, std::nullopt);
    }

    void drainsLargeOutput()
    {
        // 10 MB over both channels, far more than a pipe holds.
        QVERIFY(writeFile(root() + "/big.py", "import sys\n"
                                              "for i in range(160):\n"
                                              "    s = sys.stdout if i % 2 else sys.stderr\n"
                                              "    s.write('x' * 65535 + '\\n'); s.flush()\n"
                                              "print('ENDE')\n"));
        const CommandRunner::Run big = run({"python3", "big.py"});
        QVERIFY(big.result.success);
        QCOMPARE(big.result.output.size(), 160 * 65536 + 4);
        QCOMPARE(big.lastLogLine, std::optional<QString>("ENDE"));
    }
};

QTEST_GUILESS_MAIN(CommandRunnerTest)
#include "tst_commandrunner.moc"
