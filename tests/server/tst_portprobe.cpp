#include "ServerTestSupport.h"
#include "platform/PortProbe.h"
#include "platform/ProcessHandle.h"
#include "platform/linux/KernelSockets.h"
#include "server/ServerManager.h"
#include "server/ServerState.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace ServerTestSupport;
using namespace Qt::StringLiterals;

namespace {

// No lsof to start: the kernel must answer alone (netlink; /proc tables below).
const PortProbe::Sources procAlone{QStringLiteral("/proc"), QStringLiteral("/nonexistent/lsof")};

// Sets up one case on a port of the kernel's choice, prints "port holder"
// (holder 0: nobody is to be named; port 0: no IPv6 here) and stays.
const QString fixture = QStringLiteral(R"(
import ctypes, os, socket, sys, time
mode, holder, V6 = sys.argv[1], os.getpid(), socket.AF_INET6
def listener(family=socket.AF_INET, host='127.0.0.1', v6only=None, listen=True):
    s = socket.socket(family)
    if v6only is not None: s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, v6only)
    s.bind((host, 0)); s.listen() if listen else None
    return s
def forked():  # a child that goes when this process goes
    pid = os.fork(); pid or ctypes.CDLL(None).prctl(1, 9); return pid
if mode == 'client-lower':  # the listener's process is younger than its client
    r, w = os.pipe(); holder = forked()
    if holder == 0: s = listener(); os.write(w, b'%d' % s.getsockname()[1]); time.sleep(120)
    port = int(os.read(r, 16)); client = socket.create_connection(('127.0.0.1', port))
elif mode == 'v6-stranger':  # another program on [::1], older; ours on 127.0.0.1
    try: s = listener(V6, '::1', 1)
    except OSError: s = None
    port, holder = s.getsockname()[1] if s else 0, 0
    r, w = os.pipe(); holder = forked() if s else 0
    if s and holder == 0: t = socket.create_server(('127.0.0.1', port)); os.write(w, b'1'); time.sleep(120)
    s and os.read(r, 1)
elif mode == 'time-wait':  # the accepting side closes first and keeps TIME_WAIT
    s = listener(); port, holder = s.getsockname()[1], 0
    c = socket.create_connection(('127.0.0.1', port)); a = s.accept()[0]
    a.close(); time.sleep(0.1); c.close(); s.close(); time.sleep(0.1)
    assert any(l.split()[1].endswith(':%04X' % port) and l.split()[3] == '06' for l in open('/proc/net/tcp'))
else:
    try: s = {'v6-only': lambda: listener(V6, '::1', 1), 'dual-stack': lambda: listener(V6, '::', 0),
              'bound': lambda: listener(listen=False),
              'nobody': lambda: socket.create_server(('127.0.0.1', 0))}.get(mode, listener)()
    except OSError: s = None
    # A listener on [::1] alone is reached by nobody who asks 127.0.0.1.
    port, holder = s.getsockname()[1] if s else 0, 0 if mode in ('bound', 'v6-only') else holder
    if mode == 'shared':  # parent and child hold it; PIDs wrap, so either may be lower
        child = forked(); child or time.sleep(120); holder = min(holder, child)
print('%d %d' % (port, holder), flush=True)
if mode == 'shared':  # then the parent lets go of it: the child alone holds it
    sys.stdin.readline(); s.close(); print('%d %d' % (port, child), flush=True)
while mode == 'nobody':  # listens anew, on another socket, after each connection
    c = s.accept()[0]; s.close(); s = socket.create_server(('127.0.0.1', port)); c.close()
time.sleep(120)
)");

} // namespace

class PortProbeTest : public QObject
{
    Q_OBJECT

private slots:
    // What the real sockets below do not show: order, malformed output.
    void readsLsofsListeners_data()
    {
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<PortStatus>("answer");
        QTest::newRow("127.0.0.1 before every address")
                << QByteArray("p7\nf3\nn*:8765\np12\nf4\nn127.0.0.1:8765\np9\nf3\nn[::1]:8765\n")
                << PortStatus::held(12);
        QTest::newRow("number above 32 bits") << QByteArray("p2147483648\nn*:8765\n") << PortStatus::unknown();
        QTest::newRow("name before a process") << QByteArray("n*:8765\n") << PortStatus::unknown();
        QTest::newRow("unknown field") << QByteArray("p12\nx\n") << PortStatus::unknown();
        QTest::newRow("not UTF-8") << QByteArray("p12\xff\n") << PortStatus::unknown();
    }

