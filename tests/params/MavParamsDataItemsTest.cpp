#include "params/MavAirframeTypeTable.h"
#include "params/MavBasicParamsDataItem.h"
#include "params/MavFixedPosCtrlParamsDataItem.h"
#include "params/MavResParamsDataItem.h"
#include "params/MavStabCtrlParamsDataItem.h"

#include <QSignalSpy>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>

namespace {

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

// The getters and setters are one-liners over the record; what can go wrong is the defaults a
// fresh vehicle starts from and a record replaced as a whole.
TEST(MavParamsDataItems, BasicStartsAtVehicleDefaultsAndRecordsReplaceWhole)
{
    MavBasicParamsDataItem basic;
    EXPECT_EQ(basic.linkProteStrategy(), 3);
    EXPECT_EQ(basic.yawRateLimitDegS(), 30);
    EXPECT_EQ(basic.pitchRollMaxAngleLimitDeg(), 25);
    EXPECT_EQ(basic.maxFlyAlt(), 0);

    MavProtoBasicParams_t b{};
    b.maxFlyAlt = 1200;
    b.returnAltitudeM = 80.5f;
    b.linkProteStrategy = 1;
    basic.updateProtoData(b);
    EXPECT_EQ(basic.linkProteStrategy(), 1);
    EXPECT_EQ(basic.returnAltitudeM(), 80.5f);
    basic.setMaxFlyAlt(1300);
    EXPECT_EQ(basic.protoData().maxFlyAlt, 1300);

    MavStabCtrlParamsDataItem stab;
    MavProtoStabilizeCtrlParams_t s{};
    s.yawRateD = 0.25f;
    stab.updateProtoData(s);
    EXPECT_EQ(stab.yawRateD(), 0.25f);
    MavFixedPosCtrlParamsDataItem fixedPos;
    fixedPos.setVelZD(1.5f);
    EXPECT_EQ(fixedPos.protoData().velZD, 1.5f);
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
    std::memcpy(record.version,
                "1\0"
                "2345",
                6);
    record.lowPowerProteStrategy = 7;
    item.updateProtoData(record);
    EXPECT_EQ(item.version(), QString::fromLatin1("1\0"
                                                  "2345",
                                                  6));
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
    EXPECT_EQ(list[29]->name(), "res29");
    EXPECT_TRUE(list[29]->value().isEmpty());
    EXPECT_EQ(item->res19Element(), list[19]);

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

TEST(MavParamsDataItems, ElementDoesNotKeepItsItemAlive)
{
    MavParamsDataElement element(MavParamsDataElement::Res7, "res7", "1.50", "m");
    element.setDisplayName("depth");
    EXPECT_EQ(element.displayName(), "depth");
    element.setDisplayName(QString());
    EXPECT_EQ(element.displayName(), "res7") << "an empty display name falls back";
    auto item = std::make_shared<MavResParamsDataItem>();
    element.setDataItem(item);
    EXPECT_EQ(element.dataItem(), item);
    item.reset();
    EXPECT_FALSE(element.dataItem());
}

TEST(MavParamsDataItems, AirframeTableKnowsEighteenCodesAndNothingBetween)
{
    const auto& map = MavAirframeTypeTable::typeMap();
    EXPECT_EQ(map.size(), 18);
    EXPECT_EQ(MavAirframeTypeTable::typeName(0x01), "四旋翼无人机");
    EXPECT_EQ(MavAirframeTypeTable::typeName(0x51), "尾座式倾转旋翼");
    for (int unknown : {0, 0x0A, 0x10, 0x1F, 0x23, 0x31, 0x43, 0x52, 0xFF, 256, -1})
        EXPECT_TRUE(MavAirframeTypeTable::typeName(unknown).isEmpty()) << unknown;
}
