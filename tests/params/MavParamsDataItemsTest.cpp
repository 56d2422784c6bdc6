#include "params/MavAirframeTypeTable.h"
#include "params/MavBasicParamsDataItem.h"
#include "params/MavFixedPosCtrlParamsDataItem.h"
#include "params/MavFixedStabCtrlParamsDataItem.h"
#include "params/MavPosCtrlParamsDataItem.h"
#include "params/MavResParamsDataItem.h"
#include "params/MavStabCtrlParamsDataItem.h"

#include <QSignalSpy>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>

namespace {

// One named field of an item: its getter, its setter and the record member it must land in.
template <typename Item, typename Record>
struct Field {
    const char* name;
    std::function<double(const Item&)> get;
    std::function<void(Item&, double)> set;
    std::function<void(Record&, double)> setRecord;
    double initial;
};

#define FIELD(member, setter, initial)                                                                         \
    {                                                                                                        \
        #member, [](const auto& item) { return double(item.member()); },                                     \
            [](auto& item, double v) { item.setter(decltype(item.member())(v)); },                           \
            [](auto& record, double v) { record.member = decltype(record.member)(v); }, initial              \
    }

template <typename Item, typename Record>
void expectFieldsLandInTheirRecordMembers(const std::vector<Field<Item, Record>>& fields)
{
    Item item;
    Record expected = item.protoData();  // keeps what no field covers
    for (const auto& f : fields)
        EXPECT_EQ(f.get(item), f.initial) << f.name;

    // Distinct values, so a setter or getter aimed at the wrong member shows.
    double value = 1;
    for (const auto& f : fields) {
        f.set(item, value);
        f.setRecord(expected, value);
        value += 1;
    }
    const Record written = item.protoData();
    EXPECT_EQ(std::memcmp(&written, &expected, sizeof expected), 0);

    Item other;
    other.updateProtoData(item.protoData());
    value = 1;
    for (const auto& f : fields) {
        EXPECT_EQ(f.get(other), value) << f.name;
        value += 1;
    }
    Record copy = other.protoData();
    EXPECT_EQ(std::memcmp(&copy, &expected, sizeof expected), 0);
}

template <typename Item>
void expectAttitudeGainsRoundTrip()
{
    using R = std::remove_cvref_t<decltype(std::declval<Item>().protoData())>;
    expectFieldsLandInTheirRecordMembers<Item, R>({
        FIELD(rollP, setRollP, 0), FIELD(pitchP, setPitchP, 0), FIELD(yawP, setYawP, 0),
        FIELD(rollI, setRollI, 0), FIELD(pitchI, setPitchI, 0), FIELD(yawI, setYawI, 0),
        FIELD(rollD, setRollD, 0), FIELD(pitchD, setPitchD, 0), FIELD(yawD, setYawD, 0),
        FIELD(rpKf, setRpKf, 0), FIELD(yawKf, setYawKf, 0),
        FIELD(rollRateP, setRollRateP, 0), FIELD(pitchRateP, setPitchRateP, 0), FIELD(yawRateP, setYawRateP, 0),
        FIELD(rollRateI, setRollRateI, 0), FIELD(pitchRateI, setPitchRateI, 0), FIELD(yawRateI, setYawRateI, 0),
        FIELD(rollRateD, setRollRateD, 0), FIELD(pitchRateD, setPitchRateD, 0), FIELD(yawRateD, setYawRateD, 0),
    });
}

template <typename Item>
void expectPositionGainsRoundTrip()
{
    using R = std::remove_cvref_t<decltype(std::declval<Item>().protoData())>;
    expectFieldsLandInTheirRecordMembers<Item, R>({
        FIELD(posXP, setPosXP, 0), FIELD(posYP, setPosYP, 0), FIELD(posZP, setPosZP, 0),
        FIELD(posXI, setPosXI, 0), FIELD(posYI, setPosYI, 0), FIELD(posZI, setPosZI, 0),
        FIELD(posXD, setPosXD, 0), FIELD(posYD, setPosYD, 0), FIELD(posZD, setPosZD, 0),
        FIELD(posHKf, setPosHKf, 0), FIELD(posVKf, setPosVKf, 0),
        FIELD(velXP, setVelXP, 0), FIELD(velYP, setVelYP, 0), FIELD(velZP, setVelZP, 0),
        FIELD(velXI, setVelXI, 0), FIELD(velYI, setVelYI, 0), FIELD(velZI, setVelZI, 0),
        FIELD(velXD, setVelXD, 0), FIELD(velYD, setVelYD, 0), FIELD(velZD, setVelZD, 0),
    });
}

class VersionWriter : public MavBasicParamsDataItem {
public:
    using MavBasicParamsDataItem::setVersion;
};

std::vector<MavCustomNameFieldPtr> names(std::initializer_list<std::pair<QString, QString>> eidAndName)
{
    std::vector<MavCustomNameFieldPtr> out;
    for (const auto& [eid, name] : eidAndName)
        out.push_back(std::make_shared<MavCustomNameField>(eid, QString(), name));
    return out;
}

}  // namespace

