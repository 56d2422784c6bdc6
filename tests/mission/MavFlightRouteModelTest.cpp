// Routes and waypoints: numbering, change signals and the JSON form the route files hold.

#include "mission/MavAreaRouteConfig.h"
#include "mission/MavFlightRouteDataItem.h"
#include "mission/MavMultiPointRouteConfig.h"

#include "LogCapture.h"

#include <QSignalSpy>

#include <gtest/gtest.h>

#include <cstring>

namespace {

MavFlightRouteDataItemPtr newRoute()
{
    return std::make_shared<MavFlightRouteDataItem>(std::make_shared<MavMultiPointRouteConfig>());
}

MavWayPointDataItemPtr addPass(const MavFlightRouteDataItemPtr& route, int16_t nextWp, double alt = 50)
{
    return route->addWayPoint(MAVPROTO_WP_PASS, 113.1, 22.5, alt, 5.f, 2.f, MAVPROTO_HEADING_TO_NEXT_WP,
                              MAVPROTO_TRACE_COORDINATED_TURN, MAVPROTO_HEIGHT_ABOVE_SEA, 3, nextWp, 90.f);
}

// (number, nextWp) of every waypoint in list order.
std::vector<std::pair<int, int>> numbering(const MavFlightRouteDataItemPtr& route)
{
    std::vector<std::pair<int, int>> out;
    for (const auto& wp : route->wayPointList())
        out.emplace_back(wp->number(), wp->nextWp());
    return out;
}

}  // namespace

TEST(MavFlightRouteModel, AddAndRemoveKeepNumbersButNotNextWp)
{
    auto route = newRoute();
    auto other = newRoute();
    auto foreign = addPass(other, -1);
    QSignalSpy counts(route.get(), &MavFlightRouteDataItem::wayPointCountChanged);
    using N = std::vector<std::pair<int, int>>;
    struct Step {
        const char* what;
        std::function<void()> act;
        N expected;
    };
    const std::vector<Step> steps = {
        {"add -1", [&] { addPass(route, -1); }, {{1, 2}}},
        {"add -1", [&] { addPass(route, -1); }, {{1, 2}, {2, 3}}},
        {"add 7", [&] { addPass(route, 7); }, {{1, 2}, {2, 3}, {3, 7}}},
        {"remove 2nd", [&] { route->removeWayPoint(route->getWayPointByIndex(1)); }, {{1, 2}, {2, 7}}},
        {"remove foreign", [&] { route->removeWayPoint(foreign); }, {{1, 2}, {2, 7}}},
        {"remove null", [&] { route->removeWayPoint(nullptr); }, {{1, 2}, {2, 7}}},
        {"add existing 254", [&] {
             MavProtoWayPointData_t rec;
             rec.number = 254;
             route->addWayPoint(MavWayPointDataItem::fromProtoData(route, rec));
         }, {{1, 2}, {2, 7}, {254, 0}}},
        {"add -1 after 254", [&] { addPass(route, -1); }, {{1, 2}, {2, 7}, {254, 0}, {255, 0}}},
        {"add -1 after 255", [&] { addPass(route, -1); }, {{1, 2}, {2, 7}, {254, 0}, {255, 0}, {0, 1}}},
    };
    for (const auto& step : steps) {
        step.act();
        EXPECT_EQ(numbering(route), step.expected) << step.what;
    }
    EXPECT_EQ(counts.count(), 7) << "one per add and per real removal";
    EXPECT_TRUE(testsupport::LogCapture::instance().contains(spdlog::level::warn, "wp is not in current flight route"));
    EXPECT_EQ(route->getWayPointByIndex(-1), nullptr);
    EXPECT_EQ(route->getWayPointByIndex(route->wayPointCount()), nullptr);
    EXPECT_EQ(route->getWayPointByNum(255), route->getWayPointByIndex(3));

    route->setNumber(9);
    EXPECT_EQ(route->getWayPointByIndex(0)->routeNumber(), 9) << "waypoints follow the route number";
    EXPECT_EQ(foreign->routeNumber(), 0);
}

