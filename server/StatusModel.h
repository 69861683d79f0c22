#pragma once

#include "server/Dispatch.h"
#include "server/ServerStatus.h"
#include "server/StopWatch.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QSocketNotifier;

// The server's state as the shell sees it, probed every poll interval, when
// asked, and as soon as a watched process ends. What the kernel tells at once
// is read on the main thread; probes that would look through every process or
// wait for lsof run on its own workers, and their answers are applied on the
// main thread, which never waits for one. An answer is applied only if no
// command of ours began or ended, and the port did not change hands, since
// it was asked for: what it says may no longer be true. Each change is
// pushed whole.
class StatusModel : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(StatusModel)

public:
    static constexpr int pollIntervalMs = 5000;
    // Asking again sooner than this after an answer changes nothing worth it.
    static constexpr int freshForMs = 1000;
    // The end of the server's log an unexpected stop hands on: enough to
    // reach back past the request lines to the error that ended it.
    static constexpr int stopLogLines = 40;

    using VersionFetch = std::function<void(std::function<void(const std::optional<QString> &)>)>;

    // Where the answers come from. The first is asked on the main thread,
    // the blocking two on workers.
    struct Probes
    {
        // The state where it is to be had at once; absent where only
        // `observe` can tell.
        std::function<std::optional<ServerObservation>()> observeAtOnce;
        std::function<ServerObservation()> observe;
        // The last lines of the server's log.
        std::function<QString()> logEnding;
        VersionFetch fetchVersion;
        // The port's holder is another process now: whatever was kept for
        // the one before (a connection to it) is not kept for this one.
        std::function<void()> holderChanged;
    };

    explicit StatusModel(Probes probes, QObject *parent = nullptr);
    ~StatusModel() override;

    const ServerStatus &current() const { return m_status; }
    const QTimer *pollTimer() const { return &m_pollTimer; }
    // Blocks until no probe or log reading runs or waits, or `timeoutMs`
    // is over; true in the first case. For tests and the end.
    bool waitForWorkers(int timeoutMs) { return m_workers.waitForDone(timeoutMs); }

    // A probe now and then one every poll interval; stop() ends the polling.
    void start();
    void stop();
    // A probe now, unless one is under way: then one more after it.
    void requestUpdate();
    // Whether anyone can see the status now (the menu is open). Only then is
    // the server's interface asked on every update and at once on opening:
    // an answer nobody reads is a request for nothing every few seconds.
    // Besides, it is asked once whenever the server turns up running, so the
    // line is filled where a panel never tells of an opening.
    // Opening also brings a probe, unless the last is fresh. A look seen
    // begin where none will be seen to end lasts `atMostMs` (if not -1).
    void setObserved(bool observed, int atMostMs = -1);
    bool isObserved() const { return m_observed; }

    // A command of ours that changes the server began, or reported back
    // with what was true at its end (applied before its own report).
    void operationBegan(ServerStatus::Operation operation);
    void operationEnded(const ServerObservation &observation);

signals:
    void changed(const ServerStatus &status);
    // The server went away without a command of ours; the last lines of its log.
    void unexpectedStop(const QString &logEnding);

private:
    void apply(const ServerObservation &observation);
    void askApi();
    void setStatus(const ServerStatus &status);
    // Watches the processes the observation names for their end.
    void watch(const ServerObservation &observation);

    const Probes m_probes;
    // Counts the commands' beginnings and ends and the port's changes of
    // hands: an answer asked for under another count is out of date.
    quint64 m_epoch = 0;
    std::optional<ProcessHandle> m_holder;
    struct Watch
    {
        ProcessHandle process;
        std::unique_ptr<QSocketNotifier> notifier;
    };
    std::vector<Watch> m_watches;
    QTimer m_pollTimer;
    QTimer m_lookEnds;
    ServerStatus m_status;
    StopWatch m_stopWatch;
    QElapsedTimer m_sinceAnswer;
    bool m_observed = false;
    bool m_probing = false;
    bool m_probeAgain = false;
    int m_underWay = 0;
    // The probe (one at a time) and the log readings beside it, so that
    // neither waits for the other. Last, so it waits for them first.
    Dispatch::Workers m_workers{2};
};
