// Provisioning of the per-user data folder from the packaged project, seen
// through the resolution that triggers it.

#include "TreeFixture.h"

#include "paths/ProjectLayout.h"

#include <QTemporaryDir>

#include <sys/stat.h>
#include <future>
#include <vector>

using namespace TreeFixture;

// What a complete provisioning of the packaged project below leaves on top level.
const QStringList provisioned{".Git", ".env", ".harlune-initialized", "MacOS", "aktuell",
                              "generate_buchhaltung.py", "lib", "serve.py", "stop.sh", "verwaist"};

class TestProvisioning : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void firstRunCopiesWhatIsMissing();
    void unwritableMarkerMeansEveryResolutionProvisions();
    void markerPresentCopiesNothing();
    void failedCopyLeavesNoHalfEntryAndIsRetried();
    void concurrentFirstResolutionsProvisionOnce();

private:
    std::unique_ptr<QTemporaryDir> m_root;
    ProjectPaths::Context m_context;

    void resolve() { QCOMPARE(ProjectPaths::buchhaltungRoot(m_context), m_context.appSupport); }
    QString copied(const QString &name) const { return m_context.appSupport + "/" + name; }
    QString packaged(const QString &name) const { return packagedFolder(m_context) + "/" + name; }
    void verifySameAsPackaged(const QString &name)
    {
        QCOMPARE(snapshot(copied(name)), snapshot(packaged(name)));
    }
};

void TestProvisioning::init()
{
    m_root = std::make_unique<QTemporaryDir>();
    QVERIFY(m_root->isValid());
    m_context = contextBelow(m_root->path());
    // Skip-list names are dropped on top level only, case-sensitively, even as files.
    for (const char *path : {"serve.py", "generate_buchhaltung.py", "macos", ".git/HEAD",
                                "__pycache__/serve.pyc", "MacOS/Info.txt", ".Git", ".env",
                                "lib/.git/config", "lib/__pycache__/m.pyc", "lib/macos/readme",
                                "lib/sub/tief.txt"})
        writeFile(packaged(path), path);
    writeFile(packaged("stop.sh"), "#!/bin/bash\nexit 0\n");
    QCOMPARE(::chmod(QFile::encodeName(packaged("stop.sh")).constData(), 0740), 0);
    makeLink("../serve.py", packaged("lib/server-link"));
    makeLink("lib/sub", packaged("aktuell"));
    makeLink("fehlt/nirgends", packaged("verwaist"));
}

// Entries already there, even a dangling link, are neither replaced nor merged into.
void TestProvisioning::firstRunCopiesWhatIsMissing()
{
    writeFile(copied("serve.py"), "mine");
    writeFile(copied("lib/eigen.txt"), "mine");
    makeLink("nirgends", copied("stop.sh"));

    resolve();
    QCOMPARE(entries(m_context.appSupport), provisioned);
    for (const char *name :
         {".Git", ".env", "MacOS", "aktuell", "generate_buchhaltung.py", "verwaist"})
        verifySameAsPackaged(name);
    QCOMPARE(readFile(copied("serve.py")), QByteArray("mine"));
    QCOMPARE(entries(copied("lib")), QStringList{"eigen.txt"});
    QCOMPARE(snapshot(copied("stop.sh")), QStringList{". -> nirgends"});
    QCOMPARE(readFile(copied(".harlune-initialized")), QByteArray("initialized"));
}

// A link into a missing folder cannot be written through, even by root.
void TestProvisioning::unwritableMarkerMeansEveryResolutionProvisions()
{
    makeLink(m_root->path() + "/fehlt/marker", copied(".harlune-initialized"));
    resolve();
    QCOMPARE(entries(m_context.appSupport), provisioned);
    QVERIFY(QFile::remove(copied("stop.sh")));
    resolve();
    verifySameAsPackaged("stop.sh");
}

void TestProvisioning::markerPresentCopiesNothing()
{
    writeFile(copied(".harlune-initialized"), "");
    resolve();
    QCOMPARE(entries(m_context.appSupport), QStringList{".harlune-initialized"});
}

// Pipes cannot be copied, even by root: a directory holding one fails as a
// whole. Neither it nor what an interrupted copy left behind may appear
// half-copied, and the marker waits until a later resolution completes it.
void TestProvisioning::failedCopyLeavesNoHalfEntryAndIsRetried()
{
    const QString staging = copied(ProjectLayout::provisioningStaging());
    writeFile(staging + "/serve.py", "print('ser");
    writeFile(staging + "/lib/sub/tief.txt", "de");
    makeLink("../..", staging + "/lib/zurueck");
    QCOMPARE(::mkfifo(QFile::encodeName(packaged("lib/sub/zz-pipe")).constData(), 0600), 0);
    // Reserved names of the per-user data folder are never taken over.
    writeFile(packaged(".harlune-initialized"), "from the package");
    writeFile(packaged(ProjectLayout::provisioningStaging() + "/x"), "from the package");

    resolve();
    QStringList partial = provisioned;
    partial.removeOne("lib"), partial.removeOne(".harlune-initialized");
    QCOMPARE(entries(m_context.appSupport), partial);
    verifySameAsPackaged("serve.py");

    QVERIFY(QFile::remove(packaged("lib/sub/zz-pipe")));

    resolve();
    QCOMPARE(entries(m_context.appSupport), provisioned);
    verifySameAsPackaged("lib");
}

void TestProvisioning::concurrentFirstResolutionsProvisionOnce()
{
    for (int i = 0; i < 300; ++i)
        writeFile(packaged("lib/viele/datei-" + QString::number(i)), QByteArray(512, 'x'));

    const auto resolveElsewhere = [this] { return ProjectPaths::buchhaltungRoot(m_context); };
    std::vector<std::future<QString>> others;
    for (int i = 0; i < 3; ++i)
        others.push_back(std::async(std::launch::async, resolveElsewhere));
    resolve();
    for (std::future<QString> &other : others)
        QCOMPARE(other.get(), m_context.appSupport);
    QCOMPARE(entries(m_context.appSupport), provisioned);
    verifySameAsPackaged("lib");
}

QTEST_GUILESS_MAIN(TestProvisioning)
#include "tst_provisioning.moc"
