// Fleet page cost: a station in process (GcsApplication and its app controller) connected over
// loopback UDP to a velmora-vehicle-sim process with 100 vehicles (heartbeats and telemetry every
// 50 ms). It measures the station process's CPU time per wall second (getrusage) over S seconds
// with the fleet page off, on without clients, and on with 10 WebSocket clients at 5 Hz; then
// the same 10 clients while every vehicle climbs (every V changes at every tick). The clients run
// in a child process of this program, so their own work is not counted; it reports the bytes
// per second each client received.
//
//   cmake --build build --target bench_fleet_page velmora-vehicle-sim && build/bench/bench_fleet_page
//   build/bench/bench_fleet_page --vehicles 253 --seconds 10 --clients 10

#include "BenchSupport.h"
#include "app/GcsAppController.h"
#include "app/GcsApplication.h"
#include "app/GcsServerConfig.h"
#include "settings/GcsSettings.h"
#include "vehicle/MultiVehicleManager.h"
#include "vehicle/VehicleController.h"
#include "web/GcsFleetWebServer.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLoggingCategory>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <QUdpSocket>
#include <QWebSocket>

#include <spdlog/spdlog.h>

#include <sys/resource.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

using bench::cpuSeconds;
using bench::peakRssKiB;
using bench::pump;

namespace {

constexpr int kRateHz = 5;

// CPU seconds per wall second over `seconds` of the event loop.
double measure(int seconds)
{
    const double cpu0 = cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    pump(seconds * 1000);
    return (cpuSeconds() - cpu0) / (double(wall.elapsed()) / 1000.0);
}

// Child: `clients` WebSockets; once all have their snapshot, counts what arrives for `seconds`
// and prints the bytes per second per client.
int runClients(int argc, char** argv, quint16 port, int clients, int seconds)
{
    QCoreApplication app(argc, argv);
    std::vector<std::unique_ptr<QWebSocket>> sockets;
    int connected = 0;
    qint64 bytes = 0;
    bool counting = false;
    for (int i = 0; i < clients; ++i) {
        auto s = std::make_unique<QWebSocket>(QStringLiteral("http://127.0.0.1:%1").arg(port));
        QObject::connect(s.get(), &QWebSocket::textMessageReceived, [&](const QString& text) {
            if (counting)
                bytes += text.toUtf8().size();
            else if (text.contains(QLatin1String("\"type\":\"snapshot\"")))
                ++connected;
        });
        s->open(QUrl(QStringLiteral("ws://127.0.0.1:%1/ws").arg(port)));
        sockets.push_back(std::move(s));
    }
    QDeadlineTimer deadline(10000);
    while (connected < clients && !deadline.hasExpired())
        pump(20);
    if (connected < clients) {
        std::fprintf(stderr, "only %d of %d clients connected\n", connected, clients);
        return 1;
    }
    counting = true;
    QElapsedTimer wall;
    wall.start();
    pump(seconds * 1000);
    std::printf("%.1f\n", double(bytes) / double(clients) / (double(wall.elapsed()) / 1000.0));
    std::fflush(stdout);
    return 0;
}

// Starts the client process and waits until the server counts them; the caller reads its answer.
bool startClients(QProcess& child, const GcsFleetWebServer& server, int clients, int seconds)
{
    child.start(QCoreApplication::applicationFilePath(),
                {"--ws-clients", QString::number(server.port()), QString::number(clients), QString::number(seconds)});
    QDeadlineTimer deadline(15000);
    while (server.clientCount() < clients && !deadline.hasExpired())
        pump(20);
    return server.clientCount() == clients;
}

double clientRate(QProcess& child, int seconds)
{
    QDeadlineTimer deadline((seconds + 15) * 1000);
    while (child.state() != QProcess::NotRunning && !deadline.hasExpired())
        pump(50);
    return child.readAllStandardOutput().trimmed().toDouble();
}

int runStation(int argc, char** argv, int vehicles, int seconds, int clients)
{
    QTemporaryDir dir;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path() + "/config");
    spdlog::set_level(spdlog::level::err);
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    GcsServerConfig::instance()->setHttpBaseUrl("http://127.0.0.1:9");
    GcsSettings::getInstance()->init(dir.path() + "/cache", dir.path() + "/data");
    GcsSettings::getInstance()->setTeleReqInterval(50);

