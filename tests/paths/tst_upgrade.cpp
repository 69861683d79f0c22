// Upgrades of the program's own files in a provisioned data folder: what is
// replaced, kept and added, that an up-to-date folder is left untouched, and
// that an upgrade killed or starved of disk at any step leaves every file
// old or new and is finished by the next run.

#include "paths/ProjectLayout.h"
#include "paths/ProjectPaths.h"
#include "tests/paths/PathsTestSupport.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

static QByteArray sha(const QByteArray &content)
{
    return QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex();
}

class TestUpgrade : public QObject
{
    Q_OBJECT

    QTemporaryDir m_root;
    ProjectPaths::Context m_context{std::nullopt, m_root.path() + "/bundle", m_root.path() + "/data", "/"};
    const QString m_history = m_root.path() + "/history.sha256";
    // The package before and after, and the user's own changes in between.
    const QByteArray oldServe = "print('alt')\n", newServe = "print('neu')\n", oldStop = "exit 0\n",
                     newStop = "exit 1\n", myStop = "exit 0 # meins\n", journal = "Datum;Betrag\n";

    QString data(const QString &name) const { return m_context.appSupport + '/' + name; }
    QString packaged(const QString &name) const { return m_context.bundleDir + "/Resources/buchhaltung/" + name; }
    QByteArray read(const QString &name) const { return readFile(data(name)); }
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
        QCOMPARE(read("deutsch.py") + read("deutsch.py.neu"), "mine<unreadable>");
        QCOMPARE(entries(data("Belege-Upload")), QStringList{"beleg.pdf"});
        QVERIFY(!QFileInfo::exists(data(ProjectLayout::provisioningStaging())));
    }
    int runProbe(const QStringList &strace)
    {
        QProcess probe;
        const QStringList upgrade{HARLUNE_PATHS_PROBE, packaged(""), m_context.appSupport, m_history};
        probe.start(strace.isEmpty() ? upgrade.first() : "/usr/bin/strace",
                    strace.isEmpty() ? upgrade.mid(1) : strace + QStringList{"--"} + upgrade);
        [&] { QVERIFY(probe.waitForFinished(60000)); }();
        return probe.exitStatus() == QProcess::NormalExit ? probe.exitCode() : -1;
    }

