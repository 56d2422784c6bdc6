#pragma once
// Link-loss counters of one vehicle: telemetry request windows (did anything arrive between one
// request and the next?) and command acknowledgements (did a queued command get its answer?).
// Marks come from the main thread and the timer task thread; every operation holds the mutex.

#include <cstdint>
#include <mutex>

struct MavLinkLossStatsSnapshot {
    uint64_t telemetryWindowCount = 0;
    uint64_t telemetryActiveWindowCount = 0;
    uint64_t telemetrySilentWindowCount = 0;
    double telemetrySilentRate = 0.0;  // a fraction, not a percentage
    uint64_t ackExpectedCount = 0;
    uint64_t ackRecvCount = 0;
    uint64_t ackLostCount = 0;
    double ackLossRate = 0.0;
    bool operator==(const MavLinkLossStatsSnapshot&) const = default;
};

class MavLinkLossStats {
public:
    void markTelemetryWindowStarted();
    void markTelemetryWindowActive();
    void markTelemetryWindowSilent();
    void markAckExpected();
    void markAckReceived();
    void markAckLost();
    void reset();
    MavLinkLossStatsSnapshot snapshot() const;

private:
    static double rate(uint64_t n, uint64_t d) { return d == 0 ? 0.0 : double(n) / double(d); }

    mutable std::mutex m_mutex;
    uint64_t m_windowsStarted = 0;
    uint64_t m_windowsActive = 0;
    uint64_t m_windowsSilent = 0;
    uint64_t m_ackExpected = 0;
    uint64_t m_ackReceived = 0;
    uint64_t m_ackLost = 0;
};
