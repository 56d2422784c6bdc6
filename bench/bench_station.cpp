// Station load: one process with a GcsApplication whose app controller is connected over
// loopback UDP to a velmora-vehicle-sim process running N vehicles, telemetry every 50 ms.
// For each fleet size (each in a fresh child process) it prints the station's CPU time per
// second of wall time (and per vehicle), its peak resident memory and growth per vehicle, the
// telemetry silent-window rate, and the take-off acknowledgement latency of 200 take-off
// commands sent round-robin while the fleet is polled. The last three columns set the station's
// CPU against the network's own: floor_us is what sending and receiving one datagram over
// loopback costs (a plain sendto/recv loop, this process), us/datagram the station's CPU per
// datagram it exchanged (requests, answers, heartbeats, commands), floor_ratio their ratio.
// bfloor_us is the same floor when datagrams go 64 at a time (sendmmsg/recvmmsg), the least a
// batched reader and writer can cost, and bfloor_ratio the station's CPU against it. Goals:
// floor_ratio at most 3, bfloor_ratio at most 1.5 where the traffic allows batching, silent%
// under 0.5.
//
// The last line gives how CPU and memory grow from the smallest fleet to the largest, as the
// exponent e of cost ~ vehicles^e (goal e <= 1), and the memory per vehicle (KiB/vehicle: peak
// RSS with the fleet less RSS before the link, over the vehicles). --fleet KxN runs K stations
// of N vehicles at once, each its own process with its own simulator: a row each.
//
//   cmake --build build --target bench_station velmora-vehicle-sim && build/bench/bench_station
//   build/bench/bench_station --fleet 10,253 --seconds 10
//   build/bench/bench_station --fleet 8x250
//   build/bench/bench_station --vehicles 100 --seconds 30      (one run, one row, no header)

#include "BenchSupport.h"
#include "app/GcsAppController.h"
#include "app/GcsApplication.h"
#include "app/GcsServerConfig.h"
#include "settings/GcsSettings.h"
#include "vehicle/MultiVehicleManager.h"
#include "vehicle/VehicleController.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLoggingCategory>
#include <QProcess>
#include <QSettings>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>
#include <QUdpSocket>

#include <spdlog/spdlog.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

using bench::cpuSeconds;
using bench::peakRssKiB;
using bench::pump;