TEST(MavFlightRouteModel, SettersSignalOnlyChangesAndRouteReportsMoves)
{
    auto route = newRoute();
    auto wp = addPass(route, -1);
    QSignalSpy lat(wp.get(), &MavWayPointDataItem::latChanged);
    QSignalSpy alt(wp.get(), &MavWayPointDataItem::altChanged);
    QSignalSpy moved(route.get(), &MavFlightRouteDataItem::wayPointPosChanged);
    wp->setLat(22.5);
    wp->setAlt(50);
    EXPECT_EQ(lat.count() + alt.count() + moved.count(), 0);
    wp->setLat(22.6);
    wp->setAlt(60);
    wp->setLon(113.2);
    EXPECT_EQ(lat.count(), 1);
    EXPECT_EQ(alt.count(), 1);
    ASSERT_EQ(moved.count(), 2) << "lat and lon move the waypoint, alt does not";
    EXPECT_EQ(moved.at(0).at(0).value<MavWayPointDataItemPtr>(), wp);

    route->removeWayPoint(wp);
    wp->setLat(1);
    EXPECT_EQ(moved.count(), 2) << "a removed waypoint no longer reports through the route";
}

TEST(MavFlightRouteModel, JsonRoundTripKeepsEveryField)
{
    auto area = std::make_shared<MavAreaRouteConfig>();
    area->setPolygonVertices({{22.5, 113.1}, {22.6, 113.2}, {22.55, 113.3}});
    area->setLineSpacing(12.5);
    area->setAngle(33);
    auto areaRoute = std::make_shared<MavFlightRouteDataItem>(area);
    auto multi = newRoute();
    multi->setName(QStringLiteral("巡检"));
    multi->setNumber(2);
    multi->setRepeatTimes(3);
    addPass(multi, -1, 12.25);
    auto last = addPass(multi, 9, 0.1);
    last->setType(MAVPROTO_WP_LAND);
    last->setHoverTime(65535);
    last->setHeightType(MAVPROTO_HEIGHT_ELLIPSOID);

    for (const auto& route : {multi, areaRoute}) {
        const auto text = route->toJson()->dump(0);
        const auto back = MavFlightRouteDataItem::fromJson(nlohmann::json::parse(text));
        ASSERT_NE(back, nullptr);
        EXPECT_EQ(back->toJson()->dump(0), text);
        EXPECT_EQ(back->config()->type(), route->config()->type());
        ASSERT_EQ(back->wayPointCount(), route->wayPointCount());
        for (int i = 0; i < route->wayPointCount(); ++i) {
            const auto a = route->getWayPointByIndex(i)->protoData();
            const auto b = back->getWayPointByIndex(i)->protoData();
            EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0) << "waypoint " << i;
        }
    }
}

TEST(MavFlightRouteModel, FromJsonDefaultsAndRejections)
{
    auto route = newRoute();
    route->setNumber(5);
    const auto wp = [&](const char* text) { return MavWayPointDataItem::fromJson(route, nlohmann::json::parse(text)); };
    EXPECT_EQ(wp("{}")->type(), MAVPROTO_WP_PASS);
    EXPECT_EQ(wp("{}")->typeText(), QStringLiteral("过路点"));
    EXPECT_EQ(wp("{}")->routeNumber(), 0) << "a missing routeNumber overrides the route's";
    EXPECT_EQ(wp(R"({"number": 2.0, "type": 35.0})")->number(), 0);
    EXPECT_EQ(wp(R"({"number": 2.0, "type": 35.0})")->type(), MAVPROTO_WP_PASS);
    EXPECT_EQ(wp(R"({"number": 2, "type": 35, "alt": 7})")->alt(), 7.0);

    const auto areaRoute = MavFlightRouteDataItem::fromJson(nlohmann::json::parse(R"({"type": 2})"));
    ASSERT_NE(areaRoute, nullptr);
    const auto* area = qobject_cast<MavAreaRouteConfig*>(areaRoute->config().get());
    ASSERT_NE(area, nullptr);
    EXPECT_TRUE(area->polygonVertices().isEmpty());
    EXPECT_EQ(area->lineSpacing(), 50.0);
    EXPECT_EQ(area->angle(), 0.0);

    for (const char* text : {"[]", "\"route\"", R"({"type": 3})", R"({"type": 0})"})
        EXPECT_EQ(MavFlightRouteDataItem::fromJson(nlohmann::json::parse(text)), nullptr) << text;
    EXPECT_EQ(MavFlightRouteDataItem::fromJson(nlohmann::json::parse(R"({"type": 2.0})"))->config()->type(),
              MavFlightRouteType::MultiPoint);
    for (const char* text : {R"({"name": 5})", R"({"points": [1]})", R"({"points": [{"hoverTime": "10"}]})",
                             R"({"type": 2, "polygon": [{"lat": 1}]})"})
        EXPECT_THROW(MavFlightRouteDataItem::fromJson(nlohmann::json::parse(text)), nlohmann::json::exception) << text;
}