TEST(MavParamsDataItems, BasicFieldsStartAtVehicleDefaultsAndLandInTheirMembers)
{
    using I = MavBasicParamsDataItem;
    using R = MavProtoBasicParams_t;
    expectFieldsLandInTheirRecordMembers<I, R>({
        FIELD(ahrsX, setAhrsX, 0), FIELD(ahrsY, setAhrsY, 0), FIELD(ahrsZ, setAhrsZ, 0),
        FIELD(gpsX, setGpsX, 0), FIELD(gpsY, setGpsY, 0), FIELD(gpsZ, setGpsZ, 0),
        FIELD(vol1, setVol1, 0), FIELD(vol2, setVol2, 0), FIELD(mavType, setMavType, 0),
        FIELD(lowPowerProteStrategy, setLowPowerProteStrategy, 0), FIELD(maxFlyAlt, setMaxFlyAlt, 0),
        FIELD(maxHorDistance, setMaxHorDistance, 0), FIELD(maxHorSpeed, setMaxHorSpeed, 0),
        FIELD(maxVerSpeed, setMaxVerSpeed, 0), FIELD(workMode, setWorkMode, 0),
        FIELD(protocolType, setProtocolType, 0), FIELD(circleRadius, setCircleRadius, 0),
        FIELD(linkProteStrategy, setLinkProteStrategy, 3),
        FIELD(lowPowerProteStrategy2, setLowPowerProteStrategy2, 0), FIELD(vehicleId, setVehicleId, 0),
        FIELD(accelCutoffFreqHz, setAccelCutoffFreqHz, 0),
        FIELD(angularRateCutoffFreqHz, setAngularRateCutoffFreqHz, 0),
        FIELD(dualAntennaInstallAngleDeg, setDualAntennaInstallAngleDeg, 0),
        FIELD(lithiumBatteryCellCount, setLithiumBatteryCellCount, 0),
        FIELD(returnAltitudeM, setReturnAltitudeM, 0),
        FIELD(rcSignalAbnormalProtect, setRcSignalAbnormalProtect, 0),
        FIELD(yawRateLimitDegS, setYawRateLimitDegS, 30),
        FIELD(pitchRollMaxAngleLimitDeg, setPitchRollMaxAngleLimitDeg, 25),
        FIELD(reservedParam3, setReservedParam3, 0),
    });
}

TEST(MavParamsDataItems, GainFieldsOfAllFourGroupsLandInTheirMembers)
{
    expectAttitudeGainsRoundTrip<MavStabCtrlParamsDataItem>();
    expectAttitudeGainsRoundTrip<MavFixedStabCtrlParamsDataItem>();
    expectPositionGainsRoundTrip<MavPosCtrlParamsDataItem>();
    expectPositionGainsRoundTrip<MavFixedPosCtrlParamsDataItem>();
}

TEST(MavParamsDataItems, VersionOverwritesOnlyTheGivenCharacters)
{
    VersionWriter item;
    EXPECT_EQ(item.version(), QString(6, QChar(0)));
    struct Step {
        QString written;
        QString expected;
    };
    const std::vector<Step> steps = {
        {"V1.2.3.4", "V1.2.3"},
        {"AB", "AB.2.3"},
        {"", "AB.2.3"},
        {QString::fromUtf8("é9"), QString::fromUtf8("é9.2.3")},
    };
    for (const auto& step : steps) {
        item.setVersion(step.written);
        EXPECT_EQ(item.version(), step.expected) << step.written.toStdString();
    }
    EXPECT_EQ(uint8_t(item.protoData().version[0]), 0xE9) << "stored as Latin-1";

    // Embedded NULs are part of the text, and the field never runs into its neighbours.
    MavProtoBasicParams_t record;
    std::memcpy(record.version, "1\0" "2345", 6);
    record.lowPowerProteStrategy = 7;
    item.updateProtoData(record);
    EXPECT_EQ(item.version(), QString::fromLatin1("1\0" "2345", 6));
    item.setVersion("ABCDEFGH");
    EXPECT_EQ(item.mavType(), 0);
    EXPECT_EQ(item.lowPowerProteStrategy(), 7);
}

