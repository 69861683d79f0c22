// Resolution of the project root: the order of the candidates, the
// development walk, the override, and what the real process feeds in.

#include "TreeFixture.h"

#include "paths/ProjectLayout.h"
#include "paths/ProjectPaths.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QTest>

using namespace TreeFixture;

class TestProjectPaths : public QObject
{
    Q_OBJECT

private slots:
    void overrideIsTakenAsGiven_data();
    void overrideIsTakenAsGiven();
    void emptyOverrideCountsAsUnset();
    void packagedFolderCountsOnlyWithServeScript_data();
    void packagedFolderCountsOnlyWithServeScript();
    void developmentWalk_data();
    void developmentWalk();
    void lastResortIsTheWorkingDirectory();
    void everyResolutionLooksAgain();
    void realProcessFeedsTheContext();
};

// With a packaged project present the override must still win, and nothing
// may be provisioned.
void TestProjectPaths::overrideIsTakenAsGiven_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("expected"); // "@cwd" stands for the working directory

    QTest::newRow("missing absolute dir") << "/nicht/vorhanden/projekt" << "/nicht/vorhanden/projekt";
    QTest::newRow("trailing separators") << "/srv/buch//" << "/srv/buch";
    QTest::newRow("file-system root") << "/" << "/";
    QTest::newRow("spaces only") << "   " << "@cwd/   ";
    QTest::newRow("relative") << "sub/../projekt/" << "@cwd/sub/../projekt";
    QTest::newRow("no tilde expansion") << "~/buch" << "@cwd/~/buch";
}

void TestProjectPaths::overrideIsTakenAsGiven()
{
    QFETCH(QString, value);
    QFETCH(QString, expected);
    QTemporaryDir root;
    ProjectPaths::Context context = contextBelow(root.path());
    writeFile(packagedFolder(context) + "/serve.py", "print('paket')\n");
    context.overrideRoot = value;

    expected.replace("@cwd", context.currentDir);
    QCOMPARE(ProjectPaths::buchhaltungRoot(context), expected);
    QVERIFY(!QFileInfo::exists(context.appSupport));
}

void TestProjectPaths::emptyOverrideCountsAsUnset()
{
    QTemporaryDir root;
    ProjectPaths::Context context = contextBelow(root.path());
    writeFile(packagedFolder(context) + "/serve.py", "print('paket')\n");
    context.overrideRoot = QString();
    context.appSupport += "/";

    QCOMPARE(ProjectPaths::buchhaltungRoot(context), root.path() + "/home/data/Harlune");
    QCOMPARE(readFile(context.appSupport + "serve.py"), QByteArray("print('paket')\n"));
}

void TestProjectPaths::packagedFolderCountsOnlyWithServeScript_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("counts");

    QTest::newRow("file") << "file" << true;
    QTest::newRow("directory") << "directory" << true;
    QTest::newRow("link to a file") << "link" << true;
    QTest::newRow("dangling link") << "dangling" << false;
    QTest::newRow("absent") << "absent" << false;
    QTest::newRow("only other files") << "other" << false;
}

void TestProjectPaths::packagedFolderCountsOnlyWithServeScript()
{
    QFETCH(QString, kind);
    QFETCH(bool, counts);
    QTemporaryDir root;
    const ProjectPaths::Context context = contextBelow(root.path());
    const QString packaged = packagedFolder(context);
    QDir().mkpath(packaged);
    const QString serve = packaged + "/serve.py";
    if (kind == "file")
        writeFile(serve, "x");
    else if (kind == "directory")
        QDir().mkpath(serve);
    else if (kind == "link")
        writeFile(root.path() + "/elsewhere.py", "x"), makeLink(root.path() + "/elsewhere.py", serve);
    else if (kind == "dangling")
        makeLink(root.path() + "/fehlt.py", serve);
    else if (kind == "other")
        writeFile(packaged + "/generate_buchhaltung.py", "x");
    // The walk would find this checkout if the packaged folder does not count.
    writeFile(root.path() + "/serve.py", "checkout");

    QCOMPARE(ProjectPaths::buchhaltungRoot(context), counts ? context.appSupport : root.path());
    QCOMPARE(QFileInfo::exists(context.appSupport), counts);
}

// bundle lies at root/d9/d8/.../d1/bundle; dN is N levels above it.
void TestProjectPaths::developmentWalk_data()
{
    QTest::addColumn<QList<int>>("levelsWithServe");
    QTest::addColumn<int>("expectedLevel"); // 0: the working directory

    QTest::newRow("parent") << QList<int>{1} << 1;
    QTest::newRow("eight levels up") << QList<int>{8} << 8;
    QTest::newRow("nine levels up is too far") << QList<int>{9} << 0;
    QTest::newRow("nearest wins") << QList<int>{2, 1} << 1;
    QTest::newRow("nearest of several") << QList<int>{9, 7, 4} << 4;
    QTest::newRow("bundle itself is not a candidate") << QList<int>{0} << 0;
}