namespace {

// A receiving socket bound to a free loopback port and a sending one, for the floors below.
struct LoopbackPair {
    int rx = ::socket(AF_INET, SOCK_DGRAM, 0);
    int tx = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    LoopbackPair()
    {
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(addr);
        ::bind(rx, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
        ::getsockname(rx, reinterpret_cast<sockaddr*>(&addr), &len);
    }
    ~LoopbackPair()
    {
        ::close(rx);
        ::close(tx);
    }
};

// The network's own cost: CPU microseconds to send one datagram over loopback and receive it
// (a plain sendto/recv loop), for the sizes the station exchanges (a request of ~16 bytes, an
// answer of ~100), measured in this process.
double loopbackFloorUs()
{
    LoopbackPair p;
    const int rx = p.rx;
    const int tx = p.tx;
    sockaddr_in& addr = p.addr;
    constexpr int kRounds = 200000;
    char buf[256] = {};
    const double start = cpuSeconds();
    for (int i = 0; i < kRounds; ++i) {
        const size_t size = (i & 1) ? 100 : 16;
        ::sendto(tx, buf, size, 0, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
        ::recv(rx, buf, sizeof(buf), 0);
    }
    return (cpuSeconds() - start) * 1e6 / kRounds;
}

// The same floor, datagrams sent and read 64 at a time.
double batchedFloorUs()
{
    LoopbackPair p;
    const int rx = p.rx;
    const int tx = p.tx;
    sockaddr_in& addr = p.addr;
    constexpr int kBatch = 64;
    constexpr int kRounds = 200000 / kBatch;
    static char bufs[kBatch][256];
    mmsghdr out[kBatch] = {};
    mmsghdr in[kBatch] = {};
    iovec outIov[kBatch];
    iovec inIov[kBatch];
    for (int i = 0; i < kBatch; ++i) {
        outIov[i] = {bufs[i], size_t((i & 1) ? 100 : 16)};
        out[i].msg_hdr.msg_name = &addr;
        out[i].msg_hdr.msg_namelen = sizeof(addr);
        out[i].msg_hdr.msg_iov = &outIov[i];
        out[i].msg_hdr.msg_iovlen = 1;
        inIov[i] = {bufs[i], sizeof(bufs[i])};
        in[i].msg_hdr.msg_iov = &inIov[i];
        in[i].msg_hdr.msg_iovlen = 1;
    }
    long moved = 0;
    const double start = cpuSeconds();
    for (int r = 0; r < kRounds; ++r) {
        const int sent = ::sendmmsg(tx, out, kBatch, 0);
        for (int got = 0; got < sent;) {
            const int n = ::recvmmsg(rx, in, unsigned(sent - got), 0, nullptr);
            if (n <= 0)
                break;
            got += n;
            moved += n;
        }
    }
    return moved > 0 ? (cpuSeconds() - start) * 1e6 / double(moved) : 0.0;
}

constexpr int kTakeoffCommands = 200;
constexpr int kMaxFleet = 253;  // every id the protocol can address but the station's own
constexpr int kJoinDeadlineMs = 30000;
constexpr int kLateAckWaitMs = 7000;  // a take-off's timeout with both resends

// Take-off send times per vehicle and the latencies of their answers. The answer may be emitted
// off the main thread, so the signal is taken directly and stamped where it is emitted.
struct TakeoffLatency {
    QElapsedTimer clock;
    std::mutex mutex;
    std::map<int, std::deque<qint64>> pending;  // vehicle id -> send times (ns)
    std::vector<double> okMs;
    int sent = 0;
    int failed = 0;  // answered with a non-zero result (timeout included)

    void markSent(int id)
    {
        std::lock_guard lock(mutex);
        pending[id].push_back(clock.nsecsElapsed());
        ++sent;
    }
    void markAnswered(int id, int result)
    {
        const qint64 now = clock.nsecsElapsed();
        std::lock_guard lock(mutex);
        auto& q = pending[id];
        if (q.empty())
            return;  // a second answer to a resent frame
        const qint64 sentAt = q.front();
        q.pop_front();
        if (result == 0)
            okMs.push_back(double(now - sentAt) / 1e6);
        else
            ++failed;
    }
    int outstanding()
    {
        std::lock_guard lock(mutex);
        size_t n = 0;
        for (const auto& [id, q] : pending)
            n += q.size();
        return int(n);
    }
};

int runOne(int argc, char** argv, int vehicles, int seconds)
{
    QTemporaryDir dir;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path() + "/config");
    spdlog::set_level(spdlog::level::err);
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));  // keep the rows readable
    GcsServerConfig::instance()->setHttpBaseUrl("http://127.0.0.1:9");
    GcsSettings::getInstance()->init(dir.path() + "/cache", dir.path() + "/data");
    GcsSettings::getInstance()->setTeleReqInterval(50);

    GcsApplication app(argc, argv);
    app.init();
    auto* ctrl = new GcsAppController(&app);
    app.setAppCtrler(ctrl);
    const long rssBefore = peakRssKiB();

    const quint16 stationPort = bench::freeUdpPort();
    QProcess sim;
    const quint16 simPort = bench::startSimulator(sim, VELMORA_VEHICLE_SIM_BIN, stationPort,
                                                  {"--count", QString::number(vehicles), "--fix-after-s", "0"});
    if (simPort == 0) {
        std::fprintf(stderr, "fleet %d: simulator did not start\n", vehicles);
        return 1;
    }
    ctrl->connectToLinkFromCliParams({{"type", "udp"}, {"sendPort", stationPort}, {"recvPort", simPort}});

    const auto aliveCount = [&] {
        int alive = 0;
        for (const auto& v : ctrl->multiVehicleMgr()->vehicleList())
            alive += v->alive() ? 1 : 0;
        return alive;
    };
    QDeadlineTimer joinDeadline(kJoinDeadlineMs);
    while ((ctrl->multiVehicleMgr()->vehicleList().size() < vehicles || aliveCount() < vehicles) &&
           !joinDeadline.hasExpired())
        pump(50);
    if (ctrl->multiVehicleMgr()->vehicleList().size() < vehicles || aliveCount() < vehicles) {
        std::fprintf(stderr, "fleet %d: only %lld vehicles joined and %d alive after %d s; not measured\n", vehicles,
                     static_cast<long long>(ctrl->multiVehicleMgr()->vehicleList().size()), aliveCount(),
                     kJoinDeadlineMs / 1000);
        sim.terminate();
        sim.waitForFinished(3000);
        return 1;
    }
    pump(1000);  // polling of every vehicle under way

    auto fleet = ctrl->multiVehicleMgr()->vehicleList();
    std::sort(fleet.begin(), fleet.end(), [](const auto& a, const auto& b) { return a->vehicleId() < b->vehicleId(); });
    TakeoffLatency takeoffs;
    takeoffs.clock.start();
    std::vector<QMetaObject::Connection> answers;
    for (const auto& v : fleet) {
        const int id = v->vehicleId();
        answers.push_back(QObject::connect(
            v.get(), &VehicleController::takeoffResp, v.get(),
            [&takeoffs, id](int result) { takeoffs.markAnswered(id, result); }, Qt::DirectConnection));
        v->resetLinkLossStats();
    }

