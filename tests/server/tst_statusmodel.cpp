// The status model driven by probes of the test's making: when it asks the
// server's interface, which answers it still lets through, how requests
// made while a probe runs are merged, and how long a look lasts.

#include "server/StatusModel.h"

#include "ServerTestSupport.h"

using namespace ServerTestSupport;
using namespace Qt::StringLiterals;

namespace {

ServerObservation seen(bool running)
{
    ServerObservation observation;
    observation.running = running;
    return observation;
}

// Probes that answer at once, as the kernel mostly does, with `running`.
StatusModel::Probes answeringAtOnce(const bool &running, StatusModel::VersionFetch fetch = {})
{
    return {.observeAtOnce = [&running] { return std::optional(seen(running)); },
            .observe = {},
            .logEnding = [] { return QString(); },
            .fetchVersion = std::move(fetch),
            .holderChanged = {}};
}

// A probe on a worker that answers only when let: requests made meanwhile
// find a probe under way. Each answer is what was true when it was asked,
// with the number of the probe as the PID.
struct Gate
{
    QMutex lock;
    QWaitCondition opened;
    int open = 0;
    int asked = 0;
    bool running = true;

    ServerObservation answer()
    {
        QMutexLocker locker(&lock);
        ServerObservation observation = seen(running);
        observation.pid = ++asked;
        while (open == 0)
            opened.wait(&lock);
        --open;
        return observation;
    }
    void release(int answers = 1)
    {
        QMutexLocker locker(&lock);
        open += answers;
        opened.wakeAll();
    }
    int askedSoFar()
    {
        QMutexLocker locker(&lock);
        return asked;
    }
};

} // namespace

class StatusModelTest : public QObject
{
    Q_OBJECT

private slots:
    // r/s: an update finds the server running/stopped; o/c: the menu opens/
    // closes; b/e: a command of ours begins/ends (finding it running);
    // a/n: the interface's pending answers come, with a version/without.
    void interfaceIsAskedWhenSomeoneCanSeeIt_data()
    {
        using Api = ServerStatus::Api;
        QTest::addColumn<QString>("events");
        QTest::addColumn<int>("asked");
        QTest::addColumn<Api>("api");
        QTest::newRow("comes up unlooked at: once") << u"rra"_s << 1 << Api::Online;
        QTest::newRow("comes again: once more") << u"rrsrra"_s << 2 << Api::Online;
        QTest::newRow("looked at: on opening and each update") << u"rora"_s << 3 << Api::Online;
        QTest::newRow("closed again: no more") << u"rocra"_s << 2 << Api::Online;
        QTest::newRow("no answer") << u"rn"_s << 1 << Api::NoAnswer;
        QTest::newRow("stopped: nothing asked") << u"os"_s << 0 << Api::Offline;
        QTest::newRow("gone before the answer") << u"rsa"_s << 1 << Api::Offline;
        QTest::newRow("answer from before a command") << u"rbea"_s << 1 << Api::Unknown;
    }
    void interfaceIsAskedWhenSomeoneCanSeeIt()
    {
        QFETCH(QString, events);
        QFETCH(int, asked);
        QFETCH(ServerStatus::Api, api);
        bool running = false;
        std::vector<std::function<void(const std::optional<QString> &)>> pending;
        int fetches = 0;
        StatusModel model(
                answeringAtOnce(running, [&](auto answer) { ++fetches, pending.push_back(std::move(answer)); }));
        for (const QChar event : events) {
            switch (event.toLatin1()) {
            case 'r':
            case 's':
                running = event == u'r';
                model.requestUpdate();
                break;
            case 'o': model.setObserved(true); break;
            case 'c': model.setObserved(false); break;
            case 'b': model.operationBegan(ServerStatus::Operation::Restart); break;
            case 'e': model.operationEnded(seen(true)); break;
            default:
                for (const auto &answer : std::exchange(pending, {}))
                    answer(event == u'a' ? std::optional(u"5"_s) : std::nullopt);
            }
        }
        QCOMPARE(fetches, asked);
        QCOMPARE(model.current().api, api);
        QCOMPARE(model.current().underWay, ServerStatus::Operation::None);
    }

