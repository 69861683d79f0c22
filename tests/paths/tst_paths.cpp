// The project root: its resolution, in a prepared tree and in a real process;
// the provisioning of the per-user data folder, which a look-up never sets off;
// and the upgrades of the program's own files in it: what is replaced, kept
// and added, and that an upgrade killed or starved of disk at any step leaves
// every file old or new and is finished by the next run.

#include "paths/ProjectLayout.h"
#include "paths/ProjectPaths.h"
#include "tests/paths/PathsTestSupport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <future>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// What a complete provisioning of the packaged project laid out below leaves on top level.
const QStringList provisioned =
        u".env .harlune-initialized MacOS aktuell generate_buchhaltung.py lib serve.py stop.sh verwaist"_s.split(u' ');

QByteArray sha(const QByteArray &content)
{
    return QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex();
}

} // namespace

class TestPaths : public QObject
{
    Q_OBJECT

    QTemporaryDir m_root;
    // The bundle, the per-user data folder and the working directory below m_root.
    ProjectPaths::Context m_context{std::nullopt, m_root.path() + u"/bundle"_s, m_root.path() + u"/data"_s,
                                    m_root.path() + u"/cwd"_s};

    QString data(QAnyStringView name) const { return m_context.appSupport + u'/' + name.toString(); }
    QString packaged(QAnyStringView name) const
    {
        return m_context.bundleDir + u"/Resources/buchhaltung/"_s + name.toString();
    }
    void resolve() { QCOMPARE(ProjectPaths::provision(m_context), m_context.appSupport); }
    void verifySameAsPackaged(QAnyStringView name) { QCOMPARE(snapshot(data(name)), snapshot(packaged(name))); }
    const QString m_history = m_root.path() + u"/history.sha256"_s;
    // The package before and after, and the user's own changes in between.
    const QByteArray oldServe = "print('alt')\n", newServe = "print('neu')\n", oldStop = "exit 0\n",
                     newStop = "exit 1\n", myStop = "exit 0 # meins\n", journal = "Datum;Betrag\n";

