#include "telemetry/MavFlightStatusDataItem.h"
#include "telemetry/VehicleAlertController.h"
#include "vehicle/VehicleController.h"

#include <QSignalSpy>

#include "TestSupport.h"

#include <gtest/gtest.h>

namespace {

// A healthy full flight status record: every rule inactive.
_MavProtoFlightStatusData_t healthy()
{
    _MavProtoFlightStatusData_t r{};
    r.rcState = 1, r.positionState = 3, r.headingState = 1, r.linkState = 1, r.workState = 5;
    r.imuSensorState = 0x27, r.headingSensorState = 0x85, r.gnssHdop = 8, r.gnssVdop = 8, r.takeoffCheck = 0x7E;
    return r;
}

struct AlertLog {
    QStringList events;  // "key state current expected threshold"
    explicit AlertLog(VehicleAlertController& c)
    {
        QObject::connect(&c, &VehicleAlertController::alertChanged, [this](const VehicleAlert& a) {
            events << QStringLiteral("%1 %2 %3 %4 %5")
                          .arg(a.key.section('.', 2), a.state == VehicleAlertState::Active ? "active" : "cleared",
                               a.currentValue, a.expectedValue, a.thresholdValue)
                          .trimmed();
        });
    }
};

}  // namespace

TEST(VehicleAlertController, RulesRaiseChangeAndClear)
{
    auto item = std::make_shared<MavFlightStatusDataItem>();
    auto vehicle = std::make_shared<VehicleController>(8, nullptr, nullptr);
    VehicleAlertController alerts(vehicle);
    AlertLog log(alerts);
    auto feed = [&](const _MavProtoFlightStatusData_t& r) {
        item->updateProtoData(r);
        alerts.handleTeleDataChanged(item, 0);
    };

    // Each step changes the running record; the expected lines are every alertChanged, in order.
    struct Step {
        const char* name;
        std::function<void(_MavProtoFlightStatusData_t&)> change;
        QStringList expected;
    };
    const std::vector<Step> steps = {
        {"healthy", [](auto&) {}, {}},
        {"rc lost", [](auto& r) { r.rcState = 0; }, {"rc_state.lost active 0 1"}},
        {"same again", [](auto&) {}, {}},
        {"rc back", [](auto& r) { r.rcState = 1; }, {"rc_state.lost cleared 1 1"}},
        {"battery low", [](auto& r) { r.batteryState = 1; }, {"battery_state.low active 1 0"}},
        {"battery critical",
         [](auto& r) { r.batteryState = 2; },
         {"battery_state.low cleared 2 0", "battery_state.critical_low active 2 0"}},
        {"battery fine", [](auto& r) { r.batteryState = 0; }, {"battery_state.critical_low cleared 0 0"}},
        {"imu3 only", [](auto& r) { r.imuSensorState = 0x23; }, {"imu_sensor_state.imu3_fault active 35 4"}},
        {"imu fine", [](auto& r) { r.imuSensorState = 0x27; }, {"imu_sensor_state.imu3_fault cleared 39 4"}},
        {"hdop at threshold", [](auto& r) { r.gnssHdop = 30; }, {}},
        {"hdop above", [](auto& r) { r.gnssHdop = 31; }, {"gnss_hdop.high active 3.1  3.0"}},
        {"hdop changes while active", [](auto& r) { r.gnssHdop = 35; }, {"gnss_hdop.high active 3.5  3.0"}},
        {"hdop fine", [](auto& r) { r.gnssHdop = 8; }, {"gnss_hdop.high cleared 0.8  3.0"}},
        {"emergency with causes",
         [](auto& r) { r.emergencyProtect = 0x25; },
         {"emergency_protect.active active 触发应急保护-一级低压、遥控器信号丢失-返航 0"}},
        {"emergency without causes",
         [](auto& r) { r.emergencyProtect = 0x20; },
         {"emergency_protect.active active 触发应急保护-返航 0"}},
        {"below any action",
         [](auto& r) { r.emergencyProtect = 0x1F; },
         {"emergency_protect.active cleared "
          "触发应急保护-一级低压、二级低压、遥控器信号丢失、链路信号丢失、GNSS信号丢失-0 0"}},
        {"takeoff forbidden", [](auto& r) { r.takeoffCheck = 0x7F; }, {"takeoff_check.forbidden active 禁止起飞 0"}},
        {"takeoff forbidden with faults",
         [](auto& r) { r.takeoffCheck = 0x79; },
         {"takeoff_check.forbidden active 禁止起飞，IMU异常、方向角异常 0"}},
        {"takeoff allowed", [](auto& r) { r.takeoffCheck = 0x7E; }, {"takeoff_check.forbidden cleared  0"}},
        {"heading sensors down",
         [](auto& r) { r.headingSensorState = 0; },
         {"heading_sensor_state.overall_fault active 0 128", "heading_sensor_state.mag_fault active 0 1",
          "heading_sensor_state.dual_antenna_fault active 0 4"}},
        {"work state init failed", [](auto& r) { r.workState = 1; }, {"work_state.init_failed active 1 2"}},
    };
    auto record = healthy();
    for (const auto& step : steps) {
        log.events.clear();
        step.change(record);
        feed(record);
        EXPECT_EQ(log.events, step.expected) << step.name;
    }
    ASSERT_EQ(alerts.activeAlerts().size(), 4);
    EXPECT_EQ(alerts.activeAlerts().at(0).vehicleId, 8);
}

TEST(VehicleAlertController, ComprehensiveUpdatesRunOnlyTheFirstSixRules)
{
    auto item = std::make_shared<MavFlightStatusDataItem>();
    VehicleAlertController alerts(nullptr);
    AlertLog log(alerts);
    MavProtoComprehensiveData_t c{};
    c.states.rcState = 1, c.states.headingState = 1, c.states.linkState = 1;  // position lost
    item->updateFromComprehensiveData(c);
    alerts.handleTeleDataChanged(item, 0);
    alerts.handleTeleDataChanged(item, 1);  // a name change evaluates nothing
    // The zero sensor bytes would raise rules 8-14 if they ran.
    EXPECT_EQ(log.events, QStringList{"position_state.lost active 0 3"});
    ASSERT_EQ(alerts.activeAlerts().size(), 1);
    EXPECT_EQ(alerts.activeAlerts().at(0).level, VehicleAlertLevel::Critical);
}
