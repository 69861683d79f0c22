#include "platform/ChildDescriptors.h"
#include "platform/EntryFile.h"
#include "platform/ExclusiveRename.h"
#include "platform/Executable.h"
#include "platform/ForegroundActivation.h"
#include "platform/LaunchArguments.h"
#include "platform/MakePath.h"
#include "platform/NoticeRoute.h"
#include "platform/PortProbe.h"
#include "platform/ProcessHandle.h"
#include "platform/PythonChoice.h"
#include "platform/UserFolders.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

class PlatformTest : public QObject
{
    Q_OBJECT

private slots:
    // Inside X.app/Contents/MacOS the bundle is X.app; anywhere else the executable's folder.
    void bundleFolderFromTheExecutablesPath()
    {
        for (const auto &[executable, bundle] :
             {std::pair{u"/Applications/Harlune.app/Contents/MacOS/Harlune"_s, u"/Applications/Harlune.app"_s},
              {u"/src/build/bin/harlune-kommandozentrale"_s, u"/src/build/bin"_s},
              {u"/opt/X/Contents/MacOS/x"_s, u"/opt/X/Contents/MacOS"_s},         // no .app
              {u"/opt/.app/Contents/MacOS/x"_s, u"/opt/.app/Contents/MacOS"_s},   // a bare ".app" name
              {u"/opt/X.app/contents/macos/x"_s, u"/opt/X.app/contents/macos"_s}, // case differs
              {u"/x"_s, u"/"_s},
              {u""_s, u""_s}})
            QCOMPARE(Executable::bundleDirFor(executable), bundle);
    }

    void xdgBaseFoldersMustBeAbsolute()
    {
        for (const auto &[value, folder] : {std::pair{u"/home/a/daten/"_s, u"/home/a/daten"_s},
                                            {u"daten"_s, u"/fallback"_s},
                                            {u"~/daten"_s, u"/fallback"_s},
                                            {u""_s, u"/fallback"_s}})
            QCOMPARE(UserFolders::xdgBase(value, u"/fallback"_s), folder);
    }

    void processSerialNumbersAreDropped()
    {
        using L = QStringList;
        // clang-format off
        for (const auto &[arguments, kept] : {std::pair{L{u"prog"_s, u"-psn_0_123"_s}, L{u"prog"_s}}, // Finder's first start
                                              {L{u"prog"_s, u"--autostart"_s, u"-psn_0_9"_s, u"on"_s}, L{u"prog"_s, u"--autostart"_s, u"on"_s}},
                                              {L{u"prog"_s, u"x-psn_0"_s, u"-psn"_s}, L{u"prog"_s, u"x-psn_0"_s, u"-psn"_s}}, // only as a prefix
                                              {L{u"-psn_0_1"_s}, L{u"-psn_0_1"_s}}, // the program's name stays
                                              {L{}, L{}}})
            QCOMPARE(LaunchArguments::withoutProcessSerialNumbers(arguments), kept);
        // clang-format on
    }

    // "usable": the candidates that exist and answer, by index into the macOS list.
    void pythonIsChosenInOrder_data()
    {
        QTest::addColumn<bool>("developerTools");
        QTest::addColumn<QList<int>>("usable");
        QTest::addColumn<int>("chosen"); // -1: none
        using U = QList<int>;
        QTest::newRow("system, with the tools") << true << U{0, 1, 2, 3} << 0;
        QTest::newRow("system stub, no tools") << false << U{0, 1, 2, 3} << 1;
        QTest::newRow("Homebrew on Intel") << false << U{0, 2} << 2;
        QTest::newRow("python.org") << true << U{3} << 3;
        QTest::newRow("tools, but no system Python") << true << U{2, 3} << 2;
        QTest::newRow("nothing usable") << false << U{0} << -1;
        QTest::newRow("nothing at all") << true << U{} << -1;
    }

    void pythonIsChosenInOrder()
    {
        QFETCH(bool, developerTools);
        QFETCH(QList<int>, usable);
        QFETCH(int, chosen);
        const QList<PythonChoice::Candidate> candidates = PythonChoice::macCandidates();
        QCOMPARE(candidates.size(), 4);
        QStringList asked;
        const auto answers = [&](const QString &path) {
            asked.append(path);
            for (const int index : usable)
                if (candidates[index].path == path)
                    return true;
            return false;
        };
        const std::optional<QString> expected = chosen < 0 ? std::nullopt : std::optional(candidates[chosen].path);
        QCOMPARE(PythonChoice::choose(candidates, developerTools, answers), expected);
        // The stub is never run without the tools: it would offer to install them.
        QCOMPARE(asked.contains(candidates[0].path), developerTools);
    }

