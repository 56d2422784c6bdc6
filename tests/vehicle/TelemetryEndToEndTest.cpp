// Telemetry between the station and the vehicle simulator: alive tracking and alerts from
// injected states. Polling over serial is covered by the calibration tests (ParamsEndToEndTest).

#include "StationWithSim.h"

#include "LogCapture.h"
#include "LoopbackPeers.h"
#include "SimVehicle.h"
#include "automation/GcsCliCommandRouter.h"
#include "automation/GcsCliOutcomeRecorder.h"
#include "automation/GcsCliServiceContext.h"
#include "telemetry/MavTelemetryController.h"
#include "telemetry/VehicleAlertController.h"

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
    ASSERT_NO_FATAL_FAILURE(startAlive(options));  // alive on its telemetry
    auto vehicle = mvm()->activeVehicle();
    QSignalSpy state(vehicle->teleCtrler().get(), &MavTelemetryController::teleDataReportStateChanged);
    // Lost within the allowed duration (3 ticks) plus two seconds of slack after the silence.
    ASSERT_TRUE(waitUntil([&] { return !vehicle->alive(); }, 2500 + 300 + 2000 + 1000));
    QList<int> seen;
    for (const auto& args : state)
        seen << args.at(0).toInt();
    EXPECT_EQ(seen.mid(seen.size() - 1), QList<int>{1});
    const auto stats = vehicle->linkLossStats();
    EXPECT_GT(stats.telemetrySilentWindowCount, 0u);
    EXPECT_GT(stats.telemetryActiveWindowCount, 0u);
}

TEST_F(StationWithSim, AnInjectedStateRaisesAnAlertAndItsEndClearsIt)
{
    // Until its position fixes the simulated vehicle reports no positioning: an alert that
    // clears by itself once the fix comes.
    fastPolling();
    SimOptions options;
    options.fixAfterMs = 2000;
    options.hdop = 45;
    ASSERT_NO_FATAL_FAILURE(startAlive(options));
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

// The simulator falls silent in flight: the link alert is raised through alerts.active and the
// log, and clears once the vehicle answers again.
TEST_F(StationWithSim, AVehicleSilentInFlightRaisesTheLinkAlertUntilItAnswers)
{
    fastPolling();
    SimOptions options;
    options.fixAfterMs = 0;
    ASSERT_NO_FATAL_FAILURE(startAlive(options));
    auto vehicle = mvm()->activeVehicle();
    GcsCliOutcomeRecorder outcomes(gcsApp()->appCtrler());
    auto linkAlerts = [&] {
        const auto r = GcsCliCommandRouter::dispatch(GcsCliServiceContext{gcsApp()->appCtrler(), &outcomes},
                                                     {{"method", "alerts.active"}, {"params", {{"vehicleId", 1}}}});
        nlohmann::json found = nlohmann::json::array();
        for (const auto& a : r["data"]["alerts"])
            if (a["id"] == "vehicle.link.lost")
                found.push_back(a);
        return found;
    };
    vehicle->takeoff(20, 10);
    ASSERT_TRUE(waitUntil([&] { return sim->vehicle(1)->altitude() > 4; }, 5000));
    testsupport::LogCapture::instance().clear();
    sim->vehicle(1)->silenceFor(1500);
    ASSERT_TRUE(waitUntil([&] { return !linkAlerts().empty(); }, 1500));
    const auto alert = linkAlerts().at(0);
    EXPECT_EQ(alert["level"], "Critical");
    EXPECT_NE(alert["message"].get<std::string>().find("22.5"), std::string::npos) << alert.dump();
    EXPECT_EQ(
        testsupport::LogCapture::instance().countContaining(spdlog::level::warn, "Critical alert vehicle.link.lost"),
        1);
    ASSERT_TRUE(waitUntil([&] { return linkAlerts().empty(); }, 3000));
    EXPECT_TRUE(vehicle->alive());
}