    QByteArray read(QAnyStringView name) const { return readFile(data(name)); }
    ProjectUpgrade::Outcome upgrade(const ProjectUpgrade::Checksums &earlier = {})
    {
        return ProjectPaths::upgradePackagedProject(m_context, earlier);
    }
    // A data folder of the previous package, provisioned before the record
    // existed, with the user's stop.sh and journal; the new package beside it.
    void preparePreviousVersion()
    {
        QVERIFY(QDir(m_root.path()).removeRecursively());
        writeFile(data("serve.py"), oldServe);
        writeFile(data("stop.sh"), myStop);
        writeFile(data("deutsch.py"), "mine"); // changed, but no new version of it
        writeFile(data("buchungen.csv"), journal);
        writeFile(data("Belege-Upload/beleg.pdf"), "%PDF");
        writeFile(data(".harlune-initialized"), "initialized");
        writeFile(m_history,
                  "# 0.1\n" + sha(oldServe) + "  serve.py\n" + sha(oldStop) + "  stop.sh\n" + sha("same")
                          + "  deutsch.py\n");
        writeFile(packaged("serve.py"), newServe);
        writeFile(packaged("stop.sh"), newStop);
        QVERIFY(QFile::setPermissions(packaged("stop.sh"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        writeFile(packaged("neu.py"), "neu");
        writeFile(packaged("deutsch.py"), "same");
        writeFile(packaged("buchungen.csv"), "Beispiel");
        writeFile(packaged("Belege-Upload/muster.txt"), "Muster");
    }
    void verifyUpgraded()
    {
        QCOMPARE(read("serve.py"), newServe);
        QCOMPARE(read("stop.sh"), myStop);
        QCOMPARE(read("stop.sh.neu"), newStop);
        QVERIFY(QFileInfo(data("stop.sh.neu")).isExecutable());
        QCOMPARE(read("neu.py"), QByteArray("neu"));
        QCOMPARE(read("buchungen.csv"), journal);
        QCOMPARE(QByteArray(read("deutsch.py") + read("deutsch.py.neu")), "mine<unreadable>");
        QCOMPARE(entries(data("Belege-Upload")), QStringList{u"beleg.pdf"_s});
        QVERIFY(!QFileInfo::exists(data(ProjectLayout::provisioningStaging())));
    }
    int runProbe(const QStringList &strace)
    {
        QProcess probe;
        const QStringList upgrade{QStringLiteral(HARLUNE_PATHS_PROBE), packaged(""), m_context.appSupport, m_history};
        probe.start(strace.isEmpty() ? upgrade.first() : u"/usr/bin/strace"_s,
                    strace.isEmpty() ? upgrade.mid(1) : strace + QStringList{u"--"_s} + upgrade);
        [&] { QVERIFY(probe.waitForFinished(60000)); }();
        return probe.exitStatus() == QProcess::NormalExit ? probe.exitCode() : -1;
    }

private slots:
    void init()
    {
        QVERIFY(QDir(m_root.path()).removeRecursively());
        // Skip-list names are dropped on top level only, case-sensitively, even as files.
        // No name here differs from another by case alone: APFS would take them for one.
        for (const char *path :
             {"serve.py", "generate_buchhaltung.py", "__pycache__", ".git/HEAD", "MacOS/Info.txt", ".env",
              "lib/.git/config", "lib/__pycache__/m.pyc", "lib/macos/readme", "lib/sub/tief.txt"})
            writeFile(packaged(path), path);
        writeFile(packaged("stop.sh"), "#!/bin/bash\nexit 0\n");
        QCOMPARE(::chmod(QFile::encodeName(packaged("stop.sh")).constData(), 0740), 0);
        makeLink(u"../serve.py"_s, packaged("lib/server-link"));
        makeLink(u"lib/sub"_s, packaged("aktuell"));
        makeLink(u"fehlt/nirgends"_s, packaged("verwaist"));
    }

    // The bundle directory is d0 in d9/.../d1/d0: dN lies N levels above it.
    // Expected "@cwd" is the working directory, "@data" the per-user data folder.
    void resolution_data()
    {
        QTest::addColumn<QString>("override"); // null for none
        // "serve.py" in the packaged folder: a file, a directory, a link
        // ("->" its target) or none ("other": another file there).
        QTest::addColumn<QString>("packagedServe");
        QTest::addColumn<QList<int>>("levelsWithServe");
        QTest::addColumn<QString>("expected");

        using Levels = QList<int>;
        const QString unset;
        // clang-format off
        QTest::newRow("override: file-system root") << u"/"_s << u"file"_s << Levels{1} << u"/"_s;
        QTest::newRow("override: relative") << u"sub/../p//"_s << u"file"_s << Levels{1} << u"@cwd/sub/../p"_s;
        QTest::newRow("override: no tilde expansion") << u"~/b"_s << u"file"_s << Levels{1} << u"@cwd/~/b"_s;
        QTest::newRow("override: empty is unset") << u""_s << u"file"_s << Levels{1} << u"@data"_s;
        QTest::newRow("packaged directory") << unset << u"directory"_s << Levels{1} << u"@data"_s;
        QTest::newRow("packaged link to a file") << unset << u"->../../../serve.py"_s << Levels{1} << u"@data"_s;
        QTest::newRow("packaged dangling link") << unset << u"->fehlt.py"_s << Levels{1} << u"d1"_s;
        QTest::newRow("packaged without serve.py") << unset << u"other"_s << Levels{1} << u"d1"_s;
        // A signed macOS bundle keeps it in Contents/Resources; the place beside Contents/ comes first.
        QTest::newRow("packaged in Contents") << unset << u"signed"_s << Levels{1} << u"@data"_s;
        QTest::newRow("packaged in both places") << unset << u"both"_s << Levels{1} << u"@data"_s;
        QTest::newRow("eight levels up") << unset << u""_s << Levels{8} << u"d8"_s;
        QTest::newRow("nine levels up is too far") << unset << u""_s << Levels{9} << u"@cwd"_s;
        QTest::newRow("nearest of several") << unset << u""_s << Levels{9, 7, 4} << u"d4"_s;
        QTest::newRow("bundle itself is no candidate") << unset << u""_s << Levels{0} << u"@cwd"_s;
        // clang-format on
    }

    void resolution()
    {
        QFETCH(QString, override);
        QFETCH(QString, packagedServe);
        QFETCH(QList<int>, levelsWithServe);
        QFETCH(QString, expected);
        QStringList levels{m_root.path() + u"/d9"_s};
        for (int level = 8; level >= 0; --level)
            levels.prepend(levels.first() + u"/d"_s + QString::number(level));
        for (int level : levelsWithServe)
            writeFile(levels[level] + u"/serve.py"_s, "x");
        // Trailing separators everywhere: the result never carries one.
        ProjectPaths::Context context{std::nullopt, levels.first() + u"/"_s, m_context.appSupport + u"/"_s,
                                      m_context.currentDir + u"/"_s};
        if (!override.isNull())
            context.overrideRoot = override;

        const QString packaged = levels.first() + u"/Resources/buchhaltung/serve.py"_s;
        const QString signedPlace = levels.first() + u"/Contents/Resources/buchhaltung/"_s;
        if (packagedServe == u"signed"_s || packagedServe == u"both"_s)
            writeFile(signedPlace + u"serve.py"_s, "x"), writeFile(signedPlace + u"nur-signiert"_s, "x");
        if (packagedServe == u"signed"_s)
            writeFile(packaged + u"c"_s, "x");
        else if (packagedServe.startsWith(u"->"_s))
            makeLink(packagedServe.mid(2), packaged);
        else if (packagedServe == u"directory"_s)
            QVERIFY(QDir().mkpath(packaged));
        else if (!packagedServe.isEmpty())
            writeFile(packaged + (packagedServe == u"other"_s ? u"c"_s : u""_s), "x");

        QStringList provisionedHere =
                expected == u"@data"_s ? QStringList{u".harlune-initialized"_s, u"serve.py"_s} : QStringList();
        if (packagedServe == u"signed"_s)
            provisionedHere.insert(1, u"nur-signiert"_s);
        expected.replace(u"@cwd"_s, m_context.currentDir).replace(u"@data"_s, m_context.appSupport);
        if (expected.startsWith(u'd'))
            expected = levels[expected.mid(1).toInt()];
        QCOMPARE(ProjectPaths::buchhaltungRoot(context), expected);
        QVERIFY(!QFileInfo::exists(m_context.appSupport));
        QCOMPARE(ProjectPaths::provision(context), expected);
        QCOMPARE(entries(m_context.appSupport), provisionedHere);
    }

    // The probe runs through a symbolic link: its bundle directory must be
    // its real folder. Its per-user data folder follows the home folder
    // (Linux: XDG_DATA_HOME) as found at the first use; the override is read
    // untrimmed, relative to the real working directory, and read again on
    // every resolution.
    void realProcessFeedsTheContext()
    {
        const QString root = QFileInfo(m_root.path()).canonicalFilePath();
        makeLink(QStringLiteral(HARLUNE_PATHS_PROBE), root + u"/probe-link"_s);
        QVERIFY(QDir().mkpath(root + u"/arbeit"_s));
        QProcess probe;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"HOME"_s, root + u"/heim"_s);
        environment.insert(u"XDG_DATA_HOME"_s, root + u"/xdg"_s);
        environment.insert(u"HARLUNE_PROJECT"_s, u" eigene/"_s);
        probe.setProcessEnvironment(environment);
        probe.setWorkingDirectory(root + u"/arbeit"_s);
        probe.start(root + u"/probe-link"_s, {});
        QVERIFY(probe.waitForFinished(20000));
        QCOMPARE(probe.exitCode(), 0);

        const QString realFolder = QFileInfo(QStringLiteral(HARLUNE_PATHS_PROBE)).canonicalPath();
#ifdef Q_OS_MACOS
        const QString appSupport = root + u"/heim/Library/Application Support/Harlune-Buchhaltung"_s;
#else
        const QString appSupport = root + u"/xdg/Harlune-Buchhaltung"_s;
#endif
        const QStringList expected{realFolder,    realFolder, appSupport, appSupport, root + u"/arbeit/ eigene"_s,
                                   u"/zweites"_s, u""_s};
        QCOMPARE(QString::fromUtf8(probe.readAllStandardOutput()).split(u'\n'), expected);
    }

    // Entries already there, even a dangling link, are neither replaced nor
    // merged into. Pipes and sockets are no project data: left out wherever
    // they lie, and the provisioning is complete without them. Resolutions
    // in several threads at once provision once. Once marked, nothing is
    // copied again.
    void firstRunCopiesWhatIsMissingOnce()
    {
        writeFile(data("serve.py"), "mine");
        writeFile(data("MacOS/eigen.txt"), "mine");
        makeLink(u"nirgends"_s, data("stop.sh"));
        QCOMPARE(::mkfifo(QFile::encodeName(packaged("rohr")).constData(), 0600), 0);
        // Bound by a name relative to its folder: the whole path would pass
        // the 103 bytes a socket address holds on macOS below its temporary folder.
        QProcess binder;
        binder.setWorkingDirectory(packaged("lib/sub"));
        binder.start(u"/usr/bin/python3"_s,
                     {u"-c"_s, u"import socket; socket.socket(socket.AF_UNIX).bind('steckdose')"_s});
        QVERIFY(binder.waitForFinished(20000) && binder.exitCode() == 0);
        for (int i = 0; i < 300; ++i)
            writeFile(packaged(u"lib/viele/datei-"_s + QString::number(i)), QByteArray(512, 'x'));

        std::vector<std::future<QString>> others;
        for (int i = 0; i < 3; ++i)
            others.push_back(std::async(std::launch::async, [this] { return ProjectPaths::provision(m_context); }));
        resolve();
        for (std::future<QString> &other : others)
            QCOMPARE(other.get(), m_context.appSupport);
        QCOMPARE(entries(m_context.appSupport), provisioned);
        QVERIFY(QFile::remove(packaged("lib/sub/steckdose"))); // the copy of lib has none
        for (const char *name : {".env", "aktuell", "generate_buchhaltung.py", "lib", "verwaist"})
            verifySameAsPackaged(name);
        QCOMPARE(readFile(data("serve.py")), QByteArray("mine"));
        QCOMPARE(entries(data("MacOS")), QStringList{u"eigen.txt"_s});
        QCOMPARE(snapshot(data("stop.sh")), QStringList{u". -> nirgends"_s});
        QCOMPARE(readFile(data(".harlune-initialized")), QByteArray("initialized"));

        QVERIFY(QFile::remove(data("serve.py")));
        resolve();
        QVERIFY(!QFileInfo::exists(data("serve.py")));
    }

    // A copy that fails (the file size limit binds root too, as a full disk
    // would) leaves no half entry, and no leftover of an interrupted earlier
    // run survives; the marker waits until a later resolution completes it.
    // A marker that cannot be written (a link into a missing folder, even
    // for root) leaves every resolution provisioning again.
    void failedCopyLeavesNoHalfEntryAndIsRetried()
    {
        const QString staging = data(ProjectLayout::provisioningStaging());
        writeFile(staging + u"/serve.py"_s, "print('ser");
        writeFile(staging + u"/lib/sub/tief.txt"_s, "de");
        makeLink(u"../.."_s, staging + u"/lib/zurueck"_s);
        writeFile(packaged("lib/sub/gross.bin"), QByteArray(256 * 1024, 'x'));
        // Reserved names of the per-user data folder are never taken over.
        writeFile(packaged(".harlune-initialized"), "from the package");
        writeFile(packaged(ProjectLayout::provisioningStaging() + u"/x"_s), "from the package");

        rlimit limit{};
        QCOMPARE(::getrlimit(RLIMIT_FSIZE, &limit), 0);
        const rlimit small{64 * 1024, limit.rlim_max};
        std::signal(SIGXFSZ, SIG_IGN); // a write past the limit fails instead of ending the test
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
        // Failures that are not shown are logged, with their cause.
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"^Cannot copy .*/gross.bin: "_s));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"^Provisioning: .*/lib not copied"_s));
        resolve();
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &limit), 0);
        QStringList partial = provisioned;
        partial.removeOne(u"lib"_s), partial.removeOne(u".harlune-initialized"_s);
        QCOMPARE(entries(m_context.appSupport), partial);
        verifySameAsPackaged("serve.py");

        resolve();
        QCOMPARE(entries(m_context.appSupport), provisioned);
        verifySameAsPackaged("lib");

        QVERIFY(QFile::remove(data(".harlune-initialized")));
        makeLink(m_root.path() + u"/fehlt/marker"_s, data(".harlune-initialized"));
        for (int again = 0; again < 2; ++again) {
            QVERIFY(QFile::remove(data("stop.sh")));
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"^Provisioning: marker .* not written: "_s));
            resolve();
            verifySameAsPackaged("stop.sh");
        }
    }

    // Decided as a careful package manager does, and said once: unchanged
    // files are replaced, changed ones (a link too, never written through)
    // kept with the new version beside, new ones added; the journal and
    // receipts stay; a changed file the package did not change is kept
    // silently. Each next package is judged by the record of the last
    // upgrade alone; while another instance holds the folder's lock nothing
    // is touched; a NAME.neu of the user's own is left and the new version
    // goes beside it under another name; a file the user deleted stays
    // deleted; files of a newer program are not replaced by older ones.
    void upgradeDecidesAsAPackageManager()
    {
        using Outcome = ProjectUpgrade::Outcome;
        const auto toldOnce = [this](const Outcome &outcome) {
            QCOMPARE(upgrade(), outcome);
            QCOMPARE(upgrade(), Outcome{});
        };
        preparePreviousVersion();
        writeFile(packaged("README.md"), "Lies mich");
        makeLink(u"meins.md"_s, data("README.md"));
        const ProjectUpgrade::Checksums earlier = ProjectUpgrade::parseChecksums(readFile(m_history));
        QCOMPARE(upgrade(earlier),
                 (Outcome{{u"serve.py"_s},
                          {u"neu.py"_s},
                          {{u"README.md"_s, u"README.md.neu"_s}, {u"stop.sh"_s, u"stop.sh.neu"_s}},
                          {},
                          {},
                          {}}));
        verifyUpgraded();
        QCOMPARE(QFile::symLinkTarget(data("README.md")), data("meins.md"));
        QCOMPARE(read("README.md.neu"), QByteArray("Lies mich"));
        QStringList before = snapshot(m_root.path(), true);
        QCOMPARE(upgrade(earlier), Outcome{});
        QCOMPARE(snapshot(m_root.path(), true), before);

        writeFile(packaged("serve.py"), "print('neuer')\n");
        writeFile(packaged("stop.sh"), "exit 3\n");
        writeFile(packaged("neu.py"), "neuer");
        const int lock = ::open(QFile::encodeName(data(ProjectLayout::upgradeLock())).constData(),
                                O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        QVERIFY(lock >= 0 && ::flock(lock, LOCK_EX) == 0);
        before = snapshot(m_root.path(), true);
        QCOMPARE(ProjectUpgrade::upgrade(packaged(""), m_context.appSupport, {}, 0), Outcome{});
        QCOMPARE(snapshot(m_root.path(), true), before);
        ::close(lock);
        writeFile(data("stop.sh.neu"), "meine Notizen");
        toldOnce(Outcome{{u"neu.py"_s, u"serve.py"_s}, {}, {{u"stop.sh"_s, u"stop.sh.neu.2"_s}}, {}, {}, {}});
        QCOMPARE(QByteArray(read("stop.sh.neu") + read("stop.sh.neu.2")), "meine Notizenexit 3\n");

        QVERIFY(QFile::remove(data("neu.py")));
        writeFile(packaged("stop.sh"), "exit 4\n");
        toldOnce(Outcome{{}, {}, {{u"stop.sh"_s, u"stop.sh.neu.2"_s}}, {}, {u"neu.py"_s}, {}});
        QVERIFY(!QFileInfo::exists(data("neu.py")));
        QCOMPARE(QByteArray(read("stop.sh.neu") + read("stop.sh.neu.2")), "meine Notizenexit 4\n");

        QFile record(data(ProjectLayout::upgradeRecord()));
        QVERIFY(record.open(QIODevice::ReadOnly));
        QJsonObject json = QJsonDocument::fromJson(record.readAll()).object();
        record.close();
        json.insert(u"programVersion"_s, u"99.0"_s);
        writeFile(record.fileName(), QJsonDocument(json).toJson());
        writeFile(packaged("serve.py"), newServe);
        toldOnce(Outcome{{}, {}, {}, {}, {}, u"99.0"_s});
        QCOMPARE(read("serve.py"), QByteArray("print('neuer')\n"));
    }

    // Each row cuts the upgrade short at every call of one kind in turn (a
    // kill, or an error as a full disk gives); strace counts the calls.
    void interruptedUpgradeEndsOldOrNew_data()
    {
        QTest::addColumn<QString>("injection");
        for (const char *call : {"openat", "write", "fsync", "rename", "unlink", "mkdir"})
            QTest::newRow(call) << QLatin1String(call) + u":signal=KILL"_s;
        QTest::newRow("disk full") << u"write:error=ENOSPC"_s;
        QTest::newRow("flush fails") << u"fsync:error=EIO"_s;
    }

    void interruptedUpgradeEndsOldOrNew()
    {
        QFETCH(QString, injection);
        if (QProcess::execute(u"/usr/bin/strace"_s, {u"-o"_s, u"/dev/null"_s, u"/bin/true"_s}) != 0)
            QSKIP("strace cannot trace here");
        const QString log = m_root.path() + u"/strace.log"_s;
        for (int step = 1;; ++step) {
            preparePreviousVersion();
            runProbe({u"-f"_s, u"-o"_s, log, u"-e"_s, u"trace="_s + injection.section(u':', 0, 0), u"-e"_s,
                      u"inject="_s + injection + u":when="_s + QString::number(step)});
            const QByteArray traced = readFile(log);
            const auto either = [this](QAnyStringView name, const QByteArray &before, const QByteArray &after) {
                return read(name) == before || read(name) == after;
            };
            QVERIFY2(either("serve.py", oldServe, newServe), qPrintable(injection + u" at " + QString::number(step)));
            QCOMPARE(read("stop.sh"), myStop);
            QVERIFY(either("stop.sh.neu", "<unreadable>", newStop));
            QVERIFY(either("neu.py", "<unreadable>", "neu"));
            QCOMPARE(read("buchungen.csv"), journal);
            QCOMPARE(runProbe({}), 0);
            verifyUpgraded();
            if (!traced.contains("INJECTED") && !traced.contains("killed by SIGKILL"))
                break; // the run had fewer calls than step: every one was hit
        }
    }
};

QTEST_GUILESS_MAIN(TestPaths)
#include "tst_paths.moc"
