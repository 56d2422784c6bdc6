#include "telemetry/MavAhrsDataItem.h"
#include "telemetry/MavFlightStatusDataItem.h"
#include "telemetry/MavPosDataItem.h"
#include "telemetry/MavRcDataItem.h"
#include "telemetry/MavTargetStabilizeDataItem.h"
#include "telemetry/MavTeleResDataItem.h"

#include <QSignalSpy>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>

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

TEST(MavTeleDataItems, FieldsAreFormattedAsTheirTablesSay)
{
    Items it;
    feedFullRecords(it);
    struct Case {
        const char* name;
        MavTeleDataElementPtr element;
        int id;
        QString label;
        QString unit;
        QString value;
        QString displayValue;  // empty: same as value
    };
    const std::vector<Case> cases = {
        {"gx 2 decimals", it.ahrs->gxElement(), 1, "x轴角速度", "deg/s", "1.23", ""},
        {"gy negative", it.ahrs->gyElement(), 2, "y轴角速度", "deg/s", "-0.50", ""},
        {"az", it.ahrs->azElement(), 6, "z轴加速度", "m/s^2", "-9.81", ""},
        {"mx integer", it.ahrs->mxElement(), 7, "x轴磁场强度", "", "-5", ""},
        {"mz max", it.ahrs->mzElement(), 9, "z轴磁场强度", "", "32767", ""},
        {"roll", it.ahrs->rollElement(), 10, "滚转角", "°", "0.13", ""},
        {"pitch -3", it.ahrs->pitchElement(), 11, "俯仰角", "°", "-3.00", ""},
        {"yaw 1 decimal", it.ahrs->yawElement(), 12, "航向角", "°", "12.3", ""},
        {"magYaw rounds up", it.ahrs->magYawElement(), 13, "磁航向", "°", "360.0", ""},
        {"presAlt", it.ahrs->presAltElement(), 14, "气压高度", "m", "101.2", ""},
        {"ahrs res0", it.ahrs->res0Element(), 15, "预留", "", "-1", ""},
        {"homeLat 8 decimals", it.pos->homeLatElement(), 100, "home纬度", "°", "22.12345679", ""},
        {"homeLon", it.pos->homeLonElement(), 101, "home经度", "°", "-113.50000000", ""},
        {"lon zero", it.pos->lonElement(), 103, "经度", "°", "0.00000000", ""},
        {"alt", it.pos->altElement(), 104, "高度", "m", "-1.01", ""},
        {"northSpd", it.pos->northSpdElement(), 108, "北向速度", "m/s", "3.14", ""},
        {"ekfUpLine", it.pos->ekfUpLineElement(), 113, "融合相对高度", "m", "0.00", ""},
        {"rtkYaw 1 decimal", it.pos->rtkYawElement(), 117, "双天线航向", "°", "90.0", ""},
        {"posSatNum", it.pos->posSatNumElement(), 118, "单点卫星数", "", "17", ""},
        {"rtkSatNum", it.pos->rtkSatNumElement(), 119, "差分卫星数", "", "255", ""},
        {"targetPosN", it.ts->targetPosNElement(), 200, "期望北向位置", "m", "10.00", ""},
        {"targetVelN", it.ts->targetVelNElement(), 203, "期望北向速度", "m/s", "1.50", ""},
        {"targetYaw", it.ts->targetYawElement(), 208, "期望航向角", "°", "-45.4", ""},
        {"targetGyrox", it.ts->targetGyroxElement(), 209, "期望滚转角速率", "deg/s", "2.0", ""},
        {"throttleServoOut", it.ts->throttleServoOutElement(), 215, "油门通道输出控制量", "", "-12.4", ""},
        {"rcAil", it.rc->rcAilElement(), 300, "副翼", "", "1500", ""},
        {"rcMode", it.rc->rcModeElement(), 304, "mode", "", "2000", ""},
        {"rcAux3", it.rc->rcAux3Element(), 307, "aux3", "", "1900", ""},
        {"motor 0", it.rc->motorOutputElement(0), 308, "电机1", "", "1000", ""},
        {"motor 15", it.rc->motorOutputElement(15), 323, "电机16", "", "65535", ""},
        {"fcuVol", it.fs->fcuVolElement(), 408, "飞控供电电压", "V", "12.5", "12.5"},
        {"imu state", it.fs->imuSensorStateElement(), 412, "IMU传感器状态", "", "3", "3"},
        {"hdop tenths", it.fs->gnssHdopElement(), 414, "GNSS HDOP", "", "1.5", "1.5"},
        {"vdop tenths", it.fs->gnssVdopElement(), 415, "GNSS VDOP", "", "0.7", "0.7"},
        {"gnss position state", it.fs->gnssPositionStateElement(), 416, "GNSS定位状态", "", "65535", "65535"},
        {"emergency", it.fs->emergencyProtectElement(), 418, "应急保护", "", "9", "9"},
        {"work state", it.fs->workStateElement(), 411, "工作状态", "", "5", "飞行中"},
        {"total time", it.fs->totalFlightTimeElement(), 419, "累计飞行时间", "", "3725", "1:02:05"},
        {"res0", it.res->resElement(0), 500, "res0", "", "3.14", ""},
        {"res29", it.res->resElement(29), 529, "res29", "", "-7.50", ""},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(c.element) << c.name;
        EXPECT_EQ(int(c.element->id()), c.id) << c.name;
        EXPECT_EQ(c.element->name(), c.label) << c.name;
        EXPECT_EQ(c.element->displayName(), c.label) << c.name;
        EXPECT_EQ(c.element->unit(), c.unit) << c.name;
        EXPECT_EQ(c.element->value(), c.value) << c.name;
        EXPECT_EQ(c.element->displayValue(), c.displayValue.isEmpty() ? c.value : c.displayValue) << c.name;
    }

    // Typed getters hand back the record's fields in their own types.
    EXPECT_FLOAT_EQ(it.ahrs->yaw(), 12.34f);
    EXPECT_EQ(it.ahrs->mx(), -5);
    EXPECT_DOUBLE_EQ(it.pos->homeLat(), 22.123456789);
    EXPECT_EQ(it.pos->rtkSatNum(), 255);
    EXPECT_DOUBLE_EQ(it.ts->targetVelN(), 1.5);
    EXPECT_EQ(it.rc->motorOutput(15), 65535);
    EXPECT_EQ(it.rc->rcAux1(), 1100);
    EXPECT_EQ(it.fs->gnssHdop(), 15);
    EXPECT_EQ(it.fs->totalFlightTime(), 3725u);
    EXPECT_FLOAT_EQ(it.res->protoData().res[29], -7.5f);
    EXPECT_FLOAT_EQ(it.ts->protoData().res0, 7.0f);  // kept although not shown
}

