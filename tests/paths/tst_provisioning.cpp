// Provisioning of the per-user data folder from the packaged project, seen
// through the resolution that triggers it.

#include "TreeFixture.h"

#include "paths/ProjectLayout.h"
#include "paths/ProjectPaths.h"

#include <QTemporaryDir>
#include <QTest>

#include <thread>
#include <vector>

using namespace TreeFixture;

namespace {

// The packaged project every test starts from, and the top-level names a
// complete provisioning leaves in the per-user data folder.
void layOutPackagedProject(const QString &packaged)
{
    writeFile(packaged + "/serve.py", "print('server')\n");
    writeFile(packaged + "/generate_buchhaltung.py", "print('bericht')\n");
    writeFile(packaged + "/stop.sh", "#!/bin/bash\nexit 0\n");
    QFile::setPermissions(packaged + "/stop.sh", QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                         | QFileDevice::ExeOwner | QFileDevice::ReadGroup);
    writeFile(packaged + "/macos", "skipped although a file");
    writeFile(packaged + "/.git/HEAD", "ref: refs/heads/main\n");
    writeFile(packaged + "/__pycache__/serve.cpython-311.pyc", "bytecode");
    writeFile(packaged + "/MacOS/Info.txt", "case differs: copied");
    writeFile(packaged + "/.Git", "case differs: copied");
    writeFile(packaged + "/.env", "hidden: copied");
    writeFile(packaged + "/lib/.git/config", "nested: copied");
    writeFile(packaged + "/lib/__pycache__/m.pyc", "nested: copied");
    writeFile(packaged + "/lib/macos/readme", "nested: copied");
    writeFile(packaged + "/lib/sub/tief.txt", "deep");
    makeLink("../serve.py", packaged + "/lib/server-link");
    makeLink("lib/sub", packaged + "/aktuell");
    makeLink("fehlt/nirgends", packaged + "/verwaist");
}

const QStringList copiedNames{".Git", ".env", "MacOS", "aktuell", "generate_buchhaltung.py",
                              "lib", "serve.py", "stop.sh", "verwaist"};

QStringList withMarker(QStringList names)
{
    names.append(ProjectLayout::provisioningMarker());
    names.sort();
    return names;
}

QString markerPath(const ProjectPaths::Context &context)
{
    return context.appSupport + "/" + ProjectLayout::provisioningMarker();
}

} // namespace

class TestProvisioning : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void firstRunCopiesAllButTheSkipList();
    void existingEntriesAreNeverTouched();
    void deletedMarkerRestoresOnlyWhatIsMissing();
    void markerPresentCopiesNothing();
    void leftoversOfAnInterruptedCopyAreReplaced();
    void failedCopyLeavesNoHalfEntryAndIsRetried();
    void unwritableMarkerMeansEveryResolutionProvisions();
    void concurrentFirstResolutionsProvisionOnce();

private:
    std::unique_ptr<QTemporaryDir> m_root;
    ProjectPaths::Context m_context;
    QString m_packaged;

    QString resolve() { return ProjectPaths::buchhaltungRoot(m_context); }
    QString copied(const QString &name) const { return m_context.appSupport + "/" + name; }
    QString packaged(const QString &name) const { return m_packaged + "/" + name; }
};

void TestProvisioning::init()
{
    m_root = std::make_unique<QTemporaryDir>();
    QVERIFY(m_root->isValid());
    m_context = contextBelow(m_root->path());
    m_packaged = packagedFolder(m_context);
    layOutPackagedProject(m_packaged);
}

void TestProvisioning::firstRunCopiesAllButTheSkipList()
{
    QVERIFY(!QFileInfo::exists(m_root->path() + "/home"));
    QCOMPARE(resolve(), m_context.appSupport);

    QCOMPARE(entries(m_context.appSupport), withMarker(copiedNames));
    for (const QString &name : copiedNames)
        QCOMPARE(entryDifference(packaged(name), copied(name)), QString());
    QCOMPARE(readFile(markerPath(m_context)), QByteArray("initialized"));
}

void TestProvisioning::existingEntriesAreNeverTouched()
{
    writeFile(copied("serve.py"), "mine");
    writeFile(copied("lib/eigen.txt"), "mine");
    makeLink("nirgends", copied("stop.sh")); // present, though dangling

    QCOMPARE(resolve(), m_context.appSupport);

    QCOMPARE(readFile(copied("serve.py")), QByteArray("mine"));
    QCOMPARE(entries(copied("lib")), QStringList{"eigen.txt"});
    QCOMPARE(linkText(copied("stop.sh")), QByteArray("nirgends"));
    QCOMPARE(entries(m_context.appSupport), withMarker(copiedNames));
    QCOMPARE(entryDifference(packaged("MacOS"), copied("MacOS")), QString());
}

