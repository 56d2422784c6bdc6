// Latency from a vehicle to every place a person or a program looks. One station (this process,
// the station's own runtime: CLI endpoint, fleet page, MAVLink bridge, fleet publisher) polls N
// simulated vehicles (velmora-vehicle-sim --latency-probe): each vehicle reports its altitude as
// a whole number of metres that steps once a second, and the simulator logs when it first sent
// each step. A mosquitto with the README's configuration and a velmora-fleetview process carry
// the fleet to the viewer's page. A child of this program watches the outside paths; this
// process watches the models. For each path the first time a new step is seen, minus the time
// the simulator sent it, gives one sample:
//   row item     VehicleClusterListDataItem::dataChanged (immediate, what a delegate binds)
//   list model   VehicleClusterListModel::dataChanged (gathered per row for kBatchMs)
//   cli          telemetry.snapshot of the first vehicles in turn, a request every kCliEveryMs
//   bridge       GLOBAL_POSITION_INT at a ground station (sent as each position sample comes)
//   page         the station page's WebSocket (its tick rate)
//   viewer       the viewer page's WebSocket (publisher's rate limit, then the viewer's tick)
// A tick or gathering window that sets a floor is printed beside the figure: a change waits up
// to one period for it; p99-floor is what the path adds beyond that wait. Goals: row item and bridge p99 under 20 ms,
// page p99 under 150 ms, viewer p99 under 500 ms, no max over 2 s.
//
//   cmake --build build --target bench_latency velmora-vehicle-sim velmora-fleetview
//   build/bench/bench_latency                       (253 vehicles, 30 s)
//   build/bench/bench_latency --vehicles 50 --seconds 10

#include "BenchSupport.h"
#include "MosquittoBroker.h"
#include "StationOptions.h"
#include "StationRuntime.h"
#include "app/GcsAppController.h"
#include "app/GcsApplication.h"
#include "bridge/MavlinkCodec.h"
#include "bridge/MavlinkMessages.h"
#include "cloud/FleetPublisher.h"
#include "vehicle/MultiVehicleManager.h"
#include "vehicle/VehicleClusterController.h"
#include "vehicle/VehicleClusterListDataItem.h"
#include "vehicle/VehicleClusterListModel.h"
#include "vehicle/VehicleController.h"
#include "web/GcsFleetWebServer.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QLocalSocket>
#include <QNetworkDatagram>
#include <QProcess>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QWebSocket>

#include <nlohmann/json.hpp>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using nlohmann::json;

