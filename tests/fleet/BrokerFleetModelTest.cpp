// The viewer's read model fed with broker messages directly: what it keeps, and what it drops.

#include "fleet/BrokerFleetModel.h"
#include "web/GcsFleetWebServer.h"

#include "TestSupport.h"

#include <QTcpSocket>

#include <gtest/gtest.h>

using nlohmann::json;

namespace {

const std::string kVehicle =
    R"({"id": 7, "code": "V7", "alive": true, "lat": 22.5, "lon": 113.9, "alt": 30.5, "flightModeText": "Position hold mode",
        "alerts": [{"id": "battery", "level": "Critical", "message": "battery low"}]})";

// A status with the station's time; the second one a viewer hears since its connect makes the
// station live (the first may be the broker's retained copy).
std::string status(int64_t timeMs, const std::string& extra = "")
{
    return R"({"online": true, "statusEveryS": 5, "time": )" + std::to_string(timeMs) + extra + "}";
}

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
    ASSERT_TRUE(model.handleMessage("velmora/fleet/north/status", status(1)));
    ASSERT_TRUE(model.handleMessage("velmora/fleet/north/status", status(2)));
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

    ASSERT_TRUE(model.handleMessage("velmora/fleet/north/status", status(3)));
    model.setBrokerConnected(false);
    EXPECT_FALSE(vehicleOf(model, "north/7")["alive"]) << "nothing is current while the broker is lost";
    model.setBrokerConnected(true);
    EXPECT_FALSE(vehicleOf(model, "north/7")["alive"]) << "unconfirmed until a status newer than the retained one";
    ASSERT_TRUE(model.handleMessage("velmora/fleet/north/status", status(3)));
    EXPECT_EQ(model.stations()["stations"][0]["state"], "unconfirmed");
    ASSERT_TRUE(model.handleMessage("velmora/fleet/north/status", status(4)));
    EXPECT_TRUE(vehicleOf(model, "north/7")["alive"]);

    // Restarted: the retained state from before the start is not this run's word.
    const int64_t start = 1767261600000;  // 2026-01-01T10:00:00.000Z
    ASSERT_TRUE(model.handleMessage("velmora/fleet/north/status",
                                    status(start + 5, R"(, "startedAt": "2026-01-01T10:00:00.000Z")")));
    EXPECT_FALSE(vehicleOf(model, "north/7")["alive"]);
    json fresh = json::parse(kVehicle);
    fresh["time"] = start + 1;
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

// What makes a station live and a vehicle alive: fresh statuses on the viewer's clock, states
// young on the station's clock (the two clocks an hour apart here), the status's vehicle list.
TEST(BrokerFleetModel, LiveOnlyWithFreshStatusesAndYoungStates)
{
    int64_t viewerNow = 1'000'000'000;
    const int64_t skew = 3'600'000;  // the station's clock runs an hour ahead
    BrokerFleetModel model({}, [&] { return viewerNow; });
    auto stationSays = [&](const std::string& ids) {
        return model.handleMessage("velmora/fleet/north/status", status(viewerNow + skew, R"(, "vehicleIds": )" + ids));
    };
    auto vehicle = [&](int id, int64_t ageMs) {
        json v = json::parse(kVehicle);
        v["id"] = id;
        v["time"] = viewerNow + skew - ageMs;
        return model.handleMessage("velmora/fleet/north/vehicle/" + std::to_string(id), v.dump());
    };
    auto station = [&] { return model.stations()["stations"][0]; };

    ASSERT_TRUE(stationSays("[7, 8, 9]"));
    ASSERT_TRUE(vehicle(7, 0) && vehicle(8, 3'600'000) && vehicle(9, 0));
    EXPECT_EQ(station()["state"], "unconfirmed") << "the first status may be a dead station's retained one";
    EXPECT_FALSE(vehicleOf(model, "north/7")["alive"]);
    viewerNow += 5000;
    ASSERT_TRUE(stationSays("[7, 8]"));
    EXPECT_EQ(station()["state"], "online");
    EXPECT_TRUE(station()["offlineSince"].is_null());
    json v7 = vehicleOf(model, "north/7");
    EXPECT_TRUE(v7["alive"]);
    EXPECT_EQ(v7["lastSeenMs"], viewerNow - 5000) << "on the viewer's clock";
    EXPECT_FALSE(vehicleOf(model, "north/8")["alive"]) << "a state an hour old is not alive";
    EXPECT_TRUE(vehicleOf(model, "north/9").is_null()) << "not in the station's list: a ghost";

    // The station falls silent (dead, or its main thread hangs): offline after 3 intervals.
    ASSERT_TRUE(vehicle(7, 0));
    viewerNow += 3 * 5000;
    EXPECT_TRUE(vehicleOf(model, "north/7")["alive"]);
    viewerNow += 1;
    EXPECT_FALSE(vehicleOf(model, "north/7")["alive"]);
    EXPECT_EQ(station()["state"], "offline");
    EXPECT_EQ(station()["offlineSince"], viewerNow - 1);
    EXPECT_EQ(vehicleOf(model, "north/7")["lat"], 22.5) << "greyed where it was";

    // Back, then the viewer reconnects: unconfirmed until a status newer than the first.
    ASSERT_TRUE(stationSays("[7]"));
    ASSERT_TRUE(vehicle(7, 0));
    EXPECT_EQ(station()["state"], "online");
    model.setBrokerConnected(false);
    model.setBrokerConnected(true);
    EXPECT_EQ(station()["state"], "unconfirmed");
    ASSERT_TRUE(stationSays("[7]"));
    EXPECT_FALSE(vehicleOf(model, "north/7")["alive"]);
    viewerNow += 3 * 5000 + 1;
    EXPECT_EQ(station()["state"], "offline") << "not heard live within 3 intervals of the connect";

    // Silent for a day: forgotten, and its slot is free.
    model.setForgetAfterMs(24LL * 3600 * 1000);
    viewerNow += 24LL * 3600 * 1000 + 1;
    EXPECT_EQ(model.stations()["count"], 0);
    EXPECT_EQ(model.vehicleCount(), 0u);
}