TEST(MavTeleDataItems, FlightStatusCodesShowTheirTexts)
{
    using Field = uint8_t MavProtoFlightStatusData_t::*;
    struct Case {
        const char* name;
        Field field;
        MavTeleDataElementPtr (MavFlightStatusDataItem::*element)() const;
        std::map<int, QString> texts;
        std::vector<int> unknown;
    };
    using I = MavFlightStatusDataItem;
    const std::vector<Case> cases = {
        {"flight mode", &MavProtoFlightStatusData_t::flightMode, &I::flightModeElement,
         {{0, "姿态模式"}, {1, "手动模式"}, {2, "定高模式"}, {3, "自动模式"}, {4, "引导模式"}, {5, "定点模式"},
          {6, "返航模式"}, {7, "环绕模式"}, {8, "起飞模式"}, {9, "降落模式"}, {10, "光流定点模式"}, {11, "跟随模式"}},
         {12, 255}},
        {"flight state", &MavProtoFlightStatusData_t::flightState, &I::flightStateElement,
         {{0, "未飞行"}, {1, "爬升中"}, {2, "悬停中"}, {3, "航行中"}, {4, "下降中"}, {5, "怠速中"}, {6, "手动飞行中"}},
         {7}},
        {"rc state", &MavProtoFlightStatusData_t::rcState, &I::rcStateElement, {{0, "丢失"}, {1, "正常"}}, {2}},
        {"position state", &MavProtoFlightStatusData_t::positionState, &I::positionStateElement,
         {{0, "未定位"}, {1, "单点"}, {2, "伪距差分"}, {3, "RTK差分"}}, {4}},
        {"heading state", &MavProtoFlightStatusData_t::headingState, &I::headingStateElement,
         {{0, "未定向"}, {1, "已定向"}}, {2}},
        {"link state", &MavProtoFlightStatusData_t::linkState, &I::linkStateElement, {{0, "链路丢失"}, {1, "链路正常"}},
         {2}},
        {"armed state", &MavProtoFlightStatusData_t::armedState, &I::armedStateElement, {{0, "未解锁"}, {1, "已解锁"}},
         {2}},
        {"battery state", &MavProtoFlightStatusData_t::batteryState, &I::batteryStateElement,
         {{0, "正常"}, {1, "电池低电压"}, {2, "电池严重低电压"}}, {3}},
        {"work state", &MavProtoFlightStatusData_t::workState, &I::workStateElement,
         {{1, "初始化失败"}, {2, "初始化成功"}, {3, "在地面"}, {4, "怠速中"}, {5, "飞行中"}}, {0, 6}},
    };
    I item;
    for (const auto& c : cases) {
        auto expect = [&](int code, const QString& shown) {
            MavProtoFlightStatusData_t record{};
            record.*c.field = uint8_t(code);
            item.updateProtoData(record);
            const auto element = (item.*c.element)();
            EXPECT_EQ(element->value(), QString::number(code)) << c.name << " " << code;
            EXPECT_EQ(element->displayValue(), shown) << c.name << " " << code;
        };
        for (const auto& [code, text] : c.texts)
            expect(code, text);
        for (int code : c.unknown)
            expect(code, QString::number(code));  // no text: the number shows through
    }
}

