// One tray program per user: a later start hands a reopen to the first
// through a real local socket, also after a crash left the socket behind.

#include "app/SingleInstance.h"
#include "tests/server/ServerTestSupport.h"

#include <QEventLoop>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/stat.h>

using namespace Qt::StringLiterals;
using ServerTestSupport::patienceMs;

class TestSingleInstance : public QObject
{
    Q_OBJECT

private slots:
    void laterStartsHandTheFirstAReopenEvenAfterACrash()
    {
        // A process that bound the socket and died without cleaning up.
        QTemporaryDir runtime;
        const QString path = runtime.filePath(u"instance.socket"_s);
        QProcess crashed;
        crashed.start(u"/usr/bin/python3"_s, {u"-c"_s, u"import socket, sys, os\n"
                                                      u"socket.socket(socket.AF_UNIX).bind(sys.argv[1])\n"
                                                      u"os._exit(0)\n"_s, path});
        QVERIFY(crashed.waitForFinished(patienceMs));
        QVERIFY(QFileInfo::exists(path));

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

        for (int later = 1; later <= 2; ++later) {
            QVERIFY(!SingleInstance(path).claim());
            QTRY_COMPARE_WITH_TIMEOUT(reopens.size(), later, patienceMs);
        }
    }
};

QTEST_MAIN(TestSingleInstance)
#include "tst_single_instance.moc"
