// Telemetry between the station and the vehicle simulator: alive tracking, the flight model
// seen through the data items, alerts from injected states, and flight data files.

#include "StationWithSim.h"

#include "LoopbackPeers.h"
#include "automation/GcsConsoleHandler.h"
#include "telemetry/MavFlightStatusDataItem.h"
#include "telemetry/MavPosDataItem.h"
#include "telemetry/MavTelemetryController.h"
#include "telemetry/VehicleAlertController.h"

#include <QDir>
#include <QFile>

using testsupport::waitUntil;

namespace {

// Polling every 100 ms so that a silent simulator is noticed within 300 ms.
void fastPolling()
{
    GcsSettings::getInstance()->setTeleReqInterval(100);
}

}  // namespace

TEST_F(StationWithSim, VehicleGoesAliveOnTelemetryAndLostWhenTheSimulatorFallsSilent)
{
    fastPolling();
    SimOptions options;
    options.silentAfterMs = 2500;
    options.fixAfterMs = 0;
    startSim(options);
    connectUdp(sim->listenPort());
    ASSERT_TRUE(waitForVehicles(1));
    auto vehicle = mvm()->activeVehicle();
    QSignalSpy state(vehicle->teleCtrler().get(), &MavTelemetryController::teleDataReportStateChanged);
    ASSERT_TRUE(waitUntil([&] { return vehicle->alive(); }));
    // Lost within the allowed duration (3 ticks) plus two seconds of slack after the silence.
    ASSERT_TRUE(waitUntil([&] { return !vehicle->alive(); }, 2500 + 300 + 2000 + 1000));
    QList<int> seen;
    for (const auto& args : state)
        seen << args.at(0).toInt();
    EXPECT_EQ(seen.mid(seen.size() - 1), QList<int>{1});
    EXPECT_TRUE(seen.contains(2));
    const auto stats = vehicle->linkLossStats();
    EXPECT_GT(stats.telemetrySilentWindowCount, 0u);
    EXPECT_GT(stats.telemetryActiveWindowCount, 0u);
}

TEST_F(StationWithSim, AltitudeRisesAfterTakeoffAndTheConsoleShowsBothSides)
{
    fastPolling();
    SimOptions options;
    options.fixAfterMs = 0;
    startSim(options);
    connectUdp(sim->listenPort());
    ASSERT_TRUE(waitForVehicles(1));
    auto vehicle = mvm()->activeVehicle();
    QStringList console;
    QObject::connect(app->ctrl->consoleHandler().get(), &GcsConsoleHandler::logOutput,
                     [&](OstLogLevel, QString text) { console << text; });
    ASSERT_TRUE(waitUntil([&] { return vehicle->alive(); }));
    auto pos = vehicle->teleCtrler()->posDataItem();
    EXPECT_LT(pos->alt(), 0.5);
    QSignalSpy takeoff(vehicle.get(), &VehicleController::takeoffResp);
    vehicle->takeoff(20, 5);
    ASSERT_TRUE(waitUntil([&] { return takeoff.count() == 1; }));
    EXPECT_EQ(takeoff.at(0).at(0).toInt(), 0);
    ASSERT_TRUE(waitUntil([&] { return pos->alt() > 3.0; }, 4000)) << "altitude " << pos->alt();
    EXPECT_TRUE(console.contains("[发送] 起飞"));
    EXPECT_TRUE(console.contains("[接收] 起飞    指令已执行"));
    EXPECT_NE(vehicle->teleCtrler()->flightStatusDataItem()->flightState(), 0);
}

TEST_F(StationWithSim, AnInjectedStateRaisesAnAlertAndItsEndClearsIt)
{
    // Until its position fixes the simulated vehicle reports no positioning: an alert that
    // clears by itself once the fix comes.
    fastPolling();
    SimOptions options;
    options.fixAfterMs = 2000;
    options.hdop = 45;
    startSim(options);
    connectUdp(sim->listenPort());
    ASSERT_TRUE(waitForVehicles(1));
    auto vehicle = mvm()->activeVehicle();
    QList<VehicleAlert> changes;
    QObject::connect(vehicle->alertCtrler().get(), &VehicleAlertController::alertChanged,
                     [&](const VehicleAlert& a) { changes << a; });
    auto active = [&](const QString& key) {
        for (const auto& a : vehicle->alertCtrler()->activeAlerts()) {
            if (a.key == key)
                return true;
        }
        return false;
    };
    ASSERT_TRUE(waitUntil([&] { return active("vehicle.telemetry.position_state.lost"); }, 3000));
    ASSERT_TRUE(waitUntil([&] { return !active("vehicle.telemetry.position_state.lost"); }, 5000));
    bool sawClear = false;
    for (const auto& a : changes) {
        if (a.key == "vehicle.telemetry.position_state.lost" && a.state == VehicleAlertState::Cleared) {
            sawClear = true;
            EXPECT_EQ(a.currentValue, "3");
            EXPECT_EQ(a.vehicleId, 1);
        }
    }
    EXPECT_TRUE(sawClear);
    // The injected HDOP of 4.5 stays above the 3.0 threshold.
    EXPECT_TRUE(active("vehicle.telemetry.gnss_hdop.high"));
}

TEST_F(StationWithSim, FlightDataFileHoldsTheTitleAndOneRowPerFlightStatusFrame)
{
    fastPolling();
    SimOptions options;
    options.fixAfterMs = 0;
    startSim(options);
    connectUdp(sim->listenPort());
    ASSERT_TRUE(waitForVehicles(1));
    auto tele = mvm()->activeVehicle()->teleCtrler();
    const QString dir = GcsSettings::getInstance()->userDataPath() + "/flightData";
    QStringList lines;
    ASSERT_TRUE(waitUntil([&] {
        const auto files = QDir(dir).entryList({"Flight_1_*.xlsx"}, QDir::Files);
        if (files.size() != 1)
            return false;
        QFile f(dir + "/" + files.first());
        f.open(QIODevice::ReadOnly);
        lines = QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
        return lines.size() >= 11;
    }, 5000));
    const int columns = int(lines.first().split('\t').size());
    EXPECT_EQ(lines.first(), tele->dataFileTitle());
    for (int i = 1; i < lines.size(); ++i)
        EXPECT_EQ(lines.at(i).split('\t').size(), columns) << "row " << i;
    EXPECT_EQ((lines.size() - 1) % 5, 0) << "rows arrive in batches of five";
}

TEST_F(StationWithSim, TelemetryPollingWorksOverASerialLink)
{
    // The requests are written from the timer thread: a serial port written from a foreign
    // thread sends nothing, so this fails unless the link hands the bytes to its own thread.
    testsupport::SocatPty pty;
    ASSERT_TRUE(pty.start());
    fastPolling();
    SimOptions options;
    options.fixAfterMs = 0;
    startSerialSim(options, pty);
    ASSERT_TRUE(waitForVehicles(1));
    auto vehicle = mvm()->activeVehicle();
    ASSERT_TRUE(waitUntil([&] { return vehicle->alive(); }, 3000));
    EXPECT_TRUE(waitUntil([&] { return vehicle->teleCtrler()->flightStatusDataItem()->positionState() == 3; }));
    EXPECT_TRUE(waitUntil([&] { return sim->counters().teleAnswers > 5; })) << "polling goes on from the timer thread";
}
