#include "MavLinkLossStats.h"

void MavLinkLossStats::markTelemetryWindowStarted()
{
    std::lock_guard lock(m_mutex);
    ++m_windowsStarted;
}

void MavLinkLossStats::markTelemetryWindowActive()
{
    std::lock_guard lock(m_mutex);
    ++m_windowsActive;
}

void MavLinkLossStats::markTelemetryWindowSilent()
{
    std::lock_guard lock(m_mutex);
    ++m_windowsSilent;
}

void MavLinkLossStats::markAckExpected()
{
    std::lock_guard lock(m_mutex);
    ++m_ackExpected;
}

void MavLinkLossStats::markAckReceived()
{
    std::lock_guard lock(m_mutex);
    ++m_ackReceived;
}

void MavLinkLossStats::markAckLost()
{
    std::lock_guard lock(m_mutex);
    ++m_ackLost;
}

void MavLinkLossStats::reset()
{
    std::lock_guard lock(m_mutex);
    m_windowsStarted = m_windowsActive = m_windowsSilent = 0;
    m_ackExpected = m_ackReceived = m_ackLost = 0;
}

MavLinkLossStatsSnapshot MavLinkLossStats::snapshot() const
{
    std::lock_guard lock(m_mutex);
    MavLinkLossStatsSnapshot s;
    s.telemetryWindowCount = m_windowsStarted;
    s.telemetryActiveWindowCount = m_windowsActive;
    s.telemetrySilentWindowCount = m_windowsSilent;
    s.telemetrySilentRate = rate(m_windowsSilent, m_windowsStarted);
    s.ackExpectedCount = m_ackExpected;
    s.ackRecvCount = m_ackReceived;
    s.ackLostCount = m_ackLost;
    s.ackLossRate = rate(m_ackLost, m_ackExpected);
    return s;
}
