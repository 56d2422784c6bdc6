// Route transfer time: a station in process (GcsApplication and its missions controller) and a
// velmora-vehicle-sim process over loopback UDP. Uploads and downloads a 255-waypoint route 20
// times each and prints the median, minimum and maximum of each, in milliseconds. Polling runs
// as usual, so the numbers include the hold that pauses it.
//
//   cmake --build build --target bench_mission_transfer velmora-vehicle-sim && build/bench/bench_mission_transfer
//   build/bench/bench_mission_transfer --runs 50 --waypoints 100

#include "BenchSupport.h"
#include "app/GcsAppController.h"
#include "app/GcsApplication.h"
#include "app/GcsServerConfig.h"
#include "mission/MavFlightRouteDataItem.h"
#include "mission/MavFlightRouteManager.h"
#include "mission/MavMissionsController.h"
#include "mission/MavMultiPointRouteConfig.h"
#include "settings/GcsSettings.h"
#include "vehicle/MultiVehicleManager.h"
#include "vehicle/VehicleController.h"

#include <QCommandLineParser>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLoggingCategory>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <QUdpSocket>

#include <spdlog/spdlog.h>

#include <algorithm>
#include <cstdio>
#include <vector>

using bench::cpuSeconds;
using bench::peakRssKiB;
using bench::pump;

namespace {

bool pumpUntil(const std::function<bool()>& done, int ms)
{
    QDeadlineTimer deadline(ms);
    while (!done() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return done();
}

void printRow(const char* what, std::vector<double> ms)
{
    std::sort(ms.begin(), ms.end());
    std::printf("%-10s runs %3zu  median %7.1f ms  min %7.1f ms  max %7.1f ms\n", what, ms.size(), ms[ms.size() / 2],
                ms.front(), ms.back());
}

}  // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");  // the application class needs a platform, not a screen
    QTemporaryDir dir;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path() + "/config");
    spdlog::set_level(spdlog::level::warn);  // the queue logs every frame at info
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    GcsServerConfig::instance()->setHttpBaseUrl("http://127.0.0.1:9");
    GcsSettings::getInstance()->init(dir.path() + "/cache", dir.path() + "/data");

    GcsApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addOptions({{"runs", "Transfers of each kind (default 20).", "N", "20"},
                       {"waypoints", "Waypoints of the route, 1..255 (default 255).", "N", "255"}});
    parser.addHelpOption();
    parser.process(app);
    const int runs = std::max(1, parser.value("runs").toInt());
    const int waypoints = std::clamp(parser.value("waypoints").toInt(), 1, 255);

    app.init();
    auto* ctrl = new GcsAppController(&app);
    app.setAppCtrler(ctrl);

    QUdpSocket probe;
    probe.bind(QHostAddress::LocalHost, 0);
    const quint16 stationPort = probe.localPort();
    probe.close();
    QProcess sim;
    sim.setStandardErrorFile(QProcess::nullDevice());
    sim.start(VELMORA_VEHICLE_SIM_BIN,
              {"--udp", QStringLiteral("127.0.0.1:%1").arg(stationPort), "--fix-after-s", "0"});
    if (!sim.waitForStarted(5000) || !sim.waitForReadyRead(5000)) {
        std::fprintf(stderr, "the simulator did not start\n");
        return 1;
    }
    const int simPort = sim.readLine().trimmed().toInt();
    ctrl->connectToLinkFromCliParams({{"type", "udp"}, {"sendPort", stationPort}, {"recvPort", simPort}});
    auto* mvm = ctrl->multiVehicleMgr();
    if (!pumpUntil([&] { return mvm->activeVehicle() && mvm->activeVehicle()->alive(); }, 15000)) {
        std::fprintf(stderr, "no vehicle came alive\n");
        return 1;
    }
    pump(3000);  // the first parameter reads are done

    auto missions = ctrl->missionsCtrler();
    auto store = ctrl->flightRouteMgr();
    auto config = std::make_shared<MavMultiPointRouteConfig>();
    config->setName("bench");
    config->setNumber(1);
    pumpUntil([&] { return !store->isLoadRunning(); }, 5000);
    auto route = store->addFlightRoute(config, nullptr);
    for (int i = 0; i < waypoints; ++i)
        route->addWayPoint(MAVPROTO_WP_PASS, 113.9 + i * 1e-5, 22.5 + i * 1e-5, 20, 5, 1, MAVPROTO_HEADING_TO_NEXT_WP,
                           MAVPROTO_TRACE_STOP_AND_TURN, MAVPROTO_HEIGHT_RELATIVE, 0, -1, 0);
    pumpUntil([&] { return !store->isLoadRunning(); }, 5000);
    missions->stopEditing();

    int lastResult = -1;
    bool finished = false;
    QObject::connect(missions.get(), &MavMissionsController::flightRouteUploadingFinished,
                     [&](auto, int ret) { lastResult = ret, finished = true; });
    QObject::connect(missions.get(), &MavMissionsController::flightRouteDownloadingFinished,
                     [&](auto, int ret) { lastResult = ret, finished = true; });
    std::vector<double> up, down;
    for (int i = 0; i < 2 * runs; ++i) {
        const bool upload = i % 2 == 0;
        pumpUntil([&] { return !store->isLoadRunning(); }, 5000);  // the last download's save
        finished = false;
        QElapsedTimer t;
        t.start();
        if ((upload ? missions->upload() : missions->download()) != 0 || !pumpUntil([&] { return finished; }, 60000) ||
            lastResult != 0) {
            std::fprintf(stderr, "%s %d failed: result %d\n", upload ? "upload" : "download", i / 2, lastResult);
            return 1;
        }
        (upload ? up : down).push_back(double(t.nsecsElapsed()) / 1e6);
    }
    std::printf("route of %d waypoints over loopback UDP, telemetry polled every %d ms between transfers\n", waypoints,
                GcsSettings::getInstance()->getTeleReqInterval());
    printRow("upload", up);
    printRow("download", down);
    sim.terminate();
    sim.waitForFinished(3000);
    app.release();
    return 0;
}
