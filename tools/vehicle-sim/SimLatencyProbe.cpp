#include "SimLatencyProbe.h"

#include <chrono>

SimLatencyProbe::SimLatencyProbe(QString path)
    : m_path(std::move(path))
{
}

SimLatencyProbe::~SimLatencyProbe()
{
    if (m_file)
        std::fclose(m_file);
}

bool SimLatencyProbe::open(QString& error)
{
    m_file = std::fopen(m_path.toLocal8Bit().constData(), "w");
    if (!m_file) {
        error = QStringLiteral("--latency-probe: cannot write %1").arg(m_path);
        return false;
    }
    // Line by line: a reader that stops the simulator still has every line.
    std::setvbuf(m_file, nullptr, _IOLBF, 0);
    m_clock.start();
    return true;
}

int SimLatencyProbe::stepOf(int id) const
{
    // 254 ids over the second: not every vehicle's step falls due in one event.
    const qint64 ms = m_clock.elapsed() + qint64(id) * 1000 / 255;
    return 1 + int((ms / 1000) % kSteps);
}

void SimLatencyProbe::sent(int id, int step)
{
    auto [it, first] = m_logged.try_emplace(id, step);
    if (!first && it->second == step)
        return;
    it->second = step;
    const auto us =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    std::fprintf(m_file, "%d %d %lld\n", id, step, static_cast<long long>(us));
}