    // Where the notice of a server that ended by itself goes, by (started
    // from its .app, the centre refused the program, the user's answer to
    // the system's question); and the activation call macOS 14 honours
    // (alerts stayed behind the browser).
    void macOsNoticeAndActivationFollowTheSystem()
    {
        using P = NoticeRoute::Permission;
        using R = NoticeRoute::Route;
        for (const auto &[bundle, refused, answer, route] :
             {std::tuple{true, false, P::Allowed, R::SystemNotice},
              {true, false, P::Denied, R::MenuOnly}, // turned off: not overruled
              {true, false, P::NotAnswered, R::Alert},
              {false, false, P::Allowed, R::Alert}, // no bundle: no centre to ask
              {true, true, P::Denied, R::Alert},
              {true, true, P::Allowed, R::Alert}}) // unsigned: never shown there
            QCOMPARE(NoticeRoute::choose(bundle, refused, answer), route);
        using C = ForegroundActivation::Call;
        for (const auto &[major, call] : {std::pair{11, C::ActivateIgnoringOtherApps},
                                          {13, C::ActivateIgnoringOtherApps},
                                          {14, C::Activate},
                                          {26, C::Activate}})
            QCOMPARE(ForegroundActivation::callFor(major), call);
        // Only a web page that an alert of the program's follows opens behind it.
        using F = ForegroundActivation::Front;
        for (const auto &[url, front, behind] : {std::tuple{"http://127.0.0.1:8765/", F::Program, true},
                                                 {"https://127.0.0.1:8765/", F::Program, true},
                                                 {"http://127.0.0.1:8765/", F::Opened, false},
                                                 {"file:///tmp/logs", F::Program, false}})
            QCOMPARE(ForegroundActivation::opensBehind(QUrl(QString::fromLatin1(url)), front), behind);
    }

    void runningProgramIsFound()
    {
        QCOMPARE(Executable::path(), QFileInfo(QCoreApplication::applicationFilePath()).canonicalFilePath());
    }

    // The real lsof on a real listener: the holder by its process number.
    void lsofNamesTheListener()
    {
        QProcess listener;
        listener.start(u"/usr/bin/python3"_s,
                       {u"-c"_s,
                        u"import socket, time\ns = socket.create_server(('127.0.0.1', 0))\n"
                        "print(s.getsockname()[1], flush=True)\ntime.sleep(60)\n"_s});
        QVERIFY(listener.waitForReadyRead(20000));
        const qint64 port = listener.readLine().trimmed().toLongLong();
        QCOMPARE(PortProbe::askLsof(PortProbe::systemSources().lsofPath, port, 20000),
                 PortStatus::held(qint32(listener.processId())));
        listener.kill();
        listener.waitForFinished();
    }

    // A process is known by its identity: one that has ended stays ended
    // (a zombie until its parent reaps it, then a number for another), and
    // one found by its number is the one that existed at the moment asked.
    void processHandleKnowsItsProcess()
    {
        QVERIFY(ProcessHandle::open(qint32(::getpid())));
        QVERIFY(!ProcessHandle::open(0) && !ProcessHandle::open(-1));
        const ProcessHandle::Moment before = ProcessHandle::now();
        int gate[2];
        QVERIFY(::pipe(gate) == 0);
        const pid_t child = ::fork();
        if (child == 0) {
            ::close(gate[1]);
            char byte = 0;
            ::_exit(int(::read(gate[0], &byte, 1)));
        }
        QVERIFY(child > 0);
        ::close(gate[0]);
        QVERIFY(!ProcessHandle::open(child, before)); // younger than the moment
        QVERIFY(ProcessHandle::open(qint32(::getppid()), before));
        const std::optional<ProcessHandle> handle = ProcessHandle::open(child);
        QVERIFY(handle && handle->isAlive() && handle->pid() == child && handle == ProcessHandle::open(child));
        ::close(gate[1]);
        siginfo_t info{};
        // Waits for its end but leaves it unreaped: a zombie for certain.
        QCOMPARE(::waitid(P_PID, id_t(child), &info, WEXITED | WNOWAIT), 0);
        QCOMPARE(::kill(child, 0), 0);
        QVERIFY(!handle->isAlive() && !ProcessHandle::open(child) && ProcessHandle::ofUnreaped(child));
        QCOMPARE(::waitpid(child, nullptr, 0), child);
        QVERIFY(!handle->isAlive() && !handle->signal(0) && !ProcessHandle::open(child));
    }

