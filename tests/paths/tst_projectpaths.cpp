// Resolution of the project root, in a prepared tree and in a real process.

#include "TreeFixture.h"

#include "paths/ProjectLayout.h"

#include <QProcess>
#include <QTemporaryDir>

using namespace TreeFixture;

const QString unsetOverride = QStringLiteral("<unset>");

class TestProjectPaths : public QObject
{
    Q_OBJECT

private slots:
    void resolution_data();
    void resolution();
    void everyResolutionLooksAgain();
    void realProcessFeedsTheContext();
};

// The bundle lies at root/d9/.../d1/bundle: dN is N levels above it, d0 the
// bundle itself. Expected "@cwd" is the working directory, "@data" the
// per-user data folder.
void TestProjectPaths::resolution_data()
{
    QTest::addColumn<QString>("override");
    QTest::addColumn<QString>("packagedServe"); // what "serve.py" is in the packaged folder
    QTest::addColumn<QList<int>>("levelsWithServe");
    QTest::addColumn<QString>("expected");

    using Levels = QList<int>;
    const QString unset = unsetOverride;
    QTest::newRow("override: file-system root") << "/" << "file" << Levels{1} << "/";
    QTest::newRow("override: spaces only") << "   " << "file" << Levels{1} << "@cwd/   ";
    QTest::newRow("override: relative") << "sub/../p//" << "file" << Levels{1} << "@cwd/sub/../p";
    QTest::newRow("override: no tilde expansion") << "~/b" << "file" << Levels{1} << "@cwd/~/b";
    QTest::newRow("override: empty is unset") << "" << "file" << Levels{1} << "@data";
    QTest::newRow("packaged directory") << unset << "directory" << Levels{1} << "@data";
    QTest::newRow("packaged link to a file") << unset << "link" << Levels{1} << "@data";
    QTest::newRow("packaged dangling link") << unset << "dangling" << Levels{1} << "d1";
    QTest::newRow("packaged without serve.py") << unset << "other" << Levels{1} << "d1";
    QTest::newRow("eight levels up") << unset << "" << Levels{8} << "d8";
    QTest::newRow("nine levels up is too far") << unset << "" << Levels{9} << "@cwd";
    QTest::newRow("nearest of several") << unset << "" << Levels{9, 7, 4} << "d4";
    QTest::newRow("bundle itself is no candidate") << unset << "" << Levels{0} << "@cwd";
}

void TestProjectPaths::resolution()
{
    QFETCH(QString, override);
    QFETCH(QString, packagedServe);
    QFETCH(QList<int>, levelsWithServe);
    QFETCH(QString, expected);
    QTemporaryDir root;
    QStringList levels{root.path() + "/d9"};
    for (int level = 8; level >= 0; --level)
        levels.prepend(levels.first() + (level ? "/d" + QString::number(level) : "/bundle"));
    QVERIFY(QDir().mkpath(levels.first()));
    for (int level : levelsWithServe)
        writeFile(levels[level] + "/serve.py", "x");
    // Trailing separators everywhere: the result never carries one.
    ProjectPaths::Context context{std::nullopt, levels.first() + "/", root.path() + "/data/",
                                  root.path() + "/cwd/"};
    if (override != unsetOverride)
        context.overrideRoot = override;

    const QString packaged = packagedFolder(context) + "/";
    if (packagedServe == "file")
        writeFile(packaged + "serve.py", "x");
    else if (packagedServe == "other")
        writeFile(packaged + "generate_buchhaltung.py", "x");
    else if (packagedServe == "directory")
        QVERIFY(QDir().mkpath(packaged + "serve.py"));
    else if (packagedServe == "link")
        makeLink(levels[1] + "/serve.py", packaged + "serve.py");
    else if (packagedServe == "dangling")
        makeLink(root.path() + "/fehlt.py", packaged + "serve.py");

    const bool provisions = expected == "@data";
    expected.replace("@cwd", root.path() + "/cwd").replace("@data", root.path() + "/data");
    if (expected.startsWith('d'))
        expected = levels[expected.mid(1).toInt()];
    QCOMPARE(ProjectPaths::buchhaltungRoot(context), expected);
    const QStringList provisioned{".harlune-initialized", "serve.py"};
    QCOMPARE(entries(context.appSupport), provisions ? provisioned : QStringList());
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

// The probe runs through a symbolic link: its bundle directory must be its
// real folder. Its per-user data folder follows XDG_DATA_HOME as found at
// the first use; the override is read untrimmed, relative to the real
// working directory.
void TestProjectPaths::realProcessFeedsTheContext()
{
    QTemporaryDir tempDir;
    const QString root = QFileInfo(tempDir.path()).canonicalFilePath();
    makeLink(HARLUNE_PATHS_PROBE, root + "/probe-link");
    QVERIFY(QDir().mkpath(root + "/arbeit"));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_DATA_HOME", root + "/xdg");
    environment.insert(ProjectLayout::projectOverrideVariable(), " eigene/");
    QProcess probe;
    probe.setProcessEnvironment(environment);
    probe.setWorkingDirectory(root + "/arbeit");
    probe.start(root + "/probe-link", {});
    QVERIFY(probe.waitForFinished(20000));
    QCOMPARE(probe.exitCode(), 0);

    const QString realFolder = QFileInfo(HARLUNE_PATHS_PROBE).canonicalPath();
    const QString appSupport = root + "/xdg/Harlune-Buchhaltung";
    const QStringList expected{realFolder, realFolder, appSupport, appSupport,
                               root + "/arbeit/ eigene", ""};
    QCOMPARE(QString::fromUtf8(probe.readAllStandardOutput()).split('\n'), expected);
}

QTEST_GUILESS_MAIN(TestProjectPaths)
#include "tst_projectpaths.moc"