void TestProjectPaths::developmentWalk()
{
    QFETCH(QList<int>, levelsWithServe);
    QFETCH(int, expectedLevel);
    QTemporaryDir root;
    QStringList levels{root.path() + "/d9"};
    for (int level = 8; level >= 1; --level)
        levels.prepend(levels.first() + "/d" + QString::number(level));
    ProjectPaths::Context context = contextBelow(root.path());
    context.bundleDir = levels.first() + "/bundle/";
    levels.prepend(context.bundleDir.chopped(1)); // levels[N]: N levels above the bundle
    QVERIFY(QDir().mkpath(levels[0]));
    for (int level : levelsWithServe)
        writeFile(levels[level] + "/serve.py", "x");

    QCOMPARE(ProjectPaths::buchhaltungRoot(context),
             expectedLevel == 0 ? context.currentDir : levels[expectedLevel]);
}

void TestProjectPaths::lastResortIsTheWorkingDirectory()
{
    QTemporaryDir root;
    ProjectPaths::Context context = contextBelow(root.path());
    context.currentDir = root.path() + "/nicht-vorhanden/";
    QCOMPARE(ProjectPaths::buchhaltungRoot(context), root.path() + "/nicht-vorhanden");

    // Walking up from the file-system root stays there and ends.
    context.bundleDir = "/";
    QCOMPARE(ProjectPaths::buchhaltungRoot(context), root.path() + "/nicht-vorhanden");

    // Without a bundle directory nothing is looked for below the root.
    context.bundleDir.clear();
    QCOMPARE(ProjectPaths::buchhaltungRoot(context), root.path() + "/nicht-vorhanden");
}

void TestProjectPaths::everyResolutionLooksAgain()
{
    QTemporaryDir root;
    const ProjectPaths::Context context = contextBelow(root.path());
    QCOMPARE(ProjectPaths::buchhaltungRoot(context), context.currentDir);

    writeFile(root.path() + "/serve.py", "x");
    QCOMPARE(ProjectPaths::buchhaltungRoot(context), root.path());

    writeFile(packagedFolder(context) + "/serve.py", "x");
    QCOMPARE(ProjectPaths::buchhaltungRoot(context), context.appSupport);

    QVERIFY(QFile::remove(packagedFolder(context) + "/serve.py"));
    QCOMPARE(ProjectPaths::buchhaltungRoot(context), root.path());
}

// paths_probe prints what the production path computes. It is started
// through a symbolic link, so the bundle directory must be the probe's real
// folder, not the link's.
void TestProjectPaths::realProcessFeedsTheContext()
{
    QTemporaryDir tempDir;
    // The probe reports its working directory with symbolic links resolved.
    const QString root = QFileInfo(tempDir.path()).canonicalFilePath();
    const QString link = root + "/probe-link";
    makeLink(QStringLiteral(HARLUNE_PATHS_PROBE), link);
    const QString realFolder = QFileInfo(QStringLiteral(HARLUNE_PATHS_PROBE)).canonicalPath();
    const QString xdg = root + "/xdg-daten";
    QDir().mkpath(root + "/arbeit");

    const auto probe = [&](const std::optional<QString> &overrideValue) {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_DATA_HOME", xdg);
        environment.remove(ProjectLayout::projectOverrideVariable());
        if (overrideValue)
            environment.insert(ProjectLayout::projectOverrideVariable(), *overrideValue);
        process.setProcessEnvironment(environment);
        process.setWorkingDirectory(root + "/arbeit");
        process.start(link, {});
        const bool finished = process.waitForFinished(20000);
        const QStringList lines = QString::fromUtf8(process.readAllStandardOutput()).split('\n');
        return finished && process.exitCode() == 0 ? lines : QStringList{"probe failed"};
    };

    const QString appSupport = "appSupport=" + xdg + "/Harlune-Buchhaltung";
    const QStringList common{"bundleDir without application=" + realFolder,
                             "bundleDir=" + realFolder,
                             appSupport,
                             appSupport + " (after XDG_DATA_HOME changed)",
                             "currentDir=" + root + "/arbeit"};
    QCOMPARE(probe(std::nullopt), common + QStringList({"override unset", ""}));
    QCOMPARE(probe(QString()), common + QStringList({"override=[]", ""}));
    QCOMPARE(probe("   "), common + QStringList({"override=[   ]", "root=" + root + "/arbeit/   ", ""}));
    QCOMPARE(probe("eigene/"), common + QStringList({"override=[eigene/]", "root=" + root + "/arbeit/eigene", ""}));
}

QTEST_GUILESS_MAIN(TestProjectPaths)
#include "tst_projectpaths.moc"