namespace {

constexpr int kCliVehicles = 8;  // the CLI path polls this many vehicles in turn
constexpr int kCliEveryMs = 5;  // one request every so often, as a busy script would

int64_t nowUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

quint16 freePort(int type)
{
    const int fd = ::socket(AF_INET, type, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

// The first sight of each new step per vehicle on one path. A vehicle's first value on a path is
// only its starting point: it may have been sent long before the path was watched.
class Sightings {
public:
    void see(int vehicle, double alt, int64_t us)
    {
        if (!std::isfinite(alt))
            return;
        const int step = int(std::lround(alt));
        std::lock_guard lock(m_mutex);
        const auto [it, first] = m_last.try_emplace(vehicle, step);
        if (first || it->second == step)
            return;
        it->second = step;
        m_seen.push_back({vehicle, step, us});
    }
    struct Seen {
        int vehicle, step;
        int64_t us;
    };
    std::vector<Seen> take()
    {
        std::lock_guard lock(m_mutex);
        return std::move(m_seen);
    }

private:
    std::mutex m_mutex;
    std::map<int, int> m_last;
    std::vector<Seen> m_seen;
};

// A page WebSocket: the snapshot's vehicles set the starting points, each tick's altitudes count.
void watchPage(QWebSocket& ws, const QString& url, Sightings& seen)
{
    QObject::connect(&ws, &QWebSocket::textMessageReceived, [&seen](const QString& text) {
        const int64_t us = nowUs();
        const json m = json::parse(text.toStdString(), nullptr, false);
        if (!m.is_object())
            return;
        const json* list = nullptr;
        if (m.value("type", "") == "snapshot" && m.contains("fleet"))
            list = &m["fleet"]["vehicles"];
        else if (m.value("type", "") == "tick")
            list = &m["vehicles"];
        if (!list || !list->is_array())
            return;
        for (const json& v : *list) {
            const auto id = v.find("vehicleId");
            const auto alt = v.find("alt");
            if (id != v.end() && id->is_number_integer() && alt != v.end() && alt->is_number())
                seen.see(id->get<int>(), alt->get<double>(), us);
        }
    });
    ws.open(QUrl(url));
}

// telemetry.snapshot of vehicles 1..kCliVehicles in turn, one connection a request as velmora-cli
// makes it, every kCliEveryMs; returns the requests made.
long pollCli(const QString& endpoint, int seconds, Sightings& seen)
{
    long requests = 0;
    const int64_t end = nowUs() + int64_t(seconds) * 1000000;
    for (int n = 0; nowUs() < end; ++n) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kCliEveryMs));
        const int id = 1 + n % kCliVehicles;
        QLocalSocket socket;
        socket.connectToServer(endpoint);
        if (!socket.waitForConnected(2000))
            continue;
        const std::string body = json({{"method", "telemetry.snapshot"}, {"params", {{"vehicleId", id}}}}).dump();
        const auto len = quint32(body.size());
        QByteArray frame(4, 0);
        for (int i = 0; i < 4; ++i)
            frame[i] = char((len >> (8 * i)) & 0xFF);
        socket.write(frame + QByteArray::fromStdString(body));
        socket.flush();
        QByteArray in;
        while (socket.waitForReadyRead(2000)) {
            in += socket.readAll();
            if (in.size() < 4)
                continue;
            const quint32 n4 = quint32(uchar(in[0])) | quint32(uchar(in[1])) << 8 | quint32(uchar(in[2])) << 16 |
                               quint32(uchar(in[3])) << 24;
            if (in.size() < qsizetype(n4) + 4)
                continue;
            const int64_t us = nowUs();
            ++requests;
            const json r = json::parse(in.mid(4, n4).toStdString(), nullptr, false);
            if (r.is_object() && r.value("ok", false)) {
                const json& alt = r["data"]["position"]["alt"];
                if (alt.is_number())
                    seen.see(id, alt.get<double>(), us);
            }
            break;
        }
    }
    return requests;
}

// The child: watches the CLI, the bridge, the page and the viewer for `seconds`, then prints
// "PATH VEHICLE STEP MICROSECONDS" lines and "cli_requests N".
int runObserver(int argc, char** argv, const QStringList& a)
{
    QCoreApplication app(argc, argv);
    const auto arg = [&](const char* name) { return a.value(a.indexOf(name) + 1); };
    const int seconds = arg("--seconds").toInt();
    Sightings cli, bridge, page, viewer;

    QUdpSocket gcs;
    if (!gcs.bind(QHostAddress::LocalHost, quint16(arg("--gcs-port").toUInt())))
        return 1;
    mavlink::FrameCutter cutter;
    QObject::connect(&gcs, &QUdpSocket::readyRead, [&] {
        while (gcs.hasPendingDatagrams()) {
            const QByteArray d = gcs.receiveDatagram().data();
            const int64_t us = nowUs();
            cutter.feed(reinterpret_cast<const uint8_t*>(d.constData()), size_t(d.size()),
                        [&](const mavlink::Frame& f, mavlink::FrameCutter::Signature) {
                            if (f.msgid == mavlink::kGlobalPositionInt)
                                bridge.see(f.sysid, double(f.as<mavlink::GlobalPositionInt>().relativeAlt) / 1000.0,
                                           us);
                        });
            cutter.reset();
        }
    });
    // As the page's own script connects: from the page's origin.
    QWebSocket pageWs("http://127.0.0.1:" + arg("--page-port"));
    QWebSocket viewerWs("http://127.0.0.1:" + arg("--viewer-port"));
    watchPage(pageWs, "ws://127.0.0.1:" + arg("--page-port") + "/ws", page);
    watchPage(viewerWs, "ws://127.0.0.1:" + arg("--viewer-port") + "/ws", viewer);
    std::atomic<long> cliRequests{0};
    std::thread cliThread([&] { cliRequests = pollCli(arg("--endpoint"), seconds, cli); });
    bench::pump(seconds * 1000);
    cliThread.join();
    for (auto [name, s] : {std::pair{"cli", &cli}, {"bridge", &bridge}, {"page", &page}, {"viewer", &viewer}})
        for (const auto& e : s->take())
            std::printf("%s %d %d %lld\n", name, e.vehicle, e.step, static_cast<long long>(e.us));
    std::printf("cli_requests %ld\n", cliRequests.load());
    return 0;
}

