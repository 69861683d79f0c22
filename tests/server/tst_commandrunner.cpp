#include "server/CommandRunner.h"
#include "ServerTestSupport.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace ServerTestSupport;

class CommandRunnerTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void routesScriptsAndPrograms();
    void buildsTheChildEnvironment();
    void shapesTheOutput_data();
    void shapesTheOutput();
    void exitStatusAndAllowFailure();
    void launchFailuresKeepTheLogLine();
    void drainsLargeOutputAndGivesNoInput();

private:
    CommandRunner::Run run(const QStringList &command, bool allowFailure = false,
                           const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment());
    QString root() const { return m_dir->path(); }

    std::unique_ptr<QTemporaryDir> m_dir;
};

void CommandRunnerTest::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

CommandRunner::Run CommandRunnerTest::run(const QStringList &command, bool allowFailure,
                                          const QProcessEnvironment &environment)
{
    return CommandRunner::runShell(command, allowFailure, root(), environment);
}

void CommandRunnerTest::routesScriptsAndPrograms()
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
    QVERIFY(!result.result.success);
    QVERIFY(!result.result.output.isEmpty());
    QVERIFY(!QFile::exists(root() + "/ran"));
}

void CommandRunnerTest::buildsTheChildEnvironment()
{
    QVERIFY(writeFile(root() + "/env.sh",
                      "echo \"${HARLUNE_AUTH-unset}|$HARLUNE_HOST|$HARLUNE_PORT|$OTHER|${HARLUNE_PROJECT-unset}\"\n"));
    QProcessEnvironment base;
    base.insert("PATH", "/usr/bin:/bin");
    base.insert("HARLUNE_HOST", "example.org");
    base.insert("HARLUNE_PORT", "1");
    base.insert("OTHER", "bleibt");
    base.insert("HARLUNE_PROJECT", "/irgendwo");
    QCOMPARE(run({"env.sh"}, false, CommandRunner::childEnvironment(base, 4321)).result.output,
             "0|127.0.0.1|4321|bleibt|/irgendwo");

    base.insert("HARLUNE_AUTH", "");
    QCOMPARE(run({"env.sh"}, false, CommandRunner::childEnvironment(base, 8765)).result.output,
             "|127.0.0.1|8765|bleibt|/irgendwo");
    base.insert("HARLUNE_AUTH", "geheim");
    QCOMPARE(run({"env.sh"}, false, CommandRunner::childEnvironment(base, 8765)).result.output,
             "geheim|127.0.0.1|8765|bleibt|/irgendwo");
}

void CommandRunnerTest::shapesTheOutput_data()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QString>("output");
    QTest::addColumn<QString>("lastLine");
    QTest::newRow("merged in order") << QByteArray("echo a; echo b >&2; echo c")
                                     << "a\nb\nc" << "c";
    QTest::newRow("errors only") << QByteArray("echo kaputt >&2") << "kaputt" << "kaputt";
    QTest::newRow("blank around") << QByteArray("printf '\\n\\n  hallo\\n\\n welt \\n\\n'")
                                  << "hallo\n\n welt" << " welt";
    // U+0085, U+2028, U+3000, U+00A0, U+2029, U+1680, VT, FF, CR go; U+200B stays.
    QTest::newRow("unicode blanks") << QByteArray(
        "printf '\\xc2\\x85\\xe2\\x80\\xa8\\xe3\\x80\\x80x\\xe2\\x80\\x8b\\xc2\\xa0\\xe2\\x80\\xa9\\xe1\\x9a\\x80\\v\\f\\r\\n'")
        << QString::fromUtf8("x\u200b") << QString::fromUtf8("x\u200b");
    QTest::newRow("blank only") << QByteArray("printf '\\n \\n\\t\\n'") << "" << "";
    QTest::newRow("not UTF-8") << QByteArray("printf 'gut\\nschlecht \\xff\\n'") << "" << "";
    QTest::newRow("cut off sequence") << QByteArray("printf 'ende \\xc3'") << "" << "";
}

void CommandRunnerTest::shapesTheOutput()
{
    QFETCH(QByteArray, script);
    QFETCH(QString, output);
    QFETCH(QString, lastLine);
    QVERIFY(writeFile(root() + "/out.sh", script + "\n"));
    const CommandRunner::Run result = run({"out.sh"});
    QVERIFY(result.result.success);
    QCOMPARE(result.result.output, output);
    QCOMPARE(result.lastLogLine, std::optional<QString>(lastLine));
}

void CommandRunnerTest::exitStatusAndAllowFailure()
{
    QVERIFY(writeFile(root() + "/three.sh", "echo drei\nexit 3\n"));
    QVERIFY(writeFile(root() + "/killed.sh", "echo vorher\nkill -KILL $$\n"));
    for (const QString &script : {QStringLiteral("three.sh"), QStringLiteral("killed.sh")}) {
        const CommandRunner::Run strict = run({script}, false);
        QVERIFY2(!strict.result.success, qPrintable(script));
        QVERIFY(!strict.result.output.isEmpty());
        QCOMPARE(strict.lastLogLine, std::optional<QString>(strict.result.output));
        const CommandRunner::Run allowed = run({script}, true);
        QVERIFY2(allowed.result.success, qPrintable(script));
        QCOMPARE(allowed.result.output, strict.result.output);
    }
}

void CommandRunnerTest::launchFailuresKeepTheLogLine()
{
    CommandRunner::Run result = run({}, true);
    QCOMPARE(result.result.success, false);
    QCOMPARE(result.result.output, QStringLiteral("Kein Befehl"));
    QCOMPARE(result.lastLogLine, std::nullopt);

    result = run({"kein-solcher-interpreter", "x.py"}, true);
    QVERIFY(!result.result.success);
    QVERIFY2(result.result.output.contains("No such file"), qPrintable(result.result.output));
    QCOMPARE(result.lastLogLine, std::nullopt);

    result = CommandRunner::runShell({"stop.sh"}, true, root() + "/fehlt",
                                     QProcessEnvironment::systemEnvironment());
    QVERIFY(!result.result.success);
    QVERIFY2(result.result.output.contains("chdir"), qPrintable(result.result.output));
    QCOMPARE(result.lastLogLine, std::nullopt);
}

void CommandRunnerTest::drainsLargeOutputAndGivesNoInput()
{
    // 10 MB over both channels, far more than a pipe holds.
    QVERIFY(writeFile(root() + "/big.py",
                      "import sys\n"
                      "for i in range(160):\n"
                      "    s = sys.stdout if i % 2 else sys.stderr\n"
                      "    s.write('x' * 65535 + '\\n'); s.flush()\n"
                      "print('ENDE')\n"));
    const CommandRunner::Run big = run({"python3", "big.py"});
    QVERIFY(big.result.success);
    QCOMPARE(big.result.output.size(), 160 * 65536 + 4);
    QCOMPARE(big.lastLogLine, std::optional<QString>("ENDE"));

    QVERIFY(writeFile(root() + "/reads.sh", "read -r line\necho \"gelesen:$line\"\n"));
    QCOMPARE(run({"reads.sh"}).result.output, QStringLiteral("gelesen:"));
}

QTEST_GUILESS_MAIN(CommandRunnerTest)
#include "tst_commandrunner.moc"