    void readsLsofsListeners()
    {
        QFETCH(QByteArray, output);
        QFETCH(PortStatus, answer);
        QCOMPARE(PortProbe::parseLsof(output), answer);
    }

    void readsOnlyWholeListenerRows_data()
    {
        QTest::addColumn<QByteArray>("table");
        QTest::addColumn<QList<quint64>>("inodes");
        using I = QList<quint64>;
        const QByteArray v4 = "   0: 0100007F:1F90 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1000"
                              "        0 4242 1 0000000000000000 100 0 0 10 0\n";
        const auto v4With = [&v4](const char *from, const char *to) { return QByteArray(v4).replace(from, to); };
        // Where a connection to 127.0.0.1 never arrives; the rows the kernel writes are read on real sockets below.
        QTest::newRow("other IPv4 address") << v4With("0100007F:", "0101A8C0:") << I{};
        QTest::newRow("cut off, no line feed") << v4.chopped(1) << I{};
        QTest::newRow("cut inside the inode") << v4.left(v4.indexOf(" 4242") + 3) + '\n' << I{};
        QTest::newRow("port above 16 bits") << v4With(":1F90", ":11F90") << I{};
        QTest::newRow("inode above 64 bits") << v4With(" 4242 ", " 18446744073709551616 ") << I{};
        QTest::newRow("separators only") << QByteArray(": : : : : : : : : : : :\n\n\n") << I{};
        QTest::newRow("binary, then a row") << QByteArray("\0\xff:\t0A\n", 7) + v4 << I{4242};
    }

    void readsOnlyWholeListenerRows()
    {
        QFETCH(QByteArray, table);
        QFETCH(QList<quint64>, inodes);
        QCOMPARE(KernelSockets::listenersInTable(table, 0x1F90), inodes);
        for (qsizetype length = 0; length < table.size(); ++length)
            KernelSockets::listenersInTable(table.first(length), 0x1F90); // every cut reads without a crash
    }

    // The real lsof and the probe side by side, on real sockets.
    void answersAsLsofDoes_data()
    {
        QTest::addColumn<QString>("mode");
        for (const char *mode : {"", "v4", "v6-only", "v6-stranger", "dual-stack", "client-lower", "bound", "time-wait",
                                 "shared", "nobody"})
            QTest::newRow(*mode ? mode : "nothing listening") << QString::fromLatin1(mode);
    }

