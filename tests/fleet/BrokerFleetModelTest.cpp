// The viewer's read model fed with broker messages directly: what it keeps, and what it drops.

#include "fleet/BrokerFleetModel.h"

#include <gtest/gtest.h>

using nlohmann::json;

namespace {

const std::string kVehicle =
    R"({"id": 7, "code": "V7", "alive": true, "lat": 22.5, "lon": 113.9, "alt": 30.5, "flightModeText": "Position hold mode",
        "alerts": [{"id": "battery", "level": "Critical", "message": "battery low"}]})";

json vehicleOf(BrokerFleetModel& model, const std::string& key)
{
    const json fleet = model.fleet();
    for (const auto& v : fleet["vehicles"])
        if (v["key"] == key)
            return v;
    return nullptr;
}

}  // namespace

TEST(BrokerFleetModel, StationOfflineGreysItsVehiclesAndKeepsTheirPosition)
{
    BrokerFleetModel model;
    ASSERT_TRUE(model.handleMessage("velmora/fleet/north/status", R"({"online": true, "vehicles": 1})"));
    ASSERT_TRUE(model.handleMessage("velmora/fleet/north/vehicle/7", kVehicle));
    ASSERT_TRUE(model.handleMessage("velmora/fleet/south/vehicle/7", kVehicle));
    json v = vehicleOf(model, "north/7");
    EXPECT_EQ(v["station"], "north");
    EXPECT_EQ(v["vehicleId"], 7);
    EXPECT_TRUE(v["alive"]);
    EXPECT_EQ(v["worstAlertLevel"], 3);
    EXPECT_FALSE(vehicleOf(model, "south/7")["alive"]) << "a station never heard online is not trusted";
    EXPECT_EQ(model.alerts()["count"], 2);

    ASSERT_TRUE(model.handleMessage("velmora/fleet/north/status", R"({"online": false})"));
    v = vehicleOf(model, "north/7");
    EXPECT_FALSE(v["alive"]);
    EXPECT_EQ(v["lat"], 22.5);
    EXPECT_EQ(model.stations()["stations"][0]["online"], false);

    ASSERT_TRUE(model.handleMessage("velmora/fleet/north/status", R"({"online": true})"));
    model.setBrokerConnected(false);
    EXPECT_FALSE(vehicleOf(model, "north/7")["alive"]) << "nothing is current while the broker is lost";
    model.setBrokerConnected(true);
    EXPECT_TRUE(vehicleOf(model, "north/7")["alive"]);

    // Restarted: the retained state from before the start is not this run's word.
    ASSERT_TRUE(model.handleMessage("velmora/fleet/north/status",
                                    R"({"online": true, "startedAt": "2026-01-01T10:00:00.000Z"})"));
    EXPECT_FALSE(vehicleOf(model, "north/7")["alive"]);
    json fresh = json::parse(kVehicle);
    fresh["time"] = 1767261600001;  // 10:00:00.001
    ASSERT_TRUE(model.handleMessage("velmora/fleet/north/vehicle/7", fresh.dump()));
    EXPECT_TRUE(vehicleOf(model, "north/7")["alive"]);

    ASSERT_TRUE(model.handleMessage("velmora/fleet/north/vehicle/7", ""));
    EXPECT_TRUE(vehicleOf(model, "north/7").is_null()) << "an empty retained message removes the vehicle";
    EXPECT_EQ(model.vehicleCount(), 1u);
}

TEST(BrokerFleetModel, DropsAndCountsWhatDoesNotFitTheLayout)
{
    struct Case {
        const char* topic;
        std::string payload;
        uint64_t BrokerFleetModel::Counters::*counter;
    };
    using C = BrokerFleetModel::Counters;
    const Case cases[] = {
        {"velmora/fleet/north/vehicle/7", "{not json", &C::malformed},
        {"velmora/fleet/north/vehicle/7", "[1, 2]", &C::malformed},
        {"velmora/fleet/north/vehicle/7", R"({"lat": "22.5"})", &C::malformed},
        {"velmora/fleet/north/vehicle/7", R"({"lat": 91})", &C::malformed},
        {"velmora/fleet/north/vehicle/7", R"({"id": 8})", &C::malformed},
        {"velmora/fleet/north/vehicle/7", R"({"alerts": [3]})", &C::malformed},
        {"velmora/fleet/north/vehicle/7", R"({"lastTelemetryAgeMs": -5})", &C::malformed},
        {"velmora/fleet/north/vehicle/7", R"({"code": ")" + std::string(300, 'x') + "\"}", &C::malformed},
        {"velmora/fleet/north/status", R"({"version": "1"})", &C::malformed},
        {"velmora/fleet/north/alert", "", &C::malformed},
        {"velmora/fleet/north/vehicle/7", std::string(BrokerFleetModel::kMostPayloadBytes + 1, ' '), &C::oversized},
        {"other/fleet/north/status", R"({"online": true})", &C::outsideLayout},
        {"velmora/fleet/no+rth/status", R"({"online": true})", &C::outsideLayout},
        {"velmora/fleet/north/vehicle/0", kVehicle, &C::outsideLayout},
        {"velmora/fleet/north/vehicle/256", kVehicle, &C::outsideLayout},
        {"velmora/fleet/north/vehicle/07", kVehicle, &C::outsideLayout},
        {"velmora/fleet/north/vehicle/7/x", kVehicle, &C::outsideLayout},
        {"velmora/fleet/north/command", "{}", &C::outsideLayout},
    };
    BrokerFleetModel model;
    for (const Case& c : cases) {
        const uint64_t before = model.counters().*c.counter;
        std::string why;
        EXPECT_FALSE(model.handleMessage(c.topic, c.payload, &why)) << c.topic << " " << c.payload.substr(0, 40);
        EXPECT_EQ(model.counters().*c.counter, before + 1) << c.topic << " " << c.payload.substr(0, 40);
        EXPECT_FALSE(why.empty());
    }
    EXPECT_EQ(model.vehicleCount(), 0u);
    EXPECT_EQ(model.stations()["count"], 0) << "a dropped message creates no station";

    // An unknown field goes alone; the rest of its message is used.
    ASSERT_TRUE(model.handleMessage("velmora/fleet/north/vehicle/7", R"({"alt": 12, "script": "<b>x</b>"})"));
    EXPECT_EQ(model.counters().unknownFields, 1u);
    EXPECT_EQ(vehicleOf(model, "north/7")["alt"], 12);
    EXPECT_FALSE(vehicleOf(model, "north/7").contains("script"));
}

TEST(BrokerFleetModel, StationsPastTheLimitAreRefused)
{
    BrokerFleetModel model;
    for (size_t i = 0; i < BrokerFleetModel::kMostStations; ++i)
        ASSERT_TRUE(model.handleMessage("velmora/fleet/s" + std::to_string(i) + "/status", R"({"online": true})"));
    EXPECT_FALSE(model.handleMessage("velmora/fleet/one-more/status", R"({"online": true})"));
    EXPECT_EQ(model.counters().overLimit, 1u);
    EXPECT_EQ(model.stations()["count"], BrokerFleetModel::kMostStations);
}
