#include "server/StopWatch.h"

void StopWatch::ownCommandBegan()
{
    ++m_ownInFlight;
    m_ownSinceLastUpdate = true;
}

void StopWatch::ownCommandEnded()
{
    if (m_ownInFlight > 0)
        --m_ownInFlight;
    m_ownSinceLastUpdate = true;
}

bool StopWatch::observe(bool running)
{
    const bool wasRunning = m_lastRunning.value_or(false);
    const bool ours = m_ownInFlight > 0 || m_ownSinceLastUpdate;
    m_lastRunning = running;
    if (m_ownInFlight == 0)
        m_ownSinceLastUpdate = false;
    return wasRunning && !running && !ours;
}
