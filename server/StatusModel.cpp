#include "server/StatusModel.h"

#include "server/Dispatch.h"

#include <QSocketNotifier>

StatusModel::StatusModel(Probes probes, QObject *parent)
    : QObject(parent)
    , m_probes(std::move(probes))
{
    m_pollTimer.setInterval(pollIntervalMs);
    connect(&m_pollTimer, &QTimer::timeout, this, &StatusModel::requestUpdate);
    m_lookEnds.setSingleShot(true);
    connect(&m_lookEnds, &QTimer::timeout, this, [this] { m_observed = false; });
}

StatusModel::~StatusModel() = default;

void StatusModel::start()
{
    requestUpdate();
    m_pollTimer.start();
}

void StatusModel::stop() { m_pollTimer.stop(); }

void StatusModel::requestUpdate()
{
    if (m_probing) {
        m_probeAgain = true;
        return;
    }
    // Mostly the kernel answers at once: no hop to a worker and back for that.
    if (const std::optional<ServerObservation> observation = m_probes.observeAtOnce()) {
        apply(*observation);
        return;
    }
    m_probing = true;
    m_workers.post([observe = m_probes.observe, epoch = m_epoch, self = QPointer(this)] {
        const ServerObservation observation = observe();
        Dispatch::toMain([self, observation, epoch] {
            if (!self)
                return;
            self->m_probing = false;
            // Asked before a command began or ended: the command's own
            // answer, or a later one, tells what is true now.
            if (epoch == self->m_epoch)
                self->apply(observation);
            if (std::exchange(self->m_probeAgain, false))
                self->requestUpdate();
        });
    });
}

void StatusModel::setObserved(bool observed, int atMostMs)
{
    m_observed = observed;
    m_lookEnds.stop();
    if (!observed)
        return;
    if (atMostMs >= 0)
        m_lookEnds.start(atMostMs);
    if (!m_sinceAnswer.isValid() || m_sinceAnswer.elapsed() >= freshForMs)
        requestUpdate(); // asks the interface with its answer
    else if (m_status.running)
        askApi();
}

void StatusModel::operationBegan(ServerStatus::Operation operation)
{
    ++m_epoch;
    ++m_underWay;
    m_stopWatch.ownCommandBegan();
    ServerStatus status = m_status;
    status.underWay = operation;
    setStatus(status);
}

void StatusModel::operationEnded(const ServerObservation &observation)
{
    ++m_epoch;
    m_underWay = qMax(0, m_underWay - 1);
    m_stopWatch.ownCommandEnded();
    if (m_underWay == 0)
        m_status.underWay = ServerStatus::Operation::None;
    apply(observation);
}

void StatusModel::apply(const ServerObservation &observation)
{
    m_sinceAnswer.start();
    if (observation.holder != m_holder) {
        // Answers of the one before are no answers of this one's.
        ++m_epoch;
        if (m_probes.holderChanged)
            m_probes.holderChanged();
        m_holder = observation.holder;
    }
    watch(observation);
    // A server that does not listen has not gone away.
    const bool unexpected = m_stopWatch.observe(observation.running || observation.silence != Silence::None);
    ServerStatus status = m_status;
    status.known = true;
    status.running = observation.running;
    status.silence = observation.silence;
    status.pid = observation.pid;
    status.port = observation.port;
    status.stranger = observation.stranger;
    // A server that has just come is asked once, looked at or not: the line
    // is filled when the menu opens, even where the panel never says so.
    const bool cameUp = observation.running && !m_status.running;
    if (!observation.running)
        status.api = ServerStatus::Api::Offline;
    else if (cameUp)
        status.api = ServerStatus::Api::Unknown; // not asked yet
    setStatus(status);
    if (observation.running && (m_observed || cameUp))
        askApi();
    if (unexpected) {
        // The log is read on a worker: it lies in a folder we do not control.
        m_workers.post([logEnding = m_probes.logEnding, self = QPointer(this)] {
            const QString ending = logEnding();
            Dispatch::toMain([self, ending] {
                if (self)
                    emit self->unexpectedStop(ending);
            });
        });
    }
}

void StatusModel::watch(const ServerObservation &observation)
{
    std::vector<ProcessHandle> wanted;
    for (const std::optional<ProcessHandle> &process : {observation.process, observation.holder}) {
        if (process && process->endDescriptor() >= 0
            && std::find(wanted.begin(), wanted.end(), *process) == wanted.end())
            wanted.push_back(*process);
    }
    std::erase_if(m_watches, [&wanted](const Watch &watch) {
        return std::find(wanted.begin(), wanted.end(), watch.process) == wanted.end();
    });
    for (const ProcessHandle &process : wanted) {
        if (std::any_of(m_watches.begin(), m_watches.end(),
                        [&process](const Watch &w) { return w.process == process; }))
            continue;
        // Readable from the moment the process ends, and from then on: one
        // update for it, and the next observation no longer names it.
        auto notifier = std::make_unique<QSocketNotifier>(process.endDescriptor(), QSocketNotifier::Read);
        connect(notifier.get(), &QSocketNotifier::activated, this, [this, notifier = notifier.get()] {
            notifier->setEnabled(false);
            requestUpdate();
        });
        m_watches.push_back({process, std::move(notifier)});
    }
}

void StatusModel::askApi()
{
    if (!m_probes.fetchVersion)
        return;
    // Keeps the previous API state until the answer; the last answer wins.
    m_probes.fetchVersion([self = QPointer(this), epoch = m_epoch](const std::optional<QString> &version) {
        if (!self || epoch != self->m_epoch)
            return;
        ServerStatus answered = self->m_status;
        // A server gone meanwhile has no interface, whatever it said last.
        if (!answered.running)
            return;
        answered.api = version ? ServerStatus::Api::Online : ServerStatus::Api::NoAnswer;
        self->setStatus(answered);
    });
}

void StatusModel::setStatus(const ServerStatus &status)
{
    // Only a change is news: the shell redraws nothing for the same status
    // every few seconds.
    if (status == m_status)
        return;
    m_status = status;
    emit changed(m_status);
}