TEST(MavParamsDataItems, ReservedValuesShowWithTwoDecimalsWithoutSignals)
{
    auto item = std::make_shared<MavResParamsDataItem>();
    EXPECT_EQ(item->selfPointer(), item);
    EXPECT_FALSE(MavResParamsDataItem().selfPointer()) << "not owned by a shared pointer";

    const auto list = item->dataElementList();
    ASSERT_EQ(list.size(), 30);
    for (int n = 0; n < 30; ++n) {
        EXPECT_EQ(int(list[n]->id()), n);
        EXPECT_EQ(list[n]->name(), QString("res%1").arg(n));
        EXPECT_EQ(list[n]->displayName(), list[n]->name());
        EXPECT_TRUE(list[n]->value().isEmpty());
        EXPECT_TRUE(list[n]->unit().isEmpty());
    }
    EXPECT_EQ(item->res19Element(), list[19]);
    EXPECT_EQ(item->res20Element(), list[20]);

    QSignalSpy spy(item.get(), &MavBaseParamsDataItem::dataChanged);
    struct Set {
        std::function<void()> set;
        int element;
        QString text;
    };
    const std::vector<Set> sets = {
        {[&] { item->setRes3(2.5f); }, 3, "2.50"},
        {[&] { item->setRes25(12.0); }, 25, "12.00"},
        {[&] { item->setRes0(-0.126f); }, 0, "-0.13"},
        {[&] { item->setRes19(1e6f); }, 19, "1000000.00"},
        {[&] { item->setRes29(-2147483.647); }, 29, "-2147483.65"},
    };
    for (const auto& s : sets) {
        s.set();
        EXPECT_EQ(list[s.element]->value(), s.text) << s.element;
    }
    EXPECT_EQ(item->res3(), 2.5f);
    EXPECT_EQ(item->res25(), 12.0);
    EXPECT_EQ(item->protoData().res29, -2147483.647);

    // A whole record rewrites every text, in the float and the double half alike.
    MavProtoResParams_t record{};
    record.res1 = 0.004f;
    record.res7 = 3.14159f;
    record.res20 = 1.005;
    record.res28 = -7.5;
    item->updateProtoData(record);
    const std::map<int, QString> texts = {{0, "0.00"},  {1, "0.00"},  {3, "0.00"},   {7, "3.14"},
                                          {20, "1.00"}, {25, "0.00"}, {28, "-7.50"}, {29, "0.00"}};
    for (const auto& [n, text] : texts)
        EXPECT_EQ(list[n]->value(), text) << n;
    EXPECT_EQ(item->res7(), 3.14159f);
    EXPECT_EQ(item->res28(), -7.5);
    EXPECT_EQ(spy.count(), 0);
}

TEST(MavParamsDataItems, CustomNamesRenameMatchingElementsWithOneSignal)
{
    struct Step {
        const char* what;
        std::vector<MavCustomNameFieldPtr> fields;
        int signalCount;
        std::map<int, QString> displayNames;
    };
    const std::vector<Step> steps = {
        {"empty", {}, 0, {{0, "res0"}}},
        {"no match", names({{"99", "x"}, {"-1", "y"}, {"30", "z"}}), 0, {{0, "res0"}, {29, "res29"}}},
        {"not a number never means element 0", names({{"abc", "x"}, {"", "y"}, {"5x", "z"}}), 0, {{0, "res0"}}},
        {"null entry", {nullptr}, 0, {{5, "res5"}}},
        {"one match among others", names({{"5", "电压"}, {"99", "x"}}), 1, {{5, "电压"}, {4, "res4"}, {6, "res6"}}},
        {"several, one signal", names({{"0", "A"}, {"29", "B"}}), 1, {{0, "A"}, {29, "B"}, {5, "电压"}}},
        {"same name again still refreshes", names({{"5", "电压"}}), 1, {{5, "电压"}}},
        {"empty name restores", names({{"5", ""}}), 1, {{5, "res5"}, {0, "A"}}},
    };
    auto item = std::make_shared<MavResParamsDataItem>();
    for (const auto& step : steps) {
        QSignalSpy spy(item.get(), &MavBaseParamsDataItem::dataChanged);
        item->setCustomNameFields(step.fields);
        ASSERT_EQ(spy.count(), step.signalCount) << step.what;
        if (step.signalCount) {
            EXPECT_EQ(spy.at(0).at(0).toInt(), int(MavBaseParamsDataItem::DisplayNamesChanged)) << step.what;
        }
        for (const auto& [n, name] : step.displayNames) {
            EXPECT_EQ(item->dataElementList().at(n)->displayName(), name) << step.what << " res" << n;
            EXPECT_EQ(item->dataElementList().at(n)->name(), QString("res%1").arg(n)) << "built-in name stays";
        }
    }
}

