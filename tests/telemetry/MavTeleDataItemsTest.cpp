#include "telemetry/MavAhrsDataItem.h"
#include "telemetry/MavFlightStatusDataItem.h"
#include "telemetry/MavPosDataItem.h"
#include "telemetry/MavRcDataItem.h"
#include "telemetry/MavTargetStabilizeDataItem.h"
#include "telemetry/MavTeleResDataItem.h"

#include <QSignalSpy>

#include <gtest/gtest.h>

namespace {

struct Items {
    std::shared_ptr<MavAhrsDataItem> ahrs = std::make_shared<MavAhrsDataItem>();
    std::shared_ptr<MavPosDataItem> pos = std::make_shared<MavPosDataItem>();
    std::shared_ptr<MavTargetStabilizeDataItem> ts = std::make_shared<MavTargetStabilizeDataItem>();
    std::shared_ptr<MavRcDataItem> rc = std::make_shared<MavRcDataItem>();
    std::shared_ptr<MavFlightStatusDataItem> fs = std::make_shared<MavFlightStatusDataItem>();
    std::shared_ptr<MavTeleResDataItem> res = std::make_shared<MavTeleResDataItem>();
};

// Full records with a distinct value in every field the tests look at.
void feedFullRecords(Items& it)
{
    MavProtoAhrsData_t a{};
    a.gx = 1.234f, a.gy = -0.5f, a.az = -9.81f, a.mx = -5, a.mz = 32767;
    a.roll = 0.126f, a.pitch = -3.0f, a.yaw = 12.34f, a.magYaw = 359.96f, a.presAlt = 101.24f, a.res0 = -1;
    it.ahrs->updateProtoData(a);

    MavProtoPosData_t p{};
    p.homeLat = 22.123456789, p.homeLon = -113.5, p.lat = 22.5, p.alt = -1.006, p.northSpd = 3.14159f;
    p.ekfUpLine = 0.004, p.rtkYaw = 90.04f, p.posSatNum = 17, p.rtkSatNum = 255;
    it.pos->updateProtoData(p);

    MavProtoTargetStabilizeData_t t{};
    t.targetPosN = 10.0, t.targetVelN = 1.5f, t.targetYaw = -45.36f, t.targetGyrox = 2.04f;
    t.throttleServoOut = -12.36f, t.res0 = 7.0f;
    it.ts->updateProtoData(t);

    MavProtoRCData_t r{};
    r.rcAil = 1500, r.rcMode = 2000, r.rcAux1 = 1100, r.rcAux3 = 1900;
    for (int i = 0; i < 16; ++i)
        r.motorOutput[i] = uint16_t(1000 + i);
    r.motorOutput[15] = 65535;
    it.rc->updateProtoData(r);

    MavProtoFlightStatusData_t f{};
    f.fcuVol = 12.46f, f.gnssHdop = 15, f.gnssVdop = 7, f.gnssPositionState = 65535, f.imuSensorState = 3;
    f.emergencyProtect = 9, f.workState = 5, f.totalFlightTime = 3725;
    it.fs->updateProtoData(f);

    MavProtoResData_t s{};
    s.res[0] = 3.14159f, s.res[29] = -7.5f;
    it.res->updateProtoData(s);
}

}  // namespace

// Decimal places, rounding and the texts shown for codes, tenths and durations.
TEST(MavTeleDataItems, ValuesAreFormattedAtTheirScalingEdges)
{
    Items it;
    feedFullRecords(it);
    struct Case {
        const char* name;
        MavTeleDataElementPtr element;
        QString value;
        QString displayValue;  // empty: same as value
    };
    const std::vector<Case> cases = {
        {"gy 2 decimals", it.ahrs->gyElement(), "-0.50", ""},
        {"mx integer", it.ahrs->mxElement(), "-5", ""},
        {"magYaw 1 decimal rounds up", it.ahrs->magYawElement(), "360.0", ""},
        {"homeLat 8 decimals", it.pos->homeLatElement(), "22.12345679", ""},
        {"motor 15 at its maximum", it.rc->motorOutputElement(15), "65535", ""},
        {"hdop tenths", it.fs->gnssHdopElement(), "1.5", ""},
        {"work state", it.fs->workStateElement(), "5", "飞行中"},
        {"total time", it.fs->totalFlightTimeElement(), "3725", "1:02:05"},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(c.element) << c.name;
        EXPECT_EQ(c.element->value(), c.value) << c.name;
        EXPECT_EQ(c.element->displayValue(), c.displayValue.isEmpty() ? c.value : c.displayValue) << c.name;
    }
    EXPECT_FLOAT_EQ(it.ts->protoData().res0, 7.0f);  // kept although not shown
}