    // r/s: an update finds the server running/stopped; b/e: a command of
    // ours that may stop it begins/reports back.
    void unexpectedStopIsToldOncePerStopNobodyHereCaused_data()
    {
        QTest::addColumn<QString>("events");
        QTest::addColumn<QString>("notices"); // '1' where an update gives one
        QTest::newRow("killed from outside, once") << u"rrss"_s << u"0010"_s;
        QTest::newRow("launch with it stopped") << u"ss"_s << u"00"_s;
        QTest::newRow("stop, tick under way") << u"rbses"_s << u"0-0-0"_s;
        QTest::newRow("stop, update on its report") << u"rbes"_s << u"0--0"_s;
        QTest::newRow("restart, then killed") << u"rbsrers"_s << u"0-00-01"_s;
    }
    void unexpectedStopIsToldOncePerStopNobodyHereCaused()
    {
        QFETCH(QString, events);
        QFETCH(QString, notices);
        StopWatch watch;
        for (qsizetype i = 0; i < events.size(); ++i) {
            switch (events[i].toLatin1()) {
            case 'b': watch.ownCommandBegan(); break;
            case 'e': watch.ownCommandEnded(); break;
            default: QCOMPARE(watch.observe(events[i] == u'r'), notices[i] == u'1');
            }
        }
    }

    // Requests while a probe runs become one more probe after it, and an
    // answer asked for before a command began or ended changes nothing.
    void requestsMergeAndLateAnswersAreDropped()
    {
        auto gate = std::make_shared<Gate>();
        StatusModel model(StatusModel::Probes{
                .observeAtOnce = [] { return std::optional<ServerObservation>(); },
                .observe = [gate] { return gate->answer(); },
                .logEnding = [] { return QString(); },
                .fetchVersion = {},
                .holderChanged = {},
        });
        QSignalSpy stops(&model, &StatusModel::unexpectedStop);
        const auto cleanup = qScopeGuard([&gate] { gate->release(100); });
        for (int i = 0; i < 3; ++i)
            model.requestUpdate();
        gate->release();
        QTRY_COMPARE_WITH_TIMEOUT(model.current().pid, std::optional<qint32>(1), patienceMs);
        QTRY_COMPARE_WITH_TIMEOUT(gate->askedSoFar(), 2, patienceMs); // the merged request
        gate->release();
        QTRY_COMPARE_WITH_TIMEOUT(model.current().pid, std::optional<qint32>(2), patienceMs);
        QCOMPARE(gate->askedSoFar(), 2);
        model.requestUpdate(); // asked while the server runs, and slow to answer
        QTRY_COMPARE_WITH_TIMEOUT(gate->askedSoFar(), 3, patienceMs);
        model.operationBegan(ServerStatus::Operation::Stop);
        {
            QMutexLocker locker(&gate->lock);
            gate->running = false;
        }
        model.operationEnded(ServerObservation());
        QVERIFY(!model.current().running);
        // The next request waits for the late answer: once it is asked, the
        // late one has landed.
        model.requestUpdate();
        gate->release();
        QTRY_COMPARE_WITH_TIMEOUT(gate->askedSoFar(), 4, patienceMs);
        QVERIFY(!model.current().running);
        gate->release();
        QTRY_COMPARE_WITH_TIMEOUT(model.current().pid, std::optional<qint32>(4), patienceMs);
        QCOMPARE(stops.size(), 0);
    }

    // A server no longer seen is let go of: the descriptor that watched for
    // its end is closed, not kept for as long as the program runs.
    void letsGoOfAServerNoLongerSeen()
    {
        QProcess first, second;
        for (QProcess *child : {&first, &second}) {
            child->start(u"/usr/bin/sleep"_s, {u"60"_s});
            QVERIFY(child->waitForStarted());
        }
        ServerObservation now = seen(true);
        StatusModel model({.observeAtOnce = [&now] { return std::optional(now); },
                           .observe = {},
                           .logEnding = [] { return QString(); },
                           .fetchVersion = {},
                           .holderChanged = {}});
        const auto descriptors = [] { return QDir(u"/proc/self/fd"_s).count(); };
        now.process = ProcessHandle::open(qint32(first.processId()));
        model.requestUpdate();
        const auto watchingFirst = descriptors();
        now.process = ProcessHandle::open(qint32(second.processId()));
        model.requestUpdate();
        QVERIFY(now.process);
        QCOMPARE(descriptors(), watchingFirst);
    }

    // A look seen begin where none will be seen to end lasts its bound.
    void aLookEndsByItself()
    {
        const bool running = false;
        StatusModel model(answeringAtOnce(running));
        model.setObserved(true, 50);
        QVERIFY(model.isObserved());
        QTRY_VERIFY_WITH_TIMEOUT(!model.isObserved(), patienceMs);
        model.setObserved(true);
        QVERIFY(model.isObserved());
    }
};

QTEST_GUILESS_MAIN(StatusModelTest)
#include "tst_statusmodel.moc"
