#pragma once
// What the benchmarks share: process CPU time and peak memory, running the event loop for a
// while, and percentiles.

#include <QEventLoop>
#include <QProcess>
#include <QTimer>
#include <QUdpSocket>

#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace bench {

// User and system CPU seconds of the whole process, every thread included.
inline double cpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

inline long peakRssKiB()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

// Runs the event loop for a while, as the station's own loop would (no polling).
inline void pump(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Nearest-rank percentile of sorted values; NaN for none.
inline double percentile(const std::vector<double>& sorted, double p)
{
    if (sorted.empty())
        return std::nan("");
    const size_t rank = size_t(std::ceil(p * double(sorted.size())));
    return sorted[std::clamp<size_t>(rank, 1, sorted.size()) - 1];
}

// A loopback UDP port free a moment ago.
inline quint16 freeUdpPort()
{
    QUdpSocket probe;
    probe.bind(QHostAddress::LocalHost, 0);
    return probe.localPort();
}

// Starts the simulator `bin` towards 127.0.0.1:stationPort with `args` added; the UDP port it
// listens on, or 0 when it did not start.
inline quint16 startSimulator(QProcess& sim, const QString& bin, quint16 stationPort, const QStringList& args)
{
    sim.setStandardErrorFile(QProcess::nullDevice());
    sim.start(bin, QStringList{"--udp", QStringLiteral("127.0.0.1:%1").arg(stationPort)} + args);
    if (!sim.waitForStarted(5000) || !sim.waitForReadyRead(5000))
        return 0;
    return quint16(sim.readLine().trimmed().toUInt());
}

}  // namespace bench