struct Path {
    const char* name;
    double floorMs;  // the period a change may wait for; 0: none
    double goalP99Ms;  // 0: none but the max
    std::vector<double> ms;
    long unmatched = 0;
};

}  // namespace

int main(int argc, char** argv)
{
    const QStringList a = [&] {
        QStringList l;
        for (int i = 0; i < argc; ++i)
            l << QString::fromLocal8Bit(argv[i]);
        return l;
    }();
    if (a.contains("--observe"))
        return runObserver(argc, argv, a);
    const auto arg = [&](const char* name, int def) {
        const int i = a.indexOf(name);
        return i > 0 && i + 1 < a.size() ? a[i + 1].toInt() : def;
    };
    const int vehicles = std::clamp(arg("--vehicles", 253), kCliVehicles, 253);
    const int seconds = std::clamp(arg("--seconds", 30), 5, 300);
    qputenv("QT_QPA_PLATFORM", "offscreen");

    QTemporaryDir dir;
    const quint16 linkPort = freePort(SOCK_DGRAM), gcsPort = freePort(SOCK_DGRAM);
    const quint16 pagePort = freePort(SOCK_STREAM), viewerPort = freePort(SOCK_STREAM);
    // The broker's files go with this run's; it is made once the application exists.
    qputenv("VELMORA_TEST_ROOT", dir.path().toLocal8Bit());
    const quint16 brokerPort = freePort(SOCK_STREAM);
    const QString brokerUri = QStringLiteral("mqtt://127.0.0.1:%1").arg(brokerPort);
    const QString stationPw = dir.path() + "/station.pw", viewerPw = dir.path() + "/viewer.pw";
    for (const auto& [file, pw] : {std::pair{stationPw, "bench-station"}, {viewerPw, "bench-viewer"}}) {
        QFile f(file);
        f.open(QIODevice::WriteOnly);
        f.write(pw);
        f.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    }

    QStringList station{"bench_latency",
                        "--data-dir",
                        dir.path() + "/station",
                        "--endpoint-dir",
                        dir.path(),
                        "--no-cloud",
                        "--log-level",
                        "warn",
                        "--udp",
                        QString::number(linkPort),
                        "--http",
                        QString::number(pagePort),
                        "--mavlink",
                        QStringLiteral("udp:127.0.0.1:%1").arg(gcsPort),
                        "--fleet-broker",
                        brokerUri,
                        "--station-id",
                        "lat",
                        "--fleet-user",
                        "lat",
                        "--fleet-password-file",
                        stationPw};
    std::vector<QByteArray> storage;
    std::vector<char*> sargv;
    for (const QString& s : station)
        storage.push_back(s.toLocal8Bit());
    for (auto& s : storage)
        sargv.push_back(s.data());
    int sargc = int(sargv.size());
    StationOptions options;
    if (const QString why = StationOptions::parse(sargc, sargv.data(), options); !why.isEmpty()) {
        std::fprintf(stderr, "station options: %s\n", qPrintable(why));
        return 1;
    }
    StationRuntime runtime(options, QStringLiteral("bench_latency"), true);
    if (const int status = runtime.start(sargc, sargv.data()))
        return status;
    testsupport::MosquittoBroker broker(brokerPort);
    broker.addUser("lat", "bench-station");
    broker.addUser("fleetview", "bench-viewer");
    if (!broker.useRecommendedConfig()) {
        std::fprintf(stderr, "the README has no broker configuration\n");
        return 1;
    }
    if (!broker.start()) {
        std::fprintf(stderr, "mosquitto did not start: %s\n", qPrintable(broker.log()));
        return 1;
    }

    QProcess viewerProc;
    viewerProc.setStandardOutputFile(dir.path() + "/fleetview.out");
    viewerProc.setStandardErrorFile(dir.path() + "/fleetview.err");
    viewerProc.start(VELMORA_FLEETVIEW_BIN, {"--broker", brokerUri, "--user", "fleetview", "--password-file", viewerPw,
                                             "--http", QString::number(viewerPort), "--log-level", "warn"});
    const QString probeFile = dir.path() + "/probe.txt";
    QProcess sim;
    sim.setStandardErrorFile(dir.path() + "/sim.err");
    sim.start(VELMORA_VEHICLE_SIM_BIN, {"--udp", QStringLiteral("127.0.0.1:%1").arg(linkPort), "--count",
                                        QString::number(vehicles), "--fix-after-s", "0", "--latency-probe", probeFile});
    if (!sim.waitForStarted(5000) || !viewerProc.waitForStarted(5000)) {
        std::fprintf(stderr, "the simulator or the viewer did not start\n");
        return 1;
    }

    GcsAppController* ctrl = runtime.controller();
    const auto alive = [&] {
        int n = 0;
        for (const auto& v : ctrl->multiVehicleMgr()->vehicleList())
            n += v->alive() ? 1 : 0;
        return n;
    };
    QDeadlineTimer joinDeadline(60000);
    while (alive() < vehicles && !joinDeadline.hasExpired())
        bench::pump(100);
    if (alive() < vehicles) {
        std::fprintf(stderr, "only %d of %d vehicles alive after 60 s; not measured\n", alive(), vehicles);
        return 1;
    }
    bench::pump(3000);  // the viewer hears the whole fleet

    // The models, in this process.
    Sightings rowItem, listModel;
    const auto model = ctrl->vehicleClusterCtrler()->getClusterListModel();
    for (int row = 0; row < model->count(); ++row) {
        const auto item = model->itemAt(row);
        QObject::connect(item.get(), &VehicleClusterListDataItem::dataChanged, item.get(),
                         [&rowItem, it = item.get()] { rowItem.see(it->vehicleId(), it->alt(), nowUs()); });
    }
    QObject::connect(model.get(), &QAbstractItemModel::dataChanged, model.get(),
                     [&listModel, m = model.get()](const QModelIndex& from, const QModelIndex& to) {
                         const int64_t us = nowUs();
                         for (int row = from.row(); row <= to.row(); ++row) {
                             const QModelIndex i = m->index(row);
                             listModel.see(i.data(VehicleClusterListModel::VehicleIdRole).toInt(),
                                           i.data(VehicleClusterListModel::AltitudeRole).toDouble(), us);
                         }
                     });

    QProcess observer;
    observer.start(QCoreApplication::applicationFilePath(),
                   {"--observe", "--seconds", QString::number(seconds), "--gcs-port", QString::number(gcsPort),
                    "--page-port", QString::number(pagePort), "--viewer-port", QString::number(viewerPort),
                    "--endpoint", dir.path() + "/Tarnwick_CliIpc_v1"});
    observer.waitForStarted(5000);
    const double cpu0 = bench::cpuSeconds();
    QDeadlineTimer observed(int64_t(seconds + 20) * 1000);
    while (observer.state() != QProcess::NotRunning && !observed.hasExpired())
        bench::pump(100);
    const double stationCores = (bench::cpuSeconds() - cpu0) / double(seconds);
    sim.terminate();
    sim.waitForFinished(5000);
    viewerProc.terminate();
    viewerProc.waitForFinished(5000);

    // When the simulator first sent each step.
    std::map<std::pair<int, int>, int64_t> sent;
    QFile probe(probeFile);
    if (!probe.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "the simulator wrote no probe file\n");
        return 1;
    }
    for (const QByteArray& line : probe.readAll().split('\n')) {
        const QList<QByteArray> f = line.split(' ');
        if (f.size() == 3)
            sent.emplace(std::pair{f[0].toInt(), f[1].toInt()}, f[2].toLongLong());
    }
    const double pageFloor = 1000.0 / options.httpRateHz;
    std::vector<Path> paths = {
        {"row item", 0, 20, {}},
        {"list model", double(VehicleClusterListModel::kBatchMs), 0, {}},
        {"cli", 0, 0, {}},
        {"bridge", 0, 20, {}},  // GLOBAL_POSITION_INT goes as each position sample comes
        {"page", pageFloor, 150, {}},
        {"viewer", 1000.0 / FleetPublisher::kRateHz + 1000.0 / GcsFleetWebServer::kDefaultRateHz, 500, {}},
    };
    auto add = [&](const char* name, int vehicle, int step, int64_t us) {
        for (Path& p : paths) {
            if (std::string(p.name) != name)
                continue;
            const auto it = sent.find({vehicle, step});
            if (it == sent.end())
                ++p.unmatched;
            else
                p.ms.push_back(double(us - it->second) / 1000.0);
        }
    };
    for (const auto& e : rowItem.take())
        add("row item", e.vehicle, e.step, e.us);
    for (const auto& e : listModel.take())
        add("list model", e.vehicle, e.step, e.us);
    long cliRequests = 0;
    for (const QByteArray& line : observer.readAllStandardOutput().split('\n')) {
        const QList<QByteArray> f = line.split(' ');
        if (f.size() == 2 && f[0] == "cli_requests")
            cliRequests = f[1].toLong();
        else if (f.size() == 4)
            add(f[0].constData(), f[1].toInt(), f[2].toInt(), f[3].toLongLong());
    }
    // The CLI's floor is one round of its vehicles.
    paths[2].floorMs = cliRequests > 0 ? double(seconds) * 1000.0 * kCliVehicles / double(cliRequests) : 0;

    std::printf("%d vehicles, %d s, station %.2f core; latency from the simulator's send, ms\n", vehicles, seconds,
                stationCores);
    std::printf("%-11s %8s %8s %8s %8s %9s %12s %10s  %s\n", "path", "samples", "p50", "p99", "max", "floor",
                "p99-floor", "unmatched", "goal");
    bool met = true;
    for (Path& p : paths) {
        std::sort(p.ms.begin(), p.ms.end());
        const double p99 = bench::percentile(p.ms, 0.99);
        const double max = p.ms.empty() ? NAN : p.ms.back();
        const bool ok = !p.ms.empty() && max < 2000 && (p.goalP99Ms == 0 || p99 < p.goalP99Ms);
        met = met && ok;
        const QString goal = (p.goalP99Ms > 0 ? QStringLiteral("p99 < %1, ").arg(p.goalP99Ms) : QString()) +
                             QStringLiteral("max < 2000: %1").arg(ok ? "met" : "NOT met");
        std::printf("%-11s %8zu %8.1f %8.1f %8.1f %9.1f %12.1f %10ld  %s\n", p.name, p.ms.size(),
                    bench::percentile(p.ms, 0.5), p99, max, p.floorMs, p99 - p.floorMs, p.unmatched, qPrintable(goal));
    }
    std::fflush(stdout);
    return met ? 0 : 2;
}
