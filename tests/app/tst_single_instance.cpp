// One tray program per user: a later start hands a reopen to the first over a
// real local socket, also after a crash, never to another user nor from one.

#include "app/SingleInstance.h"
#include "tests/server/ServerTestSupport.h"

#include <QLocalSocket>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using ServerTestSupport::patienceMs;

class TestSingleInstance : public QObject
{
    Q_OBJECT

private slots:
    // Claimed over a socket file a crashed run left; later starts hand a
    // reopen over it. Clients that never finish their line, or send one
    // without end, are let go of soon, and many at once do not crowd out a
    // later start.
    void laterStartsHandTheFirstAReopenOverABoundedChannel()
    {
        QTemporaryDir runtime;
        const QString path = runtime.filePath(u"instance.socket"_s);
        QCOMPARE(QProcess::execute(
                         u"/usr/bin/python3"_s,
                         {u"-c"_s, u"import socket, sys; socket.socket(socket.AF_UNIX).bind(sys.argv[1])"_s, path}),
                 0);
        SingleInstance first(path);
        QSignalSpy reopens(&first, &SingleInstance::reopenRequested);
        // A reopen shows a modal alert: events keep flowing in its own loop.
        connect(&first, &SingleInstance::reopenRequested, this, [] { QTest::qWait(200); });
        QVERIFY(first.claim());
        QCOMPARE(QFileInfo(path).permissions() & 0x77, QFile::Permissions()); // only the user may connect
        std::vector<std::unique_ptr<QLocalSocket>> idle;
        for (int i = 0; i < 40; ++i) {
            idle.push_back(std::make_unique<QLocalSocket>());
            idle.back()->connectToServer(path);
            QVERIFY(idle.back()->waitForConnected(patienceMs));
        }
        QLocalSocket endless;
        endless.connectToServer(path);
        QVERIFY(endless.waitForConnected(patienceMs));
        const QByteArray chunk(64 * 1024, 'x');
        QTRY_VERIFY_WITH_TIMEOUT((endless.write(chunk), endless.state() == QLocalSocket::UnconnectedState), patienceMs);
        QTRY_VERIFY_WITH_TIMEOUT(
                std::all_of(idle.begin(), idle.end(),
                            [](const auto &socket) { return socket->state() == QLocalSocket::UnconnectedState; }),
                patienceMs);
        for (int later = 1; later <= 2; ++later) {
            QVERIFY(!SingleInstance(path).claim());
            QTRY_COMPARE_WITH_TIMEOUT(reopens.size(), later, patienceMs);
        }
    }

    // A socket's path must fit its address: 103 bytes on macOS (whose own
    // temporary folders are long), 107 on Linux.
    void socketPathFitsTheSocketAddress_data()
    {
        QTest::addColumn<QString>("tempFolder");
        QTest::addColumn<int>("limit");
        QTest::addColumn<QString>("path");
        const QString macTemp = u"/var/folders/zz/zyxvpxvq6csfxvn_n0000000000000/T"_s;
        const QString long85 = u"/"_s + QString(84, u'x');
        QTest::newRow("macOS temporary folder") << macTemp << 103 << macTemp + u"/harlune-501/instance"_s;
        QTest::newRow("fits Linux") << long85 << 107 << long85 + u"/harlune-501/instance"_s;
        QTest::newRow("too long for macOS") << long85 << 103 << u"/tmp/harlune-501/instance"_s;
        QTest::newRow("umlauts count as bytes") << u"/"_s + QString(43, u'ä') << 107 << u"/tmp/harlune-501/instance"_s;
    }

    void socketPathFitsTheSocketAddress()
    {
        QFETCH(QString, tempFolder);
        QFETCH(int, limit);
        QFETCH(QString, path);
        QCOMPARE(SingleInstance::ownSocketPath(tempFolder, 501, limit), path);
    }

    // Only a folder of this user alone holds the socket, made in the temporary folder if
    // need be; else the program runs without handing over, and a stranger (nobody) listening
    // there is left alone. A stranger's socket in our folder is replaced; one reaching ours is ignored.
    void strangersNeitherGetNorGiveAReopen()
    {
        const passwd *nobody = ::getpwnam("nobody");
        if (::geteuid() != 0 || !nobody)
            QSKIP("Only root can act as a second user (nobody) here");
        QTemporaryDir base, oursDir, openDir;
        const QString theirs = base.filePath(u"harlune-0"_s);
        const QString ours = oursDir.filePath(u"s"_s), open = openDir.filePath(u"s"_s);
        QVERIFY(::chmod(QFile::encodeName(base.path()), 0711) == 0
                && ::chmod(QFile::encodeName(openDir.path()), 0777) == 0);
        qunsetenv("XDG_RUNTIME_DIR");
        qputenv("TMPDIR", QFile::encodeName(base.path()));
        QCOMPARE(SingleInstance::defaultSocketPath(), theirs + u"/instance"_s);
        QCOMPARE(::chown(QFile::encodeName(theirs), nobody->pw_uid, 0), 0);
        QCOMPARE(SingleInstance::defaultSocketPath(), QString());

        const auto stranger = [](QProcess &process, const QString &mode, const QString &path) {
            process.start(u"/usr/bin/setpriv"_s,
                          {u"--reuid=nobody"_s, u"--regid=nogroup"_s, u"--clear-groups"_s, u"/usr/bin/python3"_s,
                           u"-c"_s, uR"(import socket, sys
s, path = socket.socket(socket.AF_UNIX), sys.argv[2]
if sys.argv[1] == 'listen': s.bind(path); s.listen(); print('bereit', flush=True); list(iter(s.accept, 0))
s.connect(path); s.sendall(b'reopen\n'); print('verbunden', flush=True); s.recv(1))"_s,
                           mode, path});
            return process.waitForReadyRead(patienceMs);
        };
        ServerTestSupport::ChildProcess listener, squatter, caller;
        QVERIFY(stranger(listener, u"listen"_s, open));
        QVERIFY(SingleInstance(open).claim());
        QCOMPARE(QFileInfo(open).ownerId(), nobody->pw_uid);

        QVERIFY(stranger(squatter, u"listen"_s, theirs + u"/s"_s));
        QCOMPARE(::rename(QFile::encodeName(theirs + u"/s"_s), QFile::encodeName(ours)), 0);
        SingleInstance first(ours);
        QSignalSpy reopens(&first, &SingleInstance::reopenRequested);
        QVERIFY(first.claim());

        QCOMPARE(::chmod(QFile::encodeName(oursDir.path()), 0711) | ::chmod(QFile::encodeName(ours), 0777), 0);
        QVERIFY(stranger(caller, u"connect"_s, ours));                                // it got through
        QTRY_VERIFY_WITH_TIMEOUT(caller.state() == QProcess::NotRunning, patienceMs); // as we closed
        QCOMPARE(reopens.size(), 0);
    }
};

QTEST_MAIN(TestSingleInstance)
#include "tst_single_instance.moc"