// A code without a text shows its number.
TEST(MavTeleDataItems, StatusCodesShowTheirTextsOrTheirNumber)
{
    struct Case {
        uint8_t MavProtoFlightStatusData_t::*field;
        MavTeleDataElementPtr (MavFlightStatusDataItem::*element)() const;
        int code;
        QString shown;
    };
    using F = MavProtoFlightStatusData_t;
    using I = MavFlightStatusDataItem;
    const std::vector<Case> cases = {
        {&F::flightMode, &I::flightModeElement, 12, "12"},
        {&F::flightState, &I::flightStateElement, 7, "7"},
        {&F::positionState, &I::positionStateElement, 4, "4"},
        {&F::workState, &I::workStateElement, 6, "6"},
        {&F::integratedNavigationState, &I::integratedNavigationStateElement, 1, "就绪"},
        {&F::imuSensorState, &I::imuSensorStateElement, 0x27, "正常"},
        {&F::imuSensorState, &I::imuSensorStateElement, 0x23, "IMU3异常"},
        {&F::imuSensorState, &I::imuSensorStateElement, 0x06, "IMU总体故障、IMU1异常"},
        {&F::headingSensorState, &I::headingSensorStateElement, 0x85, "正常"},
        {&F::headingSensorState, &I::headingSensorStateElement, 0x01, "方向角传感器总体故障、双天线异常"},
        {&F::emergencyProtect, &I::emergencyProtectElement, 0x1F, "未触发"},
        {&F::emergencyProtect, &I::emergencyProtectElement, 0x25, "触发应急保护-一级低压、遥控器信号丢失-返航"},
    };
    I item;
    for (const auto& c : cases) {
        MavProtoFlightStatusData_t record{};
        record.*c.field = uint8_t(c.code);
        item.updateProtoData(record);
        const auto element = (item.*c.element)();
        EXPECT_EQ(element->value(), QString::number(c.code)) << c.shown.toStdString();
        EXPECT_EQ(element->displayValue(), c.shown);
    }
    // Words are for people; the flight log keeps a mask's number.
    MavProtoFlightStatusData_t record{};
    record.imuSensorState = 0x23;
    record.gnssPositionState = 3;
    item.updateProtoData(record);
    EXPECT_EQ(item.gnssPositionStateElement()->displayValue(), "RTK差分");
    for (const auto& element : {item.imuSensorStateElement(), item.gnssPositionStateElement()})
        EXPECT_EQ(MavTeleDataElement::format(element->displayCell()), element->value())
            << element->name().toStdString();
}

TEST(MavTeleDataItems, DurationAndTakeOffCheckTexts)
{
    const std::vector<std::pair<uint32_t, QString>> durations = {
        {0, "0:00:00"}, {59, "0:00:59"}, {60, "0:01:00"}, {86400, "24:00:00"}, {360061, "100:01:01"},
    };
    MavFlightStatusDataItem item;
    for (const auto& [seconds, text] : durations) {
        MavProtoFlightStatusData_t record{};
        record.totalFlightTime = seconds;
        record.currentFlightTime = seconds;
        record.surplusFlightTime = seconds;
        item.updateProtoData(record);
        for (const auto& element :
             {item.totalFlightTimeElement(), item.currentFlightTimeElement(), item.surplusFlightTimeElement()})
            EXPECT_EQ(element->displayValue(), text) << element->name().toStdString();
    }

    const QString allOk = "允许起飞；IMU正常；方向角正常；遥控器正常；GNSS正常；定向信号正常；电池正常";
    const QString allBad = "允许起飞；IMU异常；方向角异常；遥控器丢失；GNSS丢失；定向信号丢失；电池异常";
    const std::vector<std::pair<uint16_t, QString>> checks = {
        {0x7E, allOk},
        {0x00, allBad},
        {0x01, "禁止起飞；IMU异常；方向角异常；遥控器丢失；GNSS丢失；定向信号丢失；电池异常"},
        {0x0A, "允许起飞；IMU正常；方向角异常；遥控器正常；GNSS丢失；定向信号丢失；电池异常"},
        {0xFF80, allBad},  // bits 7..15 mean nothing
    };
    for (const auto& [bits, text] : checks) {
        MavProtoFlightStatusData_t record{};
        record.takeoffCheck = bits;
        item.updateProtoData(record);
        EXPECT_EQ(item.takeoffCheckElement()->displayValue(), text) << bits;
    }
}