    void answersAsLsofDoes()
    {
        QFETCH(QString, mode);
        ChildProcess process;
        quint16 port = freePort();
        qint32 holder = 0;
        if (!mode.isEmpty()) {
            QStringList command{u"/usr/bin/python3"_s, u"-c"_s, fixture, mode};
            if (mode == u"nobody") // a listener of another user
                command = u"/usr/bin/setpriv --reuid=65534 --regid=65534 --clear-groups"_s.split(u' ') + command;
            if (mode == u"nobody" && geteuid() != 0)
                QSKIP("only root can start a process as another user");
            process.start(command.takeFirst(), command);
            QVERIFY(process.waitForReadyRead(patienceMs));
            QTextStream(process.readLine()) >> port >> holder;
            if (port == 0)
                QSKIP("no IPv6 on this machine");
        }
        // Again once the holder changed under the same socket: a holder found before is not taken on trust.
        for (int round = 0; round < (mode == u"shared" ? 2 : 1); ++round) {
            if (round == 1) {
                process.write("\n");
                QVERIFY(process.waitForReadyRead(patienceMs));
                QTextStream(process.readLine()) >> port >> holder;
            }
            const std::optional<qint32> expected = holder ? std::optional(holder) : std::nullopt;
            const PortStatus answer = expected ? PortStatus::held(expected) : PortStatus::free();
            QCOMPARE(PortProbe::askLsof(u"/usr/bin/lsof"_s, port, patienceMs), answer);
            QCOMPARE(PortProbe::probe(procAlone, port), answer);
            // The next update has it at once, without a look at every process.
            QCOMPARE(PortProbe::probeAtOnce(procAlone, port), std::optional(answer));
        }
        QCOMPARE(KernelSockets::listeningInodes(QByteArray("/proc"), port), KernelSockets::loopbackListener(port));
        if (mode == u"nobody") { // a third user can look into neither: held, by a process it cannot name
            QTemporaryDir dir;   // lsof through a wrapper that counts its runs, for that user
            const PortProbe::Sources counting{u"/proc"_s, dir.filePath(u"lsof"_s)};
            const QString runs = dir.filePath(u"runs"_s);
            QVERIFY(writeFile(counting.lsofPath, "#!/bin/sh\necho >>\"${0%/*}/runs\"\nexec /usr/bin/lsof \"$@\"\n")
                    && writeFile(runs, ""));
            QVERIFY(chmod(qPrintable(dir.path()), 0755) == 0 && chmod(qPrintable(counting.lsofPath), 0755) == 0
                    && chmod(qPrintable(runs), 0666) == 0);
            const auto runsAfterProbe = [&] {
                return PortProbe::probe(counting, port) == PortStatus::held({}) ? readFile(runs).size() : -1;
            };
            const pid_t child = fork();
            if (child == 0) {
                // Not at once: only a look at every process tells that none of them can be seen.
                bool ok = setresgid(65533, 65533, 65533) == 0 && setresuid(65533, 65533, 65533) == 0
                        && PortProbe::probe(procAlone, port) == PortStatus::held({})
                        && !PortProbe::probeAtOnce(procAlone, port);
                // lsof once for that socket; a connection makes the holder listen anew, and that is asked about.
                const auto before = KernelSockets::loopbackListener(port);
                ok = ok && runsAfterProbe() == 1 && runsAfterProbe() == 1;
                const int client = ::socket(AF_INET, SOCK_STREAM, 0);
                const sockaddr_in address{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
                ok = ok && ::connect(client, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
                const QDeadlineTimer deadline(patienceMs);
                while (ok && !deadline.hasExpired()
                       && (KernelSockets::loopbackListener(port) == before
                           || KernelSockets::loopbackListener(port)->isEmpty()))
                    QThread::msleep(10);
                _exit(ok && runsAfterProbe() == 2 && runsAfterProbe() == 2 ? 0 : 1);
            }
            int status = -1;
            QVERIFY(waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0);
        }
    }

    void hangingLsofIsKilledAndTheLastAnswerStands()
    {
        ChildProcess listener;
        QTemporaryDir dir;
        ServerManager::Config config;
        config.lsofPath = dir.filePath(u"lsof"_s);
        QVERIFY(writeFile(config.lsofPath,
                          "#!/bin/bash\ncd \"$(dirname \"$0\")\"\n"
                          "if [ -e hang ]; then echo $$ > pid; exec /bin/sleep 60; fi\nexec /usr/bin/lsof \"$@\"\n"));
        QFile::setPermissions(config.lsofPath, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        // This project's serve.py, started by hand in its folder.
        QVERIFY(writeFile(dir.filePath(u"serve.py"_s),
                          "import socket, time\ns = socket.create_server(('127.0.0.1', 0))\n"
                          "print(s.getsockname()[1], flush=True)\ntime.sleep(120)\n"));
        listener.setWorkingDirectory(dir.path());
        listener.start(u"/usr/bin/python3"_s, {u"serve.py"_s});
        QVERIFY(listener.waitForReadyRead(patienceMs));
        config.port = listener.readLine().trimmed().toUShort();
        config.projectRoot = [root = dir.path()] { return root; };
        config.procFolder = dir.filePath(u"kein-proc"_s); // lsof alone
        ServerState state(config);
        const PortStatus held = PortStatus::held(qint32(listener.processId()));
        QCOMPARE(state.observe().pid, held.pid); // a server started elsewhere is adopted

        // A stop forgot the server; now lsof hangs, is killed, and gives no answer.
        state.server.set(std::nullopt);
        QVERIFY(writeFile(dir.filePath(u"hang"_s), ""));
        const ServerObservation hanging = state.observe();
        const qint32 hung = readFile(dir.filePath(u"pid"_s)).trimmed().toInt();
        QVERIFY(hung > 0 && !ProcessHandle::open(hung));
        QVERIFY(hanging.running && hanging.port == held);
        QCOMPARE(hanging.pid, std::nullopt); // nothing adopted from an old answer
        // The last answer stands only while the process it named lives.
        listener.kill();
        QVERIFY(listener.waitForFinished());
        QVERIFY(!state.observe().running);
        QVERIFY(QFile::remove(dir.filePath(u"hang"_s)));
        const ServerObservation free = state.observe();
        QVERIFY(!free.running && free.port == PortStatus::free());
    }
};

QTEST_GUILESS_MAIN(PortProbeTest)
#include "tst_portprobe.moc"