// 255 vehicles of one station with 64 long alerts each: the alerts document stays bounded and
// is rebuilt at most once a second.
TEST(BrokerFleetModel, AlertsAreCappedPerVehicleAndStation)
{
    int64_t now = 1'000'000'000;
    BrokerFleetModel model({}, [&] { return now; });
    json v = json::parse(kVehicle);
    v["alerts"] = json::array();
    for (int i = 0; i < 64; ++i)
        v["alerts"].push_back({{"id", "a" + std::to_string(i)},
                               {"level", i == 63 ? "Critical" : "Info"},
                               {"message", std::string(150, 'x')}});
    for (int id = 1; id <= 255; ++id) {
        v["id"] = id;
        ASSERT_TRUE(model.handleMessage("velmora/fleet/north/vehicle/" + std::to_string(id), v.dump()));
    }
    json alerts = model.alerts();
    EXPECT_EQ(alerts["count"], BrokerFleetModel::kMostShownAlertsPerStation);
    EXPECT_EQ(alerts["omitted"], 255 * 64 - BrokerFleetModel::kMostShownAlertsPerStation);
    for (const auto& a : alerts["alerts"])
        EXPECT_EQ(a["level"], "Critical") << "the most severe first";
    EXPECT_LT(alerts.dump().size(), 64u * 1024);

    ASSERT_TRUE(model.handleMessage("velmora/fleet/north/vehicle/1", ""));
    EXPECT_EQ(model.alerts(), alerts) << "rebuilt at most once a second";
    now += BrokerFleetModel::kAlertsEveryMs;
    EXPECT_EQ(model.alerts()["omitted"], 254 * 64 - BrokerFleetModel::kMostShownAlertsPerStation);
}

// Thousands of vehicles make a snapshot of megabytes. A client whose snapshot is still being sent
// has not stopped reading: it must not be dropped for those bytes (only for ticks piling up).
TEST(BrokerFleetModel, PageClientTakingALargeSnapshotSlowlyStays)
{
    auto model = std::make_shared<BrokerFleetModel>();
    for (int s = 0; s < 10; ++s)
        for (int id = 1; id <= 255; ++id)
            ASSERT_TRUE(model->handleMessage("velmora/fleet/s" + std::to_string(s) + "/vehicle/" + std::to_string(id),
                                             R"({"id": )" + std::to_string(id) + R"(, "code": "V", "lat": 22.5})"));
    GcsFleetWebServer::Options web;
    web.rateHz = GcsFleetWebServer::kMaxRateHz;
    web.maxPendingOutputBytes = 4096;
    GcsFleetWebServer server(std::shared_ptr<FleetPageSource>(model), web);
    ASSERT_TRUE(server.start());
    // Reads nothing for a while: the kernel's buffers take part of the 1.1 MB snapshot, the rest
    // waits in the server's.
    QTcpSocket client;
    client.setReadBufferSize(4096);
    client.connectToHost(QHostAddress::LocalHost, server.port());
    ASSERT_TRUE(client.waitForConnected(3000));
    const QByteArray host = "127.0.0.1:" + QByteArray::number(server.port());
    client.write("GET /ws HTTP/1.1\r\nHost: " + host +
                 "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                 "Sec-WebSocket-Version: 13\r\nOrigin: http://" +
                 host + "\r\n\r\n");
    ASSERT_TRUE(testsupport::waitUntil([&] { return server.clientCount() == 1; }));
    testsupport::pumpEvents(1000);
    EXPECT_EQ(server.clientCount(), 1) << "50 ticks of nothing new behind a snapshot it is taking";
    client.setReadBufferSize(0);
    QByteArray got;
    EXPECT_TRUE(testsupport::waitUntil([&] {
        client.waitForReadyRead(10);
        got += client.readAll();
        return got.contains("\"key\":\"s9/255\"") && got.contains("\"type\":\"snapshot\"");
    })) << got.size()
        << " bytes";
    EXPECT_EQ(server.clientCount(), 1);
}