    GcsApplication app(argc, argv);
    app.init();
    auto* ctrl = new GcsAppController(&app);
    app.setAppCtrler(ctrl);

    QUdpSocket probe;
    probe.bind(QHostAddress::LocalHost, 0);
    const quint16 stationPort = probe.localPort();
    probe.close();
    QProcess sim;
    sim.setStandardErrorFile(QProcess::nullDevice());
    sim.start(VELMORA_VEHICLE_SIM_BIN, {"--udp", QStringLiteral("127.0.0.1:%1").arg(stationPort), "--count",
                                        QString::number(vehicles), "--fix-after-s", "0", "--heartbeat-ms", "50"});
    if (!sim.waitForStarted(5000) || !sim.waitForReadyRead(5000)) {
        std::fprintf(stderr, "the simulator did not start\n");
        return 1;
    }
    const int simPort = sim.readLine().trimmed().toInt();
    ctrl->connectToLinkFromCliParams({{"type", "udp"}, {"sendPort", stationPort}, {"recvPort", simPort}});
    auto* mvm = ctrl->multiVehicleMgr();
    QDeadlineTimer joinDeadline(30000);
    while (mvm->vehicleList().size() < vehicles && !joinDeadline.hasExpired())
        pump(50);
    if (mvm->vehicleList().size() < vehicles) {
        std::fprintf(stderr, "only %lld of %d vehicles joined\n", static_cast<long long>(mvm->vehicleList().size()),
                     vehicles);
        sim.terminate();
        sim.waitForFinished(3000);
        return 1;
    }
    pump(2000);  // every vehicle alive and polled

    std::printf("fleet page, %d vehicles, telemetry every 50 ms, %d s per phase, %d Hz\n", vehicles, seconds, kRateHz);
    const double off = measure(seconds);
    std::printf("  page off                      %6.2f %% of a core\n", 100.0 * off);
    std::fflush(stdout);

    GcsFleetWebServer::Options options;
    options.rateHz = kRateHz;
    GcsFleetWebServer server(ctrl->fleetPageSource(), options);
    if (!server.start())
        return 1;
    const double idle = measure(seconds);
    std::printf("  page on, no client            %6.2f %% (+%.2f)\n", 100.0 * idle, 100.0 * (idle - off));
    std::fflush(stdout);

    int rc = 0;
    for (const bool climbing : {false, true}) {
        if (climbing)
            for (const auto& v : mvm->vehicleList())
                v->takeoff(2000, 2);  // climbs through every phase
        QProcess child;
        child.setStandardErrorFile(QProcess::nullDevice());
        if (!startClients(child, server, clients, seconds)) {
            std::fprintf(stderr, "the %d clients did not connect\n", clients);
            rc = 1;
            break;
        }
        const double busy = measure(seconds);
        const double perClient = clientRate(child, seconds);
        std::printf("  page on, %2d clients%s %6.2f %% (+%.2f), %.1f KiB/s per client\n", clients,
                    climbing ? ", climbing" : "          ", 100.0 * busy, 100.0 * (busy - off), perClient / 1024.0);
        std::fflush(stdout);
    }
    server.stop();
    sim.terminate();
    sim.waitForFinished(3000);
    return rc;
}

int usage()
{
    std::fprintf(stderr, "usage: bench_fleet_page [--vehicles N (1-253, default 100)] [--seconds S (default 30)] "
                         "[--clients C (1-32, default 10)]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 5 && std::string(argv[1]) == "--ws-clients")
        return runClients(argc, argv, quint16(std::atoi(argv[2])), std::atoi(argv[3]), std::atoi(argv[4]));
    int vehicles = 100, seconds = 30, clients = 10;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        const int value = std::atoi(argv[i + 1]);
        if (arg == "--vehicles" && value >= 1 && value <= 253)
            vehicles = value;
        else if (arg == "--seconds" && value >= 1)
            seconds = value;
        else if (arg == "--clients" && value >= 1 && value <= GcsFleetWebServer::kMaxClients)
            clients = value;
        else
            return usage();
    }
    if (argc % 2 == 0)
        return usage();
    return runStation(argc, argv, vehicles, seconds, clients);
}