    void foldersAreMadeOrTheReasonIsGiven()
    {
        QTemporaryDir root;
        QCOMPARE(MakePath::create(root.filePath(u"a/b/c"_s)), std::nullopt);
        QVERIFY(QFileInfo(root.filePath(u"a/b/c"_s)).isDir());
        QCOMPARE(MakePath::create(root.filePath(u"a/b/c"_s)), std::nullopt); // there already
        QVERIFY(QFile::link(root.filePath(u"a"_s), root.filePath(u"link"_s)));
        QCOMPARE(MakePath::create(root.filePath(u"link/b/d"_s)), std::nullopt);
        QFile file(root.filePath(u"datei"_s));
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(MakePath::create(root.filePath(u"datei/x"_s)),
                 root.filePath(u"datei"_s) + u": Eine Datei steht im Weg, wo ein Ordner sein müsste ("_s
                         + qt_error_string(ENOTDIR) + u")"_s);
    }

    // A link at the path, dangling or to a user's file, is replaced; nothing
    // outside the folder is written.
    void entryFileReplacesLinksWithoutFollowing()
    {
        QTemporaryDir root;
        QVERIFY(QDir().mkpath(root.filePath(u"autostart"_s)));
        QFile own(root.filePath(u"meine-datei"_s));
        QVERIFY(own.open(QIODevice::WriteOnly) && own.write("wichtig") == 7);
        own.close();
        const QString entry = root.filePath(u"autostart/x.desktop"_s);
        for (const QString &target : {root.filePath(u"meine-datei"_s), root.filePath(u"anderswo/neu"_s)}) {
            QFile::remove(entry);
            QVERIFY(QFile::link(target, entry));
            QCOMPARE(EntryFile::replace(entry, "[Desktop Entry]\n"), std::nullopt);
            QVERIFY(!QFileInfo(entry).isSymLink());
            QFile written(entry);
            QVERIFY(written.open(QIODevice::ReadOnly) && written.readAll() == "[Desktop Entry]\n");
            QCOMPARE(written.permissions() & 0x0777,
                     QFile::ReadUser | QFile::WriteUser | QFile::ReadGroup | QFile::ReadOther);
        }
        QVERIFY(own.open(QIODevice::ReadOnly) && own.readAll() == "wichtig");
        QVERIFY(!QFileInfo::exists(root.filePath(u"anderswo"_s)));
        QCOMPARE(QDir(root.filePath(u"autostart"_s)).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{u"x.desktop"_s});
        QVERIFY(EntryFile::replace(root.filePath(u"fehlt/x"_s), "x").has_value());
    }

    void renameNeverReplaces()
    {
        QTemporaryDir root;
        for (const char *name : {"a", "b"}) {
            QFile file(root.filePath(QLatin1String(name)));
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(name) == 1);
        }
        const QByteArray a = QFile::encodeName(root.filePath(u"a"_s));
        const QByteArray b = QFile::encodeName(root.filePath(u"b"_s));
        QVERIFY(!ExclusiveRename::renameNoReplace(a, b));
        QCOMPARE(errno, EEXIST);
        QVERIFY(ExclusiveRename::renameNoReplace(a, QFile::encodeName(root.filePath(u"c"_s))));
        QFile b2(root.filePath(u"b"_s));
        QVERIFY(b2.open(QIODevice::ReadOnly) && b2.readAll() == "b" && !QFile::exists(root.filePath(u"a"_s)));
    }

    void inheritedDescriptorsAreClosedOnExec()
    {
        const int fd = ::open("/dev/null", O_RDONLY); // no O_CLOEXEC: as if inherited
        QVERIFY(fd > 2 && !(::fcntl(fd, F_GETFD) & FD_CLOEXEC));
        ChildDescriptors::markCloseOnExec();
        QVERIFY(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
        QVERIFY(!(::fcntl(STDERR_FILENO, F_GETFD) & FD_CLOEXEC));
        ::close(fd);
    }
};

QTEST_GUILESS_MAIN(PlatformTest)
#include "tst_platform.moc"