TEST(MavParamsDataItems, ElementIsAPlainValueWithAWeakWayBack)
{
    MavParamsDataElement element(MavParamsDataElement::Res7, "res7", "1.50", "m");
    EXPECT_EQ(element.displayValue(), "1.50");
    element.setDisplayValue("半");
    element.setDisplayName("depth");
    EXPECT_EQ(element.displayValue(), "半");
    EXPECT_EQ(element.value(), "1.50");
    EXPECT_EQ(element.displayName(), "depth");

    MavParamsDataElement copy = element;
    copy.setDisplayName(QString());
    copy.setDisplayValue(QString());
    EXPECT_EQ(copy.id(), MavParamsDataElement::Res7);
    EXPECT_EQ(copy.displayName(), "res7");
    EXPECT_EQ(copy.displayValue(), "1.50");
    EXPECT_EQ(copy.unit(), "m");
    EXPECT_EQ(element.displayName(), "depth") << "the copy is independent";

    MavParamsDataElement empty;
    EXPECT_EQ(empty.id(), MavParamsDataElement::Res0);
    EXPECT_TRUE(empty.displayName().isEmpty());
    EXPECT_FALSE(empty.dataItem());

    auto item = std::make_shared<MavResParamsDataItem>();
    element.setDataItem(item);
    EXPECT_EQ(element.dataItem(), item);
    item.reset();
    EXPECT_FALSE(element.dataItem()) << "the element does not keep its item alive";
}

TEST(MavParamsDataItems, AirframeTableKnowsEighteenCodes)
{
    const std::map<int, QString> expected = {
        {0x01, "四旋翼无人机"},
        {0x02, "六旋翼无人机"},
        {0x03, "八旋翼无人机"},
        {0x04, "共轴四旋翼无人机（上逆下顺）"},
        {0x05, "共轴四旋翼无人机"},
        {0x06, "共轴六旋翼无人机（上逆下顺）"},
        {0x07, "共轴六旋翼无人机"},
        {0x08, "共轴八旋翼无人机（上逆下顺）"},
        {0x09, "共轴八旋翼无人机"},
        {0x20, "单旋翼直升机"},
        {0x21, "共轴直升机"},
        {0x22, "纵列式直升机"},
        {0x30, "固定翼无人机"},
        {0x40, "四旋翼垂起固定翼"},
        {0x41, "六旋翼垂起固定翼"},
        {0x42, "八旋翼垂起固定翼"},
        {0x50, "倾转旋翼"},
        {0x51, "尾座式倾转旋翼"},
    };
    const auto& map = MavAirframeTypeTable::typeMap();
    EXPECT_EQ(map.size(), qsizetype(expected.size()));
    for (const auto& [code, name] : expected) {
        EXPECT_EQ(map.value(code), name) << code;
        EXPECT_EQ(MavAirframeTypeTable::typeName(code), name) << code;
    }
    for (int unknown : {0, 0x0A, 0x10, 0x1F, 0x23, 0x31, 0x43, 0x52, 0xFF, 256, -1}) {
        EXPECT_TRUE(MavAirframeTypeTable::typeName(unknown).isEmpty()) << unknown;
        EXPECT_FALSE(map.contains(unknown)) << unknown;
    }
    EXPECT_EQ(&MavAirframeTypeTable::typeMap(), &map) << "built once";
}
