// Routes and waypoints: numbering, change signals and the JSON form the route files hold.

#include "mission/MavAreaRouteConfig.h"
#include "mission/MavFlightRouteDataItem.h"
#include "mission/MavMultiPointRouteConfig.h"

#include "LogCapture.h"

#include <QSignalSpy>

#include <gtest/gtest.h>

#include <cstring>
#include <tuple>

namespace {

MavFlightRouteDataItemPtr newRoute()
{
    return std::make_shared<MavFlightRouteDataItem>(std::make_shared<MavMultiPointRouteConfig>());
}

MavWayPointDataItemPtr addPass(const MavFlightRouteDataItemPtr& route, int16_t nextWp)
{
    return route->addWayPoint(MAVPROTO_WP_PASS, 113.1, 22.5, 50, 5.f, 2.f, MAVPROTO_HEADING_TO_NEXT_WP,
                              MAVPROTO_TRACE_COORDINATED_TURN, MAVPROTO_HEIGHT_ABOVE_SEA, 3, nextWp, 90.f);
}

}  // namespace

TEST(MavFlightRouteModel, NumberingAndChangeSignals)
{
    auto route = newRoute();
    auto foreign = addPass(newRoute(), -1);
    QSignalSpy counts(route.get(), &MavFlightRouteDataItem::wayPointCountChanged);
    QSignalSpy moved(route.get(), &MavFlightRouteDataItem::wayPointPosChanged);
    MavProtoWayPointData_t at254;
    at254.number = 254;
    // Each step, then (number, nextWp) of every waypoint in list order. A removal moves nextWp
    // references with the numbers.
    const std::vector<std::pair<std::function<void()>, std::vector<std::pair<int, int>>>> steps = {
        {[&] { addPass(route, -1); }, {{1, 2}}},
        {[&] { addPass(route, -1); }, {{1, 2}, {2, 3}}},
        {[&] { addPass(route, 7); }, {{1, 2}, {2, 3}, {3, 7}}},
        {[&] { route->removeWayPoint(route->getWayPointByIndex(1)); }, {{1, 2}, {2, 6}}},
        {[&] { route->removeWayPoint(foreign); }, {{1, 2}, {2, 6}}},
        {[&] { route->removeWayPoint(nullptr); }, {{1, 2}, {2, 6}}},
        {[&] { route->addWayPoint(MavWayPointDataItem::fromProtoData(route, at254)); }, {{1, 2}, {2, 6}, {254, 0}}},
        {[&] { addPass(route, -1); }, {{1, 2}, {2, 6}, {254, 0}, {255, 0}}},
        {[&] { addPass(route, -1); }, {{1, 2}, {2, 6}, {254, 0}, {255, 0}, {0, 1}}},
    };
    for (size_t i = 0; i < steps.size(); ++i) {
        steps[i].first();
        std::vector<std::pair<int, int>> got;
        for (const auto& wp : route->wayPointList())
            got.emplace_back(wp->number(), wp->nextWp());
        EXPECT_EQ(got, steps[i].second) << "step " << i;
    }
    EXPECT_EQ(counts.count(), 7) << "one per add and per real removal";
    EXPECT_TRUE(testsupport::LogCapture::instance().contains(spdlog::level::warn, "wp is not in current flight route"));
    EXPECT_EQ(route->getWayPointByIndex(-1), nullptr);
    EXPECT_EQ(route->getWayPointByIndex(route->wayPointCount()), nullptr);
    route->setNumber(9);
    EXPECT_EQ(route->getWayPointByNum(255)->routeNumber(), 9) << "waypoints follow the route number";

    auto wp = route->getWayPointByIndex(0);
    QSignalSpy lat(wp.get(), &MavWayPointDataItem::latChanged);
    QSignalSpy alt(wp.get(), &MavWayPointDataItem::altChanged);
    wp->setLat(22.5);
    wp->setAlt(50);
    EXPECT_EQ(lat.count() + alt.count() + moved.count(), 0) << "same values";
    wp->setLat(22.6);
    wp->setAlt(60);
    EXPECT_EQ(lat.count() + alt.count(), 2);
    ASSERT_EQ(moved.count(), 1) << "lat moves the waypoint, alt does not";
    EXPECT_EQ(moved.at(0).at(0).value<MavWayPointDataItemPtr>(), wp);
    route->removeWayPoint(wp);
    wp->setLon(1);
    EXPECT_EQ(moved.count(), 1) << "a removed waypoint no longer reports through the route";
}

