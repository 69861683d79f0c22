// One tray program per user: a second start hands a reopen to the first,
// through a real local socket, also after a crash left the socket behind.

#include "app/SingleInstance.h"
#include "tests/server/ServerTestSupport.h"

#include <QEventLoop>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <sys/stat.h>

class TestSingleInstance : public QObject
{
    Q_OBJECT

private slots:
    void laterStartsHandTheFirstAReopen();
    void socketLeftByACrashIsTakenOver();
};

void TestSingleInstance::laterStartsHandTheFirstAReopen()
{
    QTemporaryDir runtime;
    const QString path = runtime.filePath(QStringLiteral("instance.socket"));
    SingleInstance first(path);
    QSignalSpy reopens(&first, &SingleInstance::reopenRequested);
    // A reopen shows a modal alert: events keep flowing in its own loop.
    connect(&first, &SingleInstance::reopenRequested, this, [] {
        QEventLoop alert;
        QTimer::singleShot(200, &alert, &QEventLoop::quit);
        alert.exec();
    });
    QVERIFY(first.claim());

    // Only the user may connect.
    struct stat info {};
    QCOMPARE(::stat(path.toLocal8Bit().constData(), &info), 0);
    QVERIFY(S_ISSOCK(info.st_mode));
    QCOMPARE(info.st_mode & (S_IRWXG | S_IRWXO), 0u);

    SingleInstance second(path);
    QVERIFY(!second.claim());
    QTRY_COMPARE_WITH_TIMEOUT(reopens.size(), 1, ServerTestSupport::patienceMs);
    SingleInstance third(path);
    QVERIFY(!third.claim());
    QTRY_COMPARE_WITH_TIMEOUT(reopens.size(), 2, ServerTestSupport::patienceMs);
}

void TestSingleInstance::socketLeftByACrashIsTakenOver()
{
    QTemporaryDir runtime;
    const QString path = runtime.filePath(QStringLiteral("instance.socket"));
    // A process that bound the socket and died without cleaning up.
    QProcess crashed;
    crashed.start(QStringLiteral("/usr/bin/python3"),
                  {QStringLiteral("-c"),
                   QStringLiteral("import socket, sys, os\n"
                                  "s = socket.socket(socket.AF_UNIX)\n"
                                  "s.bind(sys.argv[1])\n"
                                  "s.listen()\n"
                                  "os._exit(0)\n"),
                   path});
    QVERIFY(crashed.waitForFinished(ServerTestSupport::patienceMs));
    QVERIFY(QFileInfo::exists(path));

    SingleInstance revived(path);
    QSignalSpy reopens(&revived, &SingleInstance::reopenRequested);
    QVERIFY(revived.claim());
    SingleInstance later(path);
    QVERIFY(!later.claim());
    QTRY_COMPARE_WITH_TIMEOUT(reopens.size(), 1, ServerTestSupport::patienceMs);
}

QTEST_MAIN(TestSingleInstance)
#include "tst_single_instance.moc"
