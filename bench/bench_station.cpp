// Station load: one process with a GcsApplication whose app controller is connected over
// loopback UDP to a velmora-vehicle-sim process running N vehicles, telemetry every 50 ms.
// For N = 10, 50 and 100 (each in a fresh child process) it prints the station's CPU time per
// second of wall time, its peak resident memory, and the telemetry silent-window rate.
//
//   cmake --build build --target bench_station velmora-vehicle-sim && build/bench/bench_station
//   build/bench/bench_station --vehicles 100 --seconds 30      (one run)

#include "app/GcsAppController.h"
#include "app/GcsApplication.h"
#include "app/GcsServerConfig.h"
#include "app/GcsSettings.h"
#include "vehicle/MultiVehicleManager.h"
#include "vehicle/VehicleController.h"

#include <QCommandLineParser>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QUdpSocket>

#include <spdlog/spdlog.h>

#include <sys/resource.h>

#include <cstdio>

namespace {

double cpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

long peakRssKiB()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

// Runs the event loop for a while, as the station's own loop would (no polling).
void pump(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

int runOne(int argc, char** argv, int vehicles, int seconds)
{
    QTemporaryDir dir;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path() + "/config");
    spdlog::set_level(spdlog::level::err);
    GcsServerConfig::instance()->setHttpBaseUrl("http://127.0.0.1:9");
    GcsSettings::getInstance()->init(dir.path() + "/cache", dir.path() + "/data");
    GcsSettings::getInstance()->setTeleReqInterval(50);

    GcsApplication app(argc, argv);
    app.init();
    auto* ctrl = new GcsAppController(&app);
    app.setAppCtrler(ctrl);
    const long rssBefore = peakRssKiB();

    QUdpSocket probe;
    probe.bind(QHostAddress::LocalHost, 0);
    const quint16 stationPort = probe.localPort();
    probe.close();

    QProcess sim;
    sim.setStandardErrorFile(QProcess::nullDevice());
    sim.start(VELMORA_VEHICLE_SIM_BIN, {"--udp", QStringLiteral("127.0.0.1:%1").arg(stationPort), "--count",
                                        QString::number(vehicles), "--fix-after-s", "0"});
    if (!sim.waitForStarted(5000) || !sim.waitForReadyRead(5000)) {
        std::fprintf(stderr, "simulator did not start\n");
        return 1;
    }
    const int simPort = sim.readLine().trimmed().toInt();
    ctrl->connectToLinkFromCliParams({{"type", "udp"}, {"sendPort", stationPort}, {"recvPort", simPort}});

    QDeadlineTimer joinDeadline(10000);
    while (ctrl->multiVehicleMgr()->vehicleList().size() < vehicles && !joinDeadline.hasExpired())
        pump(50);
    pump(1500);  // every vehicle alive and polled
    for (const auto& v : ctrl->multiVehicleMgr()->vehicleList())
        v->resetLinkLossStats();

    const double cpu0 = cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    pump(seconds * 1000);
    const double cpu = cpuSeconds() - cpu0;
    const double wallSeconds = double(wall.elapsed()) / 1000.0;

    uint64_t windows = 0;
    uint64_t silent = 0;
    int alive = 0;
    for (const auto& v : ctrl->multiVehicleMgr()->vehicleList()) {
        const auto s = v->linkLossStats();
        windows += s.telemetryWindowCount;
        silent += s.telemetrySilentWindowCount;
        alive += v->alive() ? 1 : 0;
    }
    const long rssPeak = peakRssKiB();
    std::printf("%8d %8d %12.3f %14ld %14.1f %12.3f%% %10llu\n", vehicles, alive, cpu / wallSeconds, rssPeak / 1024,
                double(rssPeak - rssBefore) / double(vehicles), windows ? 100.0 * double(silent) / double(windows) : 0.0,
                static_cast<unsigned long long>(windows));
    std::fflush(stdout);
    sim.terminate();
    sim.waitForFinished(3000);
    app.quit();
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    int vehicles = 0;
    int seconds = 30;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::string(argv[i]) == "--vehicles")
            vehicles = std::atoi(argv[i + 1]);
        if (std::string(argv[i]) == "--seconds")
            seconds = std::atoi(argv[i + 1]);
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    if (vehicles > 0)
        return runOne(argc, argv, vehicles, seconds);

    std::printf("%8s %8s %12s %14s %14s %13s %10s\n", "vehicles", "alive", "cpu/wall", "peak RSS MiB", "KiB/vehicle",
                "silent rate", "windows");
    std::fflush(stdout);
    for (int n : {10, 50, 100}) {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        child.start(argv[0], {"--vehicles", QString::number(n), "--seconds", QString::number(seconds)});
        child.waitForFinished(-1);
    }
    return 0;
}
