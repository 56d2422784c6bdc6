#include "common/GcsConsoleHandler.h"
#include "telemetry/MavFlightStatusDataItem.h"
#include "telemetry/MavPosDataItem.h"
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

// A vehicle that falls silent raises the link alert at the level its last flight status calls
// for, with its last position and height and the time since it was heard, on the console too;
// it clears with a note when the vehicle answers again.
TEST(VehicleAlertController, SilenceRaisesTheLinkAlertByTheLastFlightState)
{
    enum Last { Flying, ArmedOnGround, LandedDisarmed, NothingHeard };
    const struct {
        Last last;
        VehicleAlertLevel level;
        const char* text;
    } rows[] = {
        {Flying, VehicleAlertLevel::Critical, "飞行中链路中断：最后位置 22.5431000, 113.9468000，高度 22.0 m"},
        {ArmedOnGround, VehicleAlertLevel::Critical, "飞行中链路中断：最后位置 22.5431000, 113.9468000，高度 22.0 m"},
        {LandedDisarmed, VehicleAlertLevel::Warning,
         "链路中断（已降落、未解锁）：最后位置 22.5431000, 113.9468000，高度 22.0 m"},
        {NothingHeard, VehicleAlertLevel::Critical, "链路中断，飞行状态未知：最后位置 未知，高度 未知"},
    };
    for (const auto& row : rows) {
        auto vehicle = std::make_shared<VehicleController>(8, nullptr, nullptr);
        auto console = std::make_shared<GcsConsoleHandler>();
        vehicle->setGcsConsole(console);
        QStringList lines;
        QObject::connect(console.get(), &GcsConsoleHandler::logOutput,
                         [&](OstLogLevel, const QString& text) { lines << text; });
        VehicleAlertController alerts(vehicle);
        AlertLog log(alerts);
        if (row.last != NothingHeard) {
            auto status = std::make_shared<MavFlightStatusDataItem>();
            auto r = healthy();
            r.flightState = row.last == Flying ? 3 : 0;
            r.armedState = row.last == LandedDisarmed ? 0 : 1;
            status->updateProtoData(r);
            alerts.handleTeleDataChanged(status, 0);
            auto pos = std::make_shared<MavPosDataItem>();
            MavProtoPosData_t p{};
            p.lat = 22.5431, p.lon = 113.9468, p.alt = 22.0;
            pos->updateProtoData(p);
            alerts.handleTeleDataChanged(pos, 0);
        }
        alerts.handleVehicleAliveChanged(false);
        alerts.handleVehicleAliveChanged(false);  // still silent: nothing new
        ASSERT_EQ(alerts.activeAlerts().size(), 1) << row.text;
        const VehicleAlert a = alerts.activeAlerts().at(0);
        EXPECT_EQ(a.key, "vehicle.link.lost");
        EXPECT_EQ(a.level, row.level);
        EXPECT_EQ(a.currentValue, row.text);
        EXPECT_EQ(VehicleAlertController::messageOf(a, a.silentSinceMs + 24400), QString(row.text) + "，已失联 24 秒");
        ASSERT_EQ(lines.size(), 1);
        EXPECT_TRUE(lines.at(0).startsWith("车辆 8 " + VehicleAlert::levelText(row.level)))
            << lines.at(0).toStdString();
        alerts.handleVehicleAliveChanged(true);
        EXPECT_TRUE(alerts.activeAlerts().isEmpty());
        ASSERT_EQ(log.events.size(), 2);
        EXPECT_TRUE(log.events.at(1).startsWith("lost cleared 链路恢复，失联")) << log.events.at(1).toStdString();
        EXPECT_EQ(lines.size(), 2);
    }
}
