// MAVLink bridge cost: a station (this process) polling N simulated vehicles (a
// velmora-vehicle-sim process) at its default telemetry interval, measured for S seconds
// without the bridge and then S seconds with it sending every vehicle's streams to one ground
// station (a child of this program that cuts and checks every frame). Prints the station's CPU
// per wall second in both windows, the bridge's extra as a fraction of one core, the frames
// the ground station got per second, how many vehicles it heard and the longest gap between
// one vehicle's heartbeats. Then a client fetches every parameter of the first 10 vehicles as
// a mainstream client does (PARAM_REQUEST_LIST, then the missing indices by PARAM_REQUEST_READ
// after 1 s without progress), the groups not yet read coming from the vehicles first; the time
// until the last one arrived is printed beside its goal (3 s).
//
//   cmake --build build --target bench_mavlink_bridge velmora-vehicle-sim
//   build/bench/bench_mavlink_bridge                      (253 vehicles, 15 s a window)
//   build/bench/bench_mavlink_bridge --vehicles 50 --seconds 10

#include "BenchSupport.h"
#include "app/GcsAppController.h"
#include "app/GcsApplication.h"
#include "app/GcsServerConfig.h"
#include "automation/GcsCliOutcomeRecorder.h"
#include "bridge/MavlinkBridge.h"
#include "settings/GcsSettings.h"
#include "vehicle/MultiVehicleManager.h"
#include "vehicle/VehicleController.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QProcess>
#include <QTemporaryDir>
#include <QNetworkDatagram>
#include <QUdpSocket>

#include <spdlog/spdlog.h>

#include <cstdio>
#include <map>
#include <set>

using bench::cpuSeconds;
using bench::pump;

