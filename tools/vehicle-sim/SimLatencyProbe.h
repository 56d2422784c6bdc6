#pragma once
// Marks telemetry so that the time from its send to wherever it is shown can be measured
// (bench_latency). Each vehicle reports its altitude as a whole number of metres that steps up
// once a second, the vehicles' steps spread over the second; the first answer that carries a
// new step is logged as "VEHICLE STEP UNIX_MICROSECONDS", one line each, written as it goes so
// a reader sees every line sent before the simulator stopped. Steps run from 1 to kSteps and
// start again.

#include <QElapsedTimer>
#include <QString>

#include <cstdio>
#include <map>

class SimLatencyProbe {
public:
    static constexpr int kSteps = 1000;

    explicit SimLatencyProbe(QString path);
    ~SimLatencyProbe();
    SimLatencyProbe(const SimLatencyProbe&) = delete;
    SimLatencyProbe& operator=(const SimLatencyProbe&) = delete;

    // Opens (truncates) the log; on failure the reason.
    bool open(QString& error);
    // The altitude vehicle `id` reports now, in metres.
    int stepOf(int id) const;
    // An answer carrying `step` left for vehicle `id`.
    void sent(int id, int step);

private:
    QString m_path;
    std::FILE* m_file = nullptr;
    QElapsedTimer m_clock;
    std::map<int, int> m_logged;  // vehicle -> last step logged
};