TEST(MavTeleDataItems, DurationAndTakeOffCheckTexts)
{
    const std::vector<std::pair<uint32_t, QString>> durations = {
        {0, "0:00:00"}, {59, "0:00:59"}, {60, "0:01:00"}, {3725, "1:02:05"}, {86400, "24:00:00"}, {360061, "100:01:01"},
    };
    MavFlightStatusDataItem item;
    for (const auto& [seconds, text] : durations) {
        MavProtoFlightStatusData_t record{};
        record.totalFlightTime = seconds;
        record.currentFlightTime = seconds;
        record.surplusFlightTime = seconds;
        item.updateProtoData(record);
        for (const auto& element :
             {item.totalFlightTimeElement(), item.currentFlightTimeElement(), item.surplusFlightTimeElement()}) {
            EXPECT_EQ(element->value(), QString::number(seconds)) << element->name().toStdString();
            EXPECT_EQ(element->displayValue(), text) << element->name().toStdString();
        }
    }

    const QString allOk = "允许起飞；IMU正常；方向角正常；遥控器正常；GNSS正常；定向信号正常；电池正常";
    const QString allBad = "允许起飞；IMU异常；方向角异常；遥控器丢失；GNSS丢失；定向信号丢失；电池异常";
    const std::vector<std::pair<uint16_t, QString>> checks = {
        {0x7E, allOk},
        {0x00, allBad},
        {0x7F, "禁止起飞；IMU正常；方向角正常；遥控器正常；GNSS正常；定向信号正常；电池正常"},
        {0x01, "禁止起飞；IMU异常；方向角异常；遥控器丢失；GNSS丢失；定向信号丢失；电池异常"},
        {0x0A, "允许起飞；IMU正常；方向角异常；遥控器正常；GNSS丢失；定向信号丢失；电池异常"},
        {0x50, "允许起飞；IMU异常；方向角异常；遥控器丢失；GNSS正常；定向信号丢失；电池正常"},
        {0xFF80, allBad},  // bits 7..15 mean nothing
        {0x807E, allOk},
    };
    for (const auto& [bits, text] : checks) {
        MavProtoFlightStatusData_t record{};
        record.takeoffCheck = bits;
        item.updateProtoData(record);
        EXPECT_EQ(item.takeoffCheckElement()->value(), QString::number(bits)) << bits;
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
        {"roll taken", it.ahrs->rollElement()->value(), "1.00"},
        {"yaw taken", it.ahrs->yawElement()->value(), "270.0"},
        {"presAlt taken", it.ahrs->presAltElement()->value(), "55.5"},
        {"pitch taken as zero", it.ahrs->pitchElement()->value(), "0.00"},
        {"gx kept", it.ahrs->gxElement()->value(), "1.23"},
        {"gx kept in record", QString::number(it.ahrs->gx()), "1.234"},
        {"fresh gx not shown", freshAhrs->gxElement()->value(), ""},
        {"lat taken", it.pos->latElement()->value(), "30.00000000"},
        {"posSatNum taken", it.pos->posSatNumElement()->value(), "9"},
        {"upSpd taken", it.pos->upSpdElement()->value(), "-2.00"},
        {"homeLat kept", it.pos->homeLatElement()->value(), "22.12345679"},
        {"rtkSatNum kept", it.pos->rtkSatNumElement()->value(), "255"},
        {"targetPosN taken", it.ts->targetPosNElement()->value(), "-4.00"},
        {"targetGyrox kept", it.ts->targetGyroxElement()->value(), "2.0"},
        {"throttle kept", it.ts->throttleServoOutElement()->value(), "-12.4"},
        {"rcAil taken", it.rc->rcAilElement()->value(), "1234"},
        {"rcMode taken", it.rc->rcModeElement()->value(), "1"},
        {"aux1 kept", QString::number(it.rc->rcAux1()), "1100"},
        {"aux3 kept", it.rc->rcAux3Element()->value(), "1900"},
        {"motor 9 taken", it.rc->motorOutputElement(9)->value(), "2009"},
        {"motor 10 kept", it.rc->motorOutputElement(10)->value(), "1010"},
        {"motor 15 kept", QString::number(it.rc->motorOutput(15)), "65535"},
        {"flight mode taken", it.fs->flightModeElement()->displayValue(), "返航模式"},
        {"flight state taken", it.fs->flightStateElement()->displayValue(), "悬停中"},
        {"position state taken", it.fs->positionStateElement()->displayValue(), "RTK差分"},
        {"battery state taken", it.fs->batteryStateElement()->displayValue(), "电池严重低电压"},
        {"fcuVol taken", it.fs->fcuVolElement()->displayValue(), "24.0"},
        {"work state kept", it.fs->workStateElement()->displayValue(), "飞行中"},
        {"hdop kept", it.fs->gnssHdopElement()->value(), "1.5"},
        {"total time kept", it.fs->totalFlightTimeElement()->displayValue(), "1:02:05"},
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
    EXPECT_FLOAT_EQ(it.ahrs->yaw(), 181.26f);
}

TEST(MavTeleDataItems, NothingShowsBeforeTheFirstUpdate)
{
    Items it;
    const std::vector<std::shared_ptr<MavTeleBaseDataItem>> items = {it.ahrs, it.pos, it.ts, it.rc, it.fs, it.res};
    for (const auto& item : items) {
        for (const auto& element : item->dataElementList()) {
            EXPECT_TRUE(element->value().isEmpty()) << int(element->id());
            EXPECT_TRUE(element->displayValue().isEmpty()) << int(element->id());
            EXPECT_EQ(element->displayName(), element->name()) << int(element->id());
            EXPECT_EQ(element->dataCommand(), item->dataCommand()) << int(element->id());
            EXPECT_FALSE(element->dataItem()) << "set only by users of the items";
        }
        EXPECT_EQ(item->selfPointer(), item);
    }
    auto allZero = [](const auto& record) {
        const auto* bytes = reinterpret_cast<const uint8_t*>(&record);
        return std::all_of(bytes, bytes + sizeof(record), [](uint8_t b) { return b == 0; });
    };
    EXPECT_TRUE(allZero(it.ahrs->protoData()));
    EXPECT_TRUE(allZero(it.pos->protoData()));
    EXPECT_TRUE(allZero(it.ts->protoData()));
    EXPECT_TRUE(allZero(it.rc->protoData()));
    EXPECT_TRUE(allZero(it.fs->protoData()));
    EXPECT_TRUE(allZero(it.res->protoData()));
    EXPECT_EQ(it.ahrs->roll(), 0.0f);
    EXPECT_EQ(it.pos->lat(), 0.0);
    EXPECT_EQ(it.fs->takeoffCheck(), 0);
    EXPECT_FALSE(it.fs->hasFlightStatusFrameData());

    // Out-of-range motor indexes read as nothing, before and after data.
    feedFullRecords(it);
    EXPECT_TRUE(it.fs->hasFlightStatusFrameData());
    for (int i : {-1, 16, 1000}) {
        EXPECT_EQ(it.rc->motorOutput(i), 0) << i;
        EXPECT_FALSE(it.rc->motorOutputElement(i)) << i;
    }
    EXPECT_FALSE(it.res->resElement(30));

    // An item not owned by a shared pointer has no self pointer (and does not throw).
    MavRcDataItem unowned;
    EXPECT_FALSE(unowned.selfPointer());
}

TEST(MavTeleDataItems, ElementFallbacks)
{
    MavTeleDataElement plain;
    EXPECT_EQ(plain.dataCommand(), -1);
    MavTeleDataElement e(MavTeleDataElement::Res3, "res3", "1.00", "V", 47);
    EXPECT_EQ(e.displayValue(), "1.00");
    e.setValue("2.00");
    EXPECT_EQ(e.displayValue(), "1.00") << "the constructor's display value stays until replaced";
    e.setDisplayValue("");
    EXPECT_EQ(e.displayValue(), "2.00");
    e.setDisplayName("Pump");
    EXPECT_EQ(e.displayName(), "Pump");
    EXPECT_EQ(e.name(), "res3");
    e.setDisplayName("");
    EXPECT_EQ(e.displayName(), "res3");
    auto item = std::make_shared<MavTeleResDataItem>();
    e.setDataItem(item);
    EXPECT_EQ(e.dataItem(), item);
    item.reset();
    EXPECT_FALSE(e.dataItem());
}