namespace {

// The ground station: counts frames and heartbeat gaps per system for `seconds`, then prints
// "heard N maxgap_ms G frames F crc C".
int runGroundStation(int argc, char** argv, quint16 port, int seconds)
{
    QCoreApplication app(argc, argv);
    QUdpSocket socket;
    if (!socket.bind(QHostAddress::LocalHost, port))
        return 1;
    mavlink::FrameCutter cutter;
    QElapsedTimer clock;
    clock.start();
    std::map<uint8_t, qint64> lastBeat;
    qint64 maxGap = 0;
    uint64_t frames = 0;
    QObject::connect(&socket, &QUdpSocket::readyRead, [&] {
        while (socket.hasPendingDatagrams()) {
            QByteArray data(int(socket.pendingDatagramSize()), '\0');
            socket.readDatagram(data.data(), data.size());
            cutter.feed(reinterpret_cast<const uint8_t*>(data.constData()), size_t(data.size()),
                        [&](const mavlink::Frame& f, mavlink::FrameCutter::Signature) {
                            ++frames;
                            if (f.msgid != mavlink::kHeartbeat)
                                return;
                            const qint64 now = clock.elapsed();
                            auto it = lastBeat.find(f.sysid);
                            if (it != lastBeat.end())
                                maxGap = std::max(maxGap, now - it->second);
                            lastBeat[f.sysid] = now;
                        });
            cutter.reset();
        }
    });
    pump(seconds * 1000);
    std::printf("heard %zu maxgap_ms %lld frames %llu crc %llu\n", lastBeat.size(), static_cast<long long>(maxGap),
                static_cast<unsigned long long>(frames), static_cast<unsigned long long>(cutter.counters().crcErrors));
    return 0;
}

// Milliseconds until every parameter of vehicles 1..count arrived, or -1 after 20 s.
double fetchParams(quint16 bridgePort, int count)
{
    QUdpSocket socket;
    socket.bind(QHostAddress::LocalHost, 0);
    mavlink::Encoder encoder;
    mavlink::FrameCutter cutter;
    std::map<uint8_t, std::set<uint16_t>> got;
    uint16_t total = 0;
    auto send = [&](const auto& m) {
        uint8_t buf[mavlink::kMaxFrameLen];
        const size_t n = encoder.encode(m, 255, 190, buf);
        socket.writeDatagram(reinterpret_cast<const char*>(buf), qint64(n), QHostAddress::LocalHost, bridgePort);
    };
    QObject::connect(&socket, &QUdpSocket::readyRead, [&] {
        while (socket.hasPendingDatagrams()) {
            const QByteArray d = socket.receiveDatagram().data();
            cutter.feed(reinterpret_cast<const uint8_t*>(d.constData()), size_t(d.size()),
                        [&](const mavlink::Frame& f, mavlink::FrameCutter::Signature) {
                            if (f.msgid != mavlink::kParamValue)
                                return;
                            const auto v = f.as<mavlink::ParamValue>();
                            total = v.paramCount;
                            got[f.sysid].insert(v.paramIndex);
                        });
            cutter.reset();
        }
    });
    auto have = [&] {
        size_t n = 0;
        for (int id = 1; id <= count; ++id)
            n += got[uint8_t(id)].size();
        return n;
    };
    QElapsedTimer clock;
    clock.start();
    for (int id = 1; id <= count; ++id) {
        mavlink::ParamRequestList list;
        list.targetSystem = uint8_t(id);
        send(list);
    }
    size_t last = 0;
    qint64 progressAt = 0;
    while (total == 0 || have() < size_t(total) * size_t(count)) {
        if (clock.elapsed() > 20000)
            return -1;
        pump(5);
        if (have() != last) {
            last = have();
            progressAt = clock.elapsed();
        } else if (clock.elapsed() - progressAt > 1000 && total) {
            progressAt = clock.elapsed();
            for (int id = 1; id <= count; ++id)
                for (uint16_t i = 0; i < total; ++i)
                    if (!got[uint8_t(id)].count(i)) {
                        mavlink::ParamRequestRead r;
                        r.targetSystem = uint8_t(id);
                        r.paramIndex = int16_t(i);
                        send(r);
                    }
        }
    }
    return double(clock.elapsed());
}

}  // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    int vehicles = 253;
    int seconds = 15;
    for (int i = 1; i + 1 < argc; ++i) {
        const QString a = QString::fromLocal8Bit(argv[i]);
        if (a == "--vehicles")
            vehicles = std::atoi(argv[++i]);
        else if (a == "--seconds")
            seconds = std::atoi(argv[++i]);
        else if (a == "--gcs")
            return runGroundStation(argc, argv, quint16(std::atoi(argv[i + 1])), std::atoi(argv[i + 3]));
    }
    spdlog::set_level(spdlog::level::warn);
    QTemporaryDir dir;
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    GcsServerConfig::instance()->setHttpBaseUrl("http://127.0.0.1:9");
    GcsSettings::getInstance()->init(dir.path() + "/cache", dir.path() + "/data");

    GcsApplication app(argc, argv);
    app.init();
    auto* ctrl = new GcsAppController(&app);
    app.setAppCtrler(ctrl);

    const quint16 stationPort = bench::freeUdpPort();
    const quint16 gcsPort = bench::freeUdpPort();
    QProcess sim;
    const quint16 simPort = bench::startSimulator(sim, VELMORA_VEHICLE_SIM_BIN, stationPort,
                                                  {"--count", QString::number(vehicles), "--fix-after-s", "0"});
    if (simPort == 0) {
        std::fprintf(stderr, "simulator did not start\n");
        return 1;
    }
    ctrl->connectToLinkFromCliParams({{"type", "udp"}, {"sendPort", stationPort}, {"recvPort", simPort}});
    const auto alive = [&] {
        int n = 0;
        for (const auto& v : ctrl->multiVehicleMgr()->vehicleList())
            n += v->alive() ? 1 : 0;
        return n;
    };
    QDeadlineTimer joinDeadline(30000);
    while (alive() < vehicles && !joinDeadline.hasExpired())
        pump(50);
    if (alive() < vehicles) {
        std::fprintf(stderr, "only %d of %d vehicles alive after 30 s; not measured\n", alive(), vehicles);
        sim.kill();
        sim.waitForFinished(3000);
        return 1;
    }
    pump(1000);

    // Window 1: the station alone.
    double cpu0 = cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    pump(seconds * 1000);
    const double without = (cpuSeconds() - cpu0) / (double(wall.elapsed()) / 1000.0);

    // Window 2: the bridge to one ground station.
    QProcess gcs;
    gcs.start(QCoreApplication::applicationFilePath(),
              {"--gcs", QString::number(gcsPort), "--seconds", QString::number(seconds + 2)});
    gcs.waitForStarted(5000);
    pump(300);
    MavlinkBridge bridge(
        ctrl,
        MavlinkBridge::Options{
            {*MavlinkEndpoint::parse(QStringLiteral("udp:127.0.0.1:%1").arg(gcsPort), nullptr)}, false, std::nullopt});
    bridge.start();
    pump(1000);
    cpu0 = cpuSeconds();
    wall.restart();
    pump(seconds * 1000);
    const double withBridge = (cpuSeconds() - cpu0) / (double(wall.elapsed()) / 1000.0);
    QDeadlineTimer gcsDeadline(10000);
    while (gcs.state() != QProcess::NotRunning && !gcsDeadline.hasExpired())
        pump(50);
    const int paramVehicles = std::min(vehicles, 10);
    const double paramsMs = fetchParams(bridge.localPort(0), paramVehicles);
    bridge.stop();
    const QStringList g = QString::fromLatin1(gcs.readAllStandardOutput()).split(' ', Qt::SkipEmptyParts);

    std::printf("%8s %8s %12s %12s %12s %10s %7s %11s %5s\n", "vehicles", "seconds", "cpu_station", "cpu_bridged",
                "bridge_extra", "frames/s", "heard", "max_hb_gap", "crc");
    std::printf("%8d %8d %12.3f %12.3f %12.3f %10.0f %7s %9s ms %5s\n", vehicles, seconds, without, withBridge,
                withBridge - without, g.value(5).toDouble() / double(seconds + 2), qPrintable(g.value(1)),
                qPrintable(g.value(3)), qPrintable(g.value(7)));
    std::printf("all parameters of %d vehicles: %s (goal under 3000 ms)\n", paramVehicles,
                paramsMs < 0 ? "not complete after 20 s" : qPrintable(QStringLiteral("%1 ms").arg(paramsMs)));
    sim.terminate();
    sim.waitForFinished(3000);
    return 0;
}