private slots:
    // Unchanged files are replaced, changed ones (a link too, never written
    // through) kept with the new version beside, new ones added; the journal
    // and receipts stay; a changed file the package did not change is kept
    // silently. A second launch touches nothing and reports nothing, so the
    // notice comes once.
    void upgradeReplacesUnchangedAndKeepsChanged()
    {
        preparePreviousVersion();
        writeFile(packaged("README.md"), "Lies mich");
        makeLink("meins.md", data("README.md"));
        const ProjectUpgrade::Checksums earlier = ProjectUpgrade::parseChecksums(readFile(m_history));
        QCOMPARE(upgrade(earlier),
                 (ProjectUpgrade::Outcome{{"serve.py"},
                                          {"neu.py"},
                                          {{"README.md", "README.md.neu"}, {"stop.sh", "stop.sh.neu"}},
                                          {},
                                          {},
                                          {}}));
        verifyUpgraded();
        QCOMPARE(QFile::symLinkTarget(data("README.md")), data("meins.md"));
        QCOMPARE(read("README.md.neu"), QByteArray("Lies mich"));

        const QStringList before = snapshot(m_root.path(), true);
        QCOMPARE(upgrade(earlier), ProjectUpgrade::Outcome{});
        QCOMPARE(snapshot(m_root.path(), true), before);
    }

    // Decided as a careful package manager does, and said: a NAME.neu of the
    // user's own is left and the new version goes beside it under another
    // name, once; a file the user deleted stays deleted; files of a newer
    // program are not replaced by older ones (told once); while another
    // instance holds the folder's lock nothing is touched. Each next package
    // is judged by the record of the last upgrade, without the earlier list.
    void upgradeDecidesAsAPackageManager_data()
    {
        QTest::addColumn<QString>("situation");
        for (const char *situation : {"own .neu", "deleted", "newer program", "locked"})
            QTest::newRow(situation) << QString(situation);
    }

    void upgradeDecidesAsAPackageManager()
    {
        QFETCH(QString, situation);
        preparePreviousVersion();
        const ProjectUpgrade::Checksums earlier = ProjectUpgrade::parseChecksums(readFile(m_history));
        upgrade(earlier);
        const QByteArray newerServe = "print('neuer')\n";
        writeFile(packaged("serve.py"), newerServe);
        writeFile(packaged("stop.sh"), "exit 3\n");
        writeFile(packaged("neu.py"), "neuer");
        using Outcome = ProjectUpgrade::Outcome;
        if (situation == "own .neu") {
            writeFile(data("stop.sh.neu"), "meine Notizen");
            QCOMPARE(upgrade(), (Outcome{{"neu.py", "serve.py"}, {}, {{"stop.sh", "stop.sh.neu.2"}}, {}, {}, {}}));
            QCOMPARE(read("stop.sh.neu") + read("stop.sh.neu.2"), "meine Notizenexit 3\n");
        } else if (situation == "deleted") {
            QVERIFY(QFile::remove(data("neu.py")));
            QCOMPARE(upgrade(), (Outcome{{"serve.py"}, {}, {{"stop.sh", "stop.sh.neu"}}, {}, {"neu.py"}, {}}));
            QVERIFY(!QFileInfo::exists(data("neu.py")));
        } else if (situation == "newer program") {
            QFile record(data(ProjectLayout::upgradeRecord()));
            QVERIFY(record.open(QIODevice::ReadOnly));
            QJsonObject json = QJsonDocument::fromJson(record.readAll()).object();
            record.close();
            json.insert("programVersion", "99.0");
            writeFile(record.fileName(), QJsonDocument(json).toJson());
            QCOMPARE(upgrade(), (Outcome{{}, {}, {}, {}, {}, "99.0"}));
            QCOMPARE(read("serve.py"), newServe);
        } else {
            const int lock = ::open(QFile::encodeName(data(ProjectLayout::upgradeLock())).constData(),
                                    O_RDWR | O_CREAT | O_CLOEXEC, 0644);
            QVERIFY(lock >= 0 && ::flock(lock, LOCK_EX) == 0);
            const QStringList before = snapshot(m_root.path(), true);
            QCOMPARE(ProjectUpgrade::upgrade(packaged(""), m_context.appSupport, {}, 0), Outcome{});
            QCOMPARE(snapshot(m_root.path(), true), before);
            ::close(lock);
            QCOMPARE(upgrade().replaced, (QStringList{"neu.py", "serve.py"}));
        }
        // Said once, not at every launch.
        QCOMPARE(upgrade(), Outcome{});
    }

    // Each row cuts the upgrade short at every call of one kind in turn (a
    // kill, or an error as a full disk gives); strace counts the calls.
    void interruptedUpgradeEndsOldOrNew_data()
    {
        QTest::addColumn<QString>("injection");
        for (const char *call : {"openat", "write", "fsync", "rename", "unlink", "mkdir"})
            QTest::newRow(call) << QString(call) + ":signal=KILL";
        QTest::newRow("disk full") << "write:error=ENOSPC";
        QTest::newRow("flush fails") << "fsync:error=EIO";
    }

    void interruptedUpgradeEndsOldOrNew()
    {
        QFETCH(QString, injection);
        if (QProcess::execute("/usr/bin/strace", {"-o", "/dev/null", "/bin/true"}) != 0)
            QSKIP("strace cannot trace here");
        const QString log = m_root.path() + "/strace.log";
        for (int step = 1;; ++step) {
            preparePreviousVersion();
            runProbe({"-f", "-o", log, "-e", "trace=" + injection.section(':', 0, 0), "-e",
                      "inject=" + injection + ":when=" + QString::number(step)});
            const QByteArray traced = readFile(log);
            const auto either = [this](const QString &name, const QByteArray &before, const QByteArray &after) {
                return read(name) == before || read(name) == after;
            };
            QVERIFY2(either("serve.py", oldServe, newServe), qPrintable(injection + " at " + QString::number(step)));
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

QTEST_GUILESS_MAIN(TestUpgrade)
#include "tst_upgrade.moc"