void TestProvisioning::deletedMarkerRestoresOnlyWhatIsMissing()
{
    resolve();
    QVERIFY(QFile::remove(markerPath(m_context)));
    QVERIFY(QDir(copied("lib")).removeRecursively());
    writeFile(copied("serve.py"), "edited by the user");
    writeFile(packaged("generate_buchhaltung.py"), "newer packaged version");

    QCOMPARE(resolve(), m_context.appSupport);

    QCOMPARE(entryDifference(packaged("lib"), copied("lib")), QString());
    QCOMPARE(readFile(copied("serve.py")), QByteArray("edited by the user"));
    QCOMPARE(readFile(copied("generate_buchhaltung.py")), QByteArray("print('bericht')\n"));
    QCOMPARE(readFile(markerPath(m_context)), QByteArray("initialized"));
}

void TestProvisioning::markerPresentCopiesNothing()
{
    resolve();
    for (const QString &name : copiedNames)
        QVERIFY(removeEntry(copied(name)));

    QCOMPARE(resolve(), m_context.appSupport);
    QCOMPARE(entries(m_context.appSupport), QStringList{ProjectLayout::provisioningMarker()});
}

void TestProvisioning::leftoversOfAnInterruptedCopyAreReplaced()
{
    const QString staging = copied(ProjectLayout::provisioningStaging());
    writeFile(staging + "/serve.py", "print('ser");
    writeFile(staging + "/lib/sub/tief.txt", "de");
    makeLink("../..", staging + "/lib/zurueck");

    QCOMPARE(resolve(), m_context.appSupport);

    QCOMPARE(entries(m_context.appSupport), withMarker(copiedNames));
    QCOMPARE(readFile(copied("serve.py")), QByteArray("print('server')\n"));
    QCOMPARE(entryDifference(packaged("lib"), copied("lib")), QString());
}

// Pipes cannot be copied, even by root: a directory holding one fails as a
// whole and must not appear half-copied.
void TestProvisioning::failedCopyLeavesNoHalfEntryAndIsRetried()
{
    makeFifo(packaged("lib/sub/zz-pipe"));
    makeFifo(packaged("kanal"));
    // Reserved names of the per-user data folder are never taken over.
    writeFile(packaged(ProjectLayout::provisioningMarker()), "from the package");
    writeFile(packaged(ProjectLayout::provisioningStaging() + "/x"), "from the package");

    QCOMPARE(resolve(), m_context.appSupport);

    QStringList withoutLib = copiedNames;
    withoutLib.removeOne("lib");
    QCOMPARE(entries(m_context.appSupport), withoutLib);

    writeFile(copied("serve.py"), "edited by the user");
    QVERIFY(QFile::remove(packaged("lib/sub/zz-pipe")));
    QVERIFY(QFile::remove(packaged("kanal")));
    writeFile(packaged("kanal"), "now a file");

    QCOMPARE(resolve(), m_context.appSupport);

    QCOMPARE(entries(m_context.appSupport), withMarker(copiedNames + QStringList{"kanal"}));
    QCOMPARE(entryDifference(packaged("lib"), copied("lib")), QString());
    QCOMPARE(readFile(copied("kanal")), QByteArray("now a file"));
    QCOMPARE(readFile(copied("serve.py")), QByteArray("edited by the user"));
    QCOMPARE(readFile(markerPath(m_context)), QByteArray("initialized"));
}

// A marker that is a link into a missing folder cannot be written, even by root.
void TestProvisioning::unwritableMarkerMeansEveryResolutionProvisions()
{
    makeLink(m_root->path() + "/fehlt/marker", markerPath(m_context));

    QCOMPARE(resolve(), m_context.appSupport);
    QCOMPARE(entries(m_context.appSupport), withMarker(copiedNames));
    QVERIFY(!QFileInfo::exists(markerPath(m_context)));

    QVERIFY(QFile::remove(copied("stop.sh")));
    writeFile(copied("serve.py"), "edited by the user");
    QCOMPARE(resolve(), m_context.appSupport);
    QCOMPARE(entryDifference(packaged("stop.sh"), copied("stop.sh")), QString());
    QCOMPARE(readFile(copied("serve.py")), QByteArray("edited by the user"));
}

void TestProvisioning::concurrentFirstResolutionsProvisionOnce()
{
    for (int i = 0; i < 300; ++i)
        writeFile(packaged("lib/viele/datei-" + QString::number(i)), QByteArray(512, 'x'));

    std::vector<QString> results(4);
    std::vector<std::thread> threads;
    for (QString &result : results)
        threads.emplace_back([this, &result] { result = resolve(); });
    for (std::thread &thread : threads)
        thread.join();

    for (const QString &result : results)
        QCOMPARE(result, m_context.appSupport);
    QCOMPARE(entries(m_context.appSupport), withMarker(copiedNames));
    QCOMPARE(entryDifference(packaged("lib"), copied("lib")), QString());
}

QTEST_GUILESS_MAIN(TestProvisioning)
#include "tst_provisioning.moc"