    // One take-off every S*1000/200 ms, round-robin over the fleet.
    QTimer sender;
    sender.setTimerType(Qt::PreciseTimer);
    sender.setInterval(seconds * 1000 / kTakeoffCommands);
    int next = 0;
    const auto sendOne = [&] {
        const auto& v = fleet[next % fleet.size()];
        ++next;
        takeoffs.markSent(v->vehicleId());
        v->takeoff(10, 2);
        if (next >= kTakeoffCommands)
            sender.stop();
    };
    QObject::connect(&sender, &QTimer::timeout, sendOne);

    const double cpu0 = cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    sendOne();
    sender.start();
    pump(seconds * 1000);
    const double cpu = cpuSeconds() - cpu0;
    const double wallSeconds = double(wall.elapsed()) / 1000.0;
    const long rssPeak = peakRssKiB();

    uint64_t windows = 0;
    uint64_t silent = 0;
    // Datagrams: a request a telemetry window and an answer (one datagram, whatever the frames in
    // it) an answered one, a datagram each way a command, and each vehicle's heartbeat a second.
    double datagrams = double(vehicles) * wallSeconds;
    for (const auto& v : fleet) {
        const auto s = v->linkLossStats();
        windows += s.telemetryWindowCount;
        silent += s.telemetrySilentWindowCount;
        datagrams +=
            double(s.telemetryWindowCount + s.telemetryActiveWindowCount + s.ackExpectedCount + s.ackRecvCount);
    }
    const double floorUs = loopbackFloorUs();
    const double batchedUs = batchedFloorUs();
    const double usPerDatagram = datagrams > 0 ? cpu * 1e6 / datagrams : 0.0;

    // Commands still unanswered (or unsent, if the timer fell behind) get their answers outside
    // the measured window.
    QDeadlineTimer lateDeadline(kLateAckWaitMs);
    while ((sender.isActive() || takeoffs.outstanding() > 0) && !lateDeadline.hasExpired())
        pump(20);
    sender.stop();

    std::vector<double> lat;
    int failed = 0;
    int unanswered = 0;
    {
        std::lock_guard lock(takeoffs.mutex);
        lat = takeoffs.okMs;
        failed = takeoffs.failed;
    }
    for (const auto& c : answers)
        QObject::disconnect(c);
    unanswered = takeoffs.outstanding();
    std::sort(lat.begin(), lat.end());

    const double cpuPerWall = cpu / wallSeconds;
    std::printf(
        "%8d %8d %9.3f %12.6f %9.1f %12.1f %8.3f %9.2f %9.2f %5zu/%d %9.2f %12.2f %11.1f %9.2f %12.1f\n", vehicles,
        seconds, cpuPerWall, cpuPerWall / double(vehicles), double(rssPeak) / 1024.0,
        double(rssPeak - rssBefore) / double(vehicles), windows ? 100.0 * double(silent) / double(windows) : 0.0,
        bench::percentile(lat, 0.50), bench::percentile(lat, 0.99), lat.size(), takeoffs.sent, floorUs, usPerDatagram,
        floorUs > 0 ? usPerDatagram / floorUs : 0.0, batchedUs, batchedUs > 0 ? usPerDatagram / batchedUs : 0.0);
    std::fflush(stdout);
    if (failed > 0 || unanswered > 0)
        std::fprintf(stderr, "fleet %d: %d take-offs answered with an error, %d unanswered\n", vehicles, failed,
                     unanswered);
    sim.terminate();
    sim.waitForFinished(3000);
    app.quit();
    return 0;
}