TEST(MavFlightRouteModel, JsonRoundTripAndDefaults)
{
    auto area = std::make_shared<MavAreaRouteConfig>();
    area->setPolygonVertices({{22.5, 113.1}, {22.6, 113.2}, {22.55, 113.3}});
    area->setLineSpacing(12.5);
    area->setAngle(33);
    auto multi = newRoute();
    multi->setName(QStringLiteral("巡检"));
    multi->setNumber(2);
    multi->setRepeatTimes(3);
    addPass(multi, -1);
    auto last = addPass(multi, 9);
    last->setType(MAVPROTO_WP_LAND);
    last->setHoverTime(65535);
    last->setHeightType(MAVPROTO_HEIGHT_ELLIPSOID);
    for (const auto& route : {multi, std::make_shared<MavFlightRouteDataItem>(area)}) {
        const auto text = route->toJson()->dump(0);
        const auto back = MavFlightRouteDataItem::fromJson(nlohmann::json::parse(text));
        ASSERT_NE(back, nullptr);
        EXPECT_EQ(back->toJson()->dump(0), text);
        EXPECT_EQ(back->config()->type(), route->config()->type());
        for (int i = 0; i < route->wayPointCount(); ++i) {
            const auto a = route->getWayPointByIndex(i)->protoData();
            const auto b = back->getWayPointByIndex(i)->protoData();
            EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0) << "waypoint " << i;
        }
    }

    // Defaults: missing type 34, float number/type ignored, missing routeNumber overrides the route's.
    const auto wp = MavWayPointDataItem::fromJson(multi, nlohmann::json::parse(R"({"number": 2.0, "type": 35.0})"));
    EXPECT_EQ(wp->typeText(), QStringLiteral("过路点"));
    EXPECT_EQ(wp->number(), 0);
    EXPECT_EQ(wp->routeNumber(), 0);
    const auto areaRoute = MavFlightRouteDataItem::fromJson(nlohmann::json::parse(R"({"type": 2})"));
    const auto* areaConfig = qobject_cast<MavAreaRouteConfig*>(areaRoute->config().get());
    ASSERT_NE(areaConfig, nullptr);
    EXPECT_TRUE(areaConfig->polygonVertices().isEmpty());
    EXPECT_EQ(areaConfig->lineSpacing(), 50.0);
    EXPECT_EQ(areaConfig->angle(), 0.0);
    EXPECT_EQ(MavFlightRouteDataItem::fromJson(nlohmann::json::parse(R"({"type": 2.0})"))->config()->type(),
              MavFlightRouteType::MultiPoint);
    // A fixed file as the store writes it; a point without "routeNumber" takes the route's.
    const auto fixed = MavFlightRouteDataItem::fromJson(nlohmann::json::parse(
        "{\n\"id\": \"6f1c1c5e-2b1a-4e8e-9d7a-0b7d1d2c3e4f\",\n\"name\": \"dock\",\n\"number\": 4,\n\"points\": [\n"
        "{\n\"alt\": 30.5,\n\"hoverTime\": 5,\n\"lat\": 22.54,\n\"lon\": 113.95,\n\"nextWp\": 2,\n\"number\": 1,\n"
        "\"routeNumber\": 4,\n\"type\": 35,\n\"vel\": 6.0\n},\n{\n\"lat\": 22.55,\n\"lon\": 113.96,\n\"number\": "
        "2\n}\n],\n"
        "\"repeatTimes\": 1,\n\"type\": 1\n}"));
    ASSERT_NE(fixed, nullptr);
    EXPECT_EQ(fixed->name(), QStringLiteral("dock"));
    ASSERT_EQ(fixed->wayPointCount(), 2);
    const auto first = fixed->getWayPointByIndex(0)->protoData();
    EXPECT_EQ(std::tuple(first.number, int(first.type), first.lat, first.lon, first.alt, first.vel, first.hoverTime,
                         first.nextWp),
              std::tuple(uint8_t(1), 35, 22.54, 113.95, 30.5, 6.0f, uint16_t(5), uint8_t(2)));
    EXPECT_EQ(fixed->getWayPointByIndex(1)->routeNumber(), 4);
    for (const char* text : {"[]", "\"route\"", R"({"type": 3})"})
        EXPECT_EQ(MavFlightRouteDataItem::fromJson(nlohmann::json::parse(text)), nullptr) << text;
    // A number its field cannot hold is refused, not wrapped or cut.
    for (const char* text :
         {R"({"name": 5})", R"({"points": [1]})", R"({"points": [{"hoverTime": "10"}]})",
          R"({"type": 2, "polygon": [{"lat": 1}]})", R"({"points": [{"nextWp": 2e40}]})",
          R"({"points": [{"nextWp": 256}]})", R"({"points": [{"hoverTime": -1}]})", R"({"points": [{"vel": 1e300}]})"})
        EXPECT_THROW(MavFlightRouteDataItem::fromJson(nlohmann::json::parse(text)), nlohmann::json::exception) << text;
}
