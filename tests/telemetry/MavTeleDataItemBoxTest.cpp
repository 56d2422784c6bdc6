#include "telemetry/MavAhrsDataItem.h"
#include "telemetry/MavTeleDataItemBox.h"
#include "telemetry/MavTeleResDataItem.h"
#include "vehicle/VehicleUtil.h"

#include <QSignalSpy>

#include <gtest/gtest.h>

#include <map>
#include <set>

namespace {

std::vector<MavCustomNameFieldPtr> fields(std::initializer_list<std::pair<QString, QString>> keyAndName)
{
    std::vector<MavCustomNameFieldPtr> out;
    for (const auto& [key, name] : keyAndName)
        out.push_back(std::make_shared<MavCustomNameField>(key, QString(), name));
    return out;
}

}  // namespace

// The box finds an element by id alone, so no two items may share one.
TEST(MavTeleDataItemBox, ElementIdsAreUniqueAndCarryTheirItemsCommand)
{
    const auto items = VehicleUtil::createAllTeleDataItems();
    ASSERT_EQ(items.size(), 6);
    std::vector<int> allIds;
    for (const auto& item : items) {
        ASSERT_TRUE(item);
        for (const auto& e : item->dataElementList()) {
            allIds.push_back(int(e->id()));
            EXPECT_EQ(e->dataCommand(), item->dataCommand()) << int(e->id());
        }
    }
    EXPECT_EQ(std::set<int>(allIds.begin(), allIds.end()).size(), allIds.size());
    std::vector<int> elementIds;
    for (const auto& e : VehicleUtil::createAllTeleDataElements())
        elementIds.push_back(int(e->id()));
    EXPECT_EQ(elementIds, allIds);
}

TEST(MavTeleDataItemBox, CustomNamesRelabelMatchingElementsWithOneSignal)
{
    struct Step {
        const char* name;
        std::vector<MavCustomNameFieldPtr> fields;
        int expectedSignals;
        std::map<int, QString> expectedNames;  // element id -> displayName()
    };
    const std::vector<Step> steps = {
        {"no match", fields({{"9999", "x"}, {"abc", "y"}, {"", "z"}, {"15", "w"}}), 0, {{500, "res0"}}},
        {"null field", {nullptr}, 0, {{505, "res5"}}},
        {"one key", fields({{"505", "泵压"}}), 1, {{505, "泵压"}, {504, "res4"}, {506, "res6"}}},
        {"several keys, one signal",
         fields({{"500", "A"}, {"529", "B"}, {"77", "C"}}),
         1,
         {{500, "A"}, {529, "B"}, {505, "泵压"}}},
        {"same name again still refreshes", fields({{"505", "泵压"}}), 1, {{505, "泵压"}}},
        {"empty name restores", fields({{"505", ""}, {"500", ""}}), 1, {{505, "res5"}, {500, "res0"}, {529, "B"}}},
    };
    auto item = std::make_shared<MavTeleResDataItem>();
    for (const auto& step : steps) {
        QSignalSpy spy(item.get(), &MavTeleBaseDataItem::dataChanged);
        item->setCustomNameFields(step.fields);
        ASSERT_EQ(spy.count(), step.expectedSignals) << step.name;
        if (step.expectedSignals) {
            EXPECT_EQ(spy.at(0).at(0).toInt(), 1) << step.name;
        }
        for (const auto& [id, name] : step.expectedNames) {
            const auto element = item->dataElementList().at(id - 500);
            EXPECT_EQ(element->displayName(), name) << step.name << " element " << id;
            EXPECT_EQ(element->name(), QString("res%1").arg(id - 500)) << "the built-in label stays";
        }
    }

    // The hook lives in the base: any item relabels its own ids.
    auto ahrs = std::make_shared<MavAhrsDataItem>();
    QSignalSpy spy(ahrs.get(), &MavTeleBaseDataItem::dataChanged);
    ahrs->setCustomNameFields(fields({{"15", "spare"}}));
    EXPECT_EQ(spy.count(), 1);
    EXPECT_EQ(ahrs->res0Element()->displayName(), "spare");
}

TEST(MavTeleDataItemBox, CreatesItemsOnDemandAndIndexesTheirElements)
{
    MavTeleDataItemBox box;
    for (int cmd : {0, 32, 38, 39, 48, -1}) {
        EXPECT_FALSE(box.getDataItem(cmd)) << cmd;
    }

    const auto ahrs = box.getDataItem(33);
    ASSERT_TRUE(ahrs);
    EXPECT_EQ(box.getDataElement(12), ahrs->dataElementList().at(11));

    // An unknown id makes the box create every item once and still finds nothing.
    EXPECT_FALSE(box.getDataElement(9999));
    EXPECT_FALSE(box.getDataElement(409));
    const std::vector<std::pair<int, int>> elementOfCommand = {{100, 34}, {215, 35}, {323, 36}, {422, 37}, {529, 47}};
    for (const auto& [id, cmd] : elementOfCommand) {
        const auto element = box.getDataElement(id);
        ASSERT_TRUE(element) << id;
        EXPECT_TRUE(box.getDataItem(cmd)->dataElementList().contains(element)) << id << " belongs to the cached item";
    }
    EXPECT_EQ(box.getDataItem(33), ahrs);
}