bool parsePositive(const std::string& text, int max, int& out)
{
    try {
        size_t used = 0;
        const int v = std::stoi(text, &used);
        if (used != text.size() || v < 1 || v > max)
            return false;
        out = v;
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

bool parseFleet(const std::string& text, std::vector<int>& out)
{
    out.clear();
    for (const QString& part : QString::fromStdString(text).split(',')) {
        int n = 0;
        if (!parsePositive(part.trimmed().toStdString(), kMaxFleet, n))
            return false;
        out.push_back(n);
    }
    return !out.empty();
}

int usage(const char* error)
{
    std::fprintf(stderr,
                 "bench_station: %s\n"
                 "usage: bench_station [--fleet N,N,...] [--seconds S]   (fleet sizes 1..%d, default "
                 "10,100,253; S >= 1, default 20)\n"
                 "       bench_station --fleet KxN [--seconds S]         (K stations of N vehicles at once)\n"
                 "       bench_station --vehicles N [--seconds S]        (one run, one row)\n",
                 error, kMaxFleet);
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    int vehicles = 0;
    int seconds = 20;
    std::vector<int> fleetSizes{10, 100, 253};
    int stations = 1;  // --fleet KxN: K stations at once
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg != "--vehicles" && arg != "--seconds" && arg != "--fleet")
            return usage(("unknown argument " + arg).c_str());
        if (i + 1 >= argc)
            return usage((arg + " needs a value").c_str());
        const std::string value = argv[++i];
        if (arg == "--vehicles" && !parsePositive(value, kMaxFleet, vehicles))
            return usage(("--vehicles needs a number from 1 to 253: " + value).c_str());
        if (arg == "--seconds" && !parsePositive(value, 24 * 3600, seconds))
            return usage(("--seconds needs a positive number: " + value).c_str());
        if (arg == "--fleet" && value.find('x') != std::string::npos) {
            const size_t x = value.find('x');
            int n = 0;
            if (!parsePositive(value.substr(0, x), 16, stations) || !parsePositive(value.substr(x + 1), kMaxFleet, n))
                return usage(("--fleet KxN needs K from 1 to 16 and N from 1 to 253: " + value).c_str());
            fleetSizes = {n};
        } else if (arg == "--fleet" && !parseFleet(value, fleetSizes)) {
            return usage(("--fleet needs a comma-separated list of numbers from 1 to 253: " + value).c_str());
        }
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    if (vehicles > 0) {
        int appArgc = 1;  // the benchmark's own options are not the application's
        return runOne(appArgc, argv, vehicles, seconds);
    }

    std::printf("goals: floor_ratio <= 3, bfloor_ratio <= 1.5 where the traffic allows batching, silent%% < 0.5\n");
    std::printf("%8s %8s %9s %12s %9s %12s %8s %9s %9s %9s %9s %12s %11s %9s %12s\n", "vehicles", "seconds", "cpu/wall",
                "cpu/vehicle", "rss_MiB", "KiB/vehicle", "silent%", "p50_ms", "p99_ms", "takeoffs", "floor_us",
                "us/datagram", "floor_ratio", "bfloor_us", "bfloor_ratio");
    std::fflush(stdout);
    // Per fleet size: CPU share and memory grown, for the growth exponents.
    std::map<int, std::pair<double, double>> cost;
    int status = 0;
    for (int n : fleetSizes) {
        std::vector<std::unique_ptr<QProcess>> children;
        for (int k = 0; k < stations; ++k) {
            auto& child = children.emplace_back(std::make_unique<QProcess>());
            child->setProcessChannelMode(QProcess::ForwardedErrorChannel);
            child->start(argv[0], {"--vehicles", QString::number(n), "--seconds", QString::number(seconds)});
        }
        const int limitMs = (seconds + kJoinDeadlineMs / 1000 + kLateAckWaitMs / 1000 + 30) * 1000;
        for (auto& child : children) {
            if (!child->waitForFinished(limitMs)) {
                child->kill();
                child->waitForFinished(3000);
                std::printf("%8d failed: no result within %d s\n", n, limitMs / 1000);
                status = 1;
                continue;
            }
            QString out = QString::fromLocal8Bit(child->readAllStandardOutput());
            while (out.endsWith('\n'))
                out.chop(1);
            const QStringList cols = out.split(' ', Qt::SkipEmptyParts);
            if (child->exitStatus() != QProcess::NormalExit || child->exitCode() != 0 || cols.size() < 6) {
                std::printf("%8d failed: exit code %d\n", n, child->exitCode());
                status = 1;
                continue;
            }
            std::printf("%s\n", qPrintable(out));
            std::fflush(stdout);
            cost[n] = {cols[2].toDouble(), cols[5].toDouble() * n};
        }
    }
    // Cost ~ vehicles^e between the smallest and largest fleet: e <= 1 is linear or better.
    if (cost.size() > 1) {
        const auto& [n0, c0] = *cost.begin();
        const auto& [n1, c1] = *cost.rbegin();
        const double span = std::log(double(n1) / double(n0));
        const auto exponent = [&](double a, double b) { return a > 0 && b > 0 ? std::log(b / a) / span : NAN; };
        std::printf("growth from %d to %d vehicles: CPU exponent %.2f, memory exponent %.2f (goal <= 1: linear or "
                    "better); memory per vehicle at %d: %.1f KiB\n",
                    n0, n1, exponent(c0.first, c1.first), exponent(c0.second, c1.second), n1, c1.second / n1);
    }
    return status;
}