TEST(MavTeleDataItems, ComprehensiveUpdateTouchesOnlyItsOwnFields)
{
    Items it;
    feedFullRecords(it);
    // A fresh flight status item shows that a comprehensive frame is not a flight status frame.
    auto freshFs = std::make_shared<MavFlightStatusDataItem>();
    auto freshAhrs = std::make_shared<MavAhrsDataItem>();

    MavProtoComprehensiveData_t c{};
    c.roll = 1.0f, c.yaw = 270.04f, c.presAlt = 55.55f;
    c.lat = 30.000000004, c.posSatNum = 9, c.upSpd = -2.0f;
    c.targetPosN = -4.0, c.targetYaw = 10.0f;
    c.rcAil = 1234, c.rcMode = 1;
    for (int i = 0; i < 10; ++i)
        c.motorOutput[i] = uint16_t(2000 + i);
    c.flightMode = 6, c.flightState = 2, c.fcuVol = 24.04f;
    c.states = {1, 3, 1, 1, 1, 2};

    std::vector<std::unique_ptr<QSignalSpy>> spies;
    for (QObject* o : std::initializer_list<QObject*>{it.ahrs.get(), it.pos.get(), it.ts.get(), it.rc.get(),
                                                      it.fs.get(), freshFs.get(), freshAhrs.get()})
        spies.push_back(std::make_unique<QSignalSpy>(o, SIGNAL(dataChanged(int))));
    it.ahrs->updateFromComprehensiveData(c);
    it.pos->updateFromComprehensiveData(c);
    it.ts->updateFromComprehensiveData(c);
    it.rc->updateFromComprehensiveData(c);
    it.fs->updateFromComprehensiveData(c);
    freshFs->updateFromComprehensiveData(c);
    freshAhrs->updateFromComprehensiveData(c);
    for (const auto& spy : spies) {
        ASSERT_EQ(spy->count(), 1);
        EXPECT_EQ(spy->at(0).at(0).toInt(), 0);
    }

    struct Check {
        const char* name;
        QString actual;
        QString expected;
    };
    const std::vector<Check> checks = {
        {"yaw taken", it.ahrs->yawElement()->value(), "270.0"},
        {"pitch taken as zero", it.ahrs->pitchElement()->value(), "0.00"},
        {"gx kept", it.ahrs->gxElement()->value(), "1.23"},
        {"fresh gx not shown", freshAhrs->gxElement()->value(), ""},
        {"lat taken", it.pos->latElement()->value(), "30.00000000"},
        {"homeLat kept", it.pos->homeLatElement()->value(), "22.12345679"},
        {"targetPosN taken", it.ts->targetPosNElement()->value(), "-4.00"},
        {"rcMode taken", it.rc->rcModeElement()->value(), "1"},
        {"motor 9 taken", it.rc->motorOutputElement(9)->value(), "2009"},
        {"motor 10 kept", it.rc->motorOutputElement(10)->value(), "1010"},
        {"flight mode taken", it.fs->flightModeElement()->displayValue(), "返航模式"},
        {"battery state taken", it.fs->batteryStateElement()->displayValue(), "电池严重低电压"},
        {"work state kept", it.fs->workStateElement()->displayValue(), "飞行中"},
        {"packed state rebuilt", QString::number(it.fs->protoData().packedState),
         QString::number(MavProtoTeleProcesser::encodeComprehensiveStateByte(c.states))},
    };
    for (const auto& ch : checks)
        EXPECT_EQ(ch.actual, ch.expected) << ch.name;

    EXPECT_TRUE(it.fs->hasFlightStatusFrameData());
    EXPECT_FALSE(freshFs->hasFlightStatusFrameData());
    EXPECT_EQ(freshFs->linkStateElement()->displayValue(), "链路正常");
}

TEST(MavTeleDataItems, UpdateFromStatusSetsTheAttitudeOnly)
{
    Items it;
    feedFullRecords(it);
    QSignalSpy spy(it.ahrs.get(), &MavTeleBaseDataItem::dataChanged);
    it.ahrs->updateFromStatus(-1.005f, 2.5f, 181.26f);
    ASSERT_EQ(spy.count(), 1);
    EXPECT_EQ(it.ahrs->rollElement()->value(), "-1.00");
    EXPECT_EQ(it.ahrs->pitchElement()->value(), "2.50");
    EXPECT_EQ(it.ahrs->yawElement()->value(), "181.3");
    EXPECT_EQ(it.ahrs->presAltElement()->value(), "101.2");
}

TEST(MavTeleDataItems, NothingShowsBeforeTheFirstUpdate)
{
    Items it;
    const std::vector<std::shared_ptr<MavTeleBaseDataItem>> items = {it.ahrs, it.pos, it.ts, it.rc, it.fs, it.res};
    for (const auto& item : items) {
        for (const auto& element : item->dataElementList())
            EXPECT_TRUE(element->value().isEmpty() && element->displayValue().isEmpty()) << int(element->id());
    }
    EXPECT_FALSE(it.fs->hasFlightStatusFrameData());

    // Out-of-range motor indexes read as nothing, before and after data.
    feedFullRecords(it);
    EXPECT_TRUE(it.fs->hasFlightStatusFrameData());
    for (int i : {-1, 16, 1000}) {
        EXPECT_EQ(it.rc->motorOutput(i), 0) << i;
        EXPECT_FALSE(it.rc->motorOutputElement(i)) << i;
    }
    EXPECT_FALSE(it.res->resElement(30));
}
