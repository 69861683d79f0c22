#include "server/StatusModel.h"

#include "paths/ProjectLayout.h"
#include "server/Dispatch.h"
#include "server/OutputText.h"
#include "server/ServerState.h"

StatusModel::StatusModel(std::shared_ptr<ServerState> state, VersionFetch fetchVersion, QObject *parent)
    : QObject(parent)
    , m_state(std::move(state))
    , m_fetchVersion(std::move(fetchVersion))
{
    m_pollTimer.setInterval(pollIntervalMs);
    connect(&m_pollTimer, &QTimer::timeout, this, &StatusModel::requestUpdate);
    m_lookEnds.setSingleShot(true);
    connect(&m_lookEnds, &QTimer::timeout, this, [this] { m_observed = false; });
}

void StatusModel::start()
{
    requestUpdate();
    m_pollTimer.start();
}

void StatusModel::stop()
{
    m_pollTimer.stop();
}

void StatusModel::requestUpdate()
{
    if (m_probing) {
        m_probeAgain = true;
        return;
    }
    // Mostly the kernel answers at once: no hop to a worker and back for that.
    if (const std::optional<ServerObservation> observation = m_state->observeAtOnce()) {
        apply(*observation);
        return;
    }
    m_probing = true;
    Dispatch::toWorker([state = m_state, self = QPointer(this)] {
        const ServerObservation observation = state->observe();
        Dispatch::toMain([self, observation] {
            if (!self)
                return;
            self->m_probing = false;
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
    ++m_underWay;
    m_stopWatch.ownCommandBegan();
    ServerStatus status = m_status;
    status.underWay = operation;
    setStatus(status);
}

void StatusModel::operationEnded(const ServerObservation &observation)
{
    m_underWay = qMax(0, m_underWay - 1);
    m_stopWatch.ownCommandEnded();
    if (m_underWay == 0)
        m_status.underWay = ServerStatus::Operation::None;
    apply(observation);
}

void StatusModel::apply(const ServerObservation &observation)
{
    m_sinceAnswer.start();
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
        Dispatch::toWorker([state = m_state, self = QPointer(this)] {
            const QString ending = OutputText::fileEnding(
                state->projectRoot() + QLatin1Char('/') + ProjectLayout::serverLog(), stopLogLines);
            Dispatch::toMain([self, ending] {
                if (self)
                    emit self->unexpectedStop(ending);
            });
        });
    }
}

void StatusModel::askApi()
{
    if (!m_fetchVersion)
        return;
    // Keeps the previous API state until the answer; the last answer wins.
    m_fetchVersion([self = QPointer(this)](const std::optional<QString> &version) {
        if (!self)
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
