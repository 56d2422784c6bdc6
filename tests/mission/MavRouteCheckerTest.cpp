// Route checks: one fault per row for each rule; no-fly zones against great-circle legs, small
// zones between far ends, the 180° meridian; the area generator's refusal across that meridian.

#include "mission/MavAreaRouteConfig.h"
#include "mission/MavAreaRouteGenerator.h"
#include "mission/MavFlightRouteDataItem.h"
#include "mission/MavMultiPointRouteConfig.h"
#include "mission/MavRouteChecker.h"

#include "LogCapture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <tuple>

namespace {

using Pos = NfzRecord::Point;

MavFlightRouteDataItemPtr makeRoute(const std::vector<Pos>& positions)
{
    auto route = std::make_shared<MavFlightRouteDataItem>(std::make_shared<MavMultiPointRouteConfig>());
    for (const auto& p : positions)
        route->addWayPoint(MAVPROTO_WP_PASS, p.lon, p.lat, 30, 5, 0, MAVPROTO_HEADING_KEEP,
                           MAVPROTO_TRACE_STOP_AND_TURN, MAVPROTO_HEIGHT_RELATIVE, 0, -1, 0);
    return route;
}

NfzRecord circle(int64_t id, double lat, double lon, double r)
{
    NfzRecord z;
    z.id = id, z.type = NfzRecord::Type::Circle, z.center = {lat, lon}, z.radius = r;
    return z;
}

NfzRecord box(int64_t id, double south, double west, double north, double east)
{
    NfzRecord z;
    z.id = id, z.points = {{south, west}, {south, east}, {north, east}, {north, west}};
    return z;
}

// "rule@waypoint", "zone@waypoint/zoneId", space separated; one warning logged per finding.
std::string run(const MavFlightRouteDataItem& route, const MavRouteLimits& limits, const std::vector<NfzRecord>& zones,
                const MavRoutePlaces& places = {})
{
    testsupport::LogCapture::instance().clear();
    const auto findings = MavRouteChecker::check(route, limits, zones, places);
    EXPECT_EQ(testsupport::LogCapture::instance().countContaining(spdlog::level::warn, "<RouteCheck>"),
              int(findings.size()));
    std::string out;
    for (const auto& f : findings)
        out += (out.empty() ? "" : " ") + f.rule.toStdString() + "@" + std::to_string(f.wayPoint) +
               (f.rule == "zone" ? "/" + std::to_string(f.zoneId) : "") + (f.text.isEmpty() ? " (no text)" : "");
    return out;
}

}  // namespace

TEST(MavRouteChecker, RulesOneFaultPerRow)
{
    using Wp = MavWayPointDataItem;
    using Change = std::function<void(MavFlightRouteDataItem&)>;
    const auto second = [](auto f) { return [f](MavFlightRouteDataItem& r) { f(*r.getWayPointByIndex(1)); }; };
    const auto last = [](auto f) { return [f](MavFlightRouteDataItem& r) { f(*r.getWayPointByIndex(2)); }; };
    const MavRouteLimits known{120.0, 15.0};
    const std::vector<std::tuple<const char*, Change, MavRouteLimits, std::string>> cases = {
        {"good route", [](auto&) {}, known, ""},
        {"last ends with 0", last([](Wp& w) { w.setNextWp(0); }), known, ""},
        {"speed 0: the vehicle's default", second([](Wp& w) { w.setVel(0); }), known, ""},
        {"no ceiling known yet", second([](Wp& w) { w.setAlt(900); }), {}, ""},
        {"no waypoints", [](auto& r) { r.resetWayPoints({}); }, known, "count@0"},
        {"256 waypoints: numbers wrap, only the count is told",
         [](auto& r) {
             r.resetWayPoints(makeRoute(std::vector<Pos>(256, {22.54, 113.95}))->wayPointList());
         },
         known, "count@0"},
        {"renumbered", second([](Wp& w) { w.setNumber(5); }), known, "number@2"},
        {"next is missing: 3 is never flown", second([](Wp& w) { w.setNextWp(4); }), known, "nextWp@2 unreachable@3"},
        {"0 before the end", second([](Wp& w) { w.setNextWp(0); }), known, "nextWp@2 unreachable@3"},
        {"last points past N + 1", last([](Wp& w) { w.setNextWp(5); }), known, "nextWp@3"},
        {"latitude 95", second([](Wp& w) { w.setLat(95); }), known, "position@2"},
        {"longitude NaN", second([](Wp& w) { w.setLon(NAN); }), known, "position@2"},
        {"altitude 0", second([](Wp& w) { w.setAlt(0); }), known, "altitude@2"},
        {"altitude above the ceiling", second([](Wp& w) { w.setAlt(120.5); }), known, "altitude@2"},
        {"ceiling not a number", [](auto&) {}, {NAN, 15.0}, "altitude@0"},
        {"speed -1", second([](Wp& w) { w.setVel(-1); }), known, "speed@2"},
        {"speed above the limit", second([](Wp& w) { w.setVel(15.5f); }), known, "speed@2"},
    };
    for (const auto& [what, change, limits, expected] : cases) {
        auto route = makeRoute({{22.54, 113.95}, {22.541, 113.95}, {22.542, 113.95}});
        change(*route);
        EXPECT_EQ(run(*route, limits, {}), expected) << what;
    }
}

TEST(MavRouteChecker, ZoneGeometry)
{
    const double lat = 22.54, lon = 113.95, dLat = 180 / (6378137.0 * M_PI);  // one metre north
    const double dLon = dLat / std::cos(lat * M_PI / 180);  // one metre east
    const Pos west{lat, lon - 1000 * dLon}, east{lat, lon + 1000 * dLon};
    // The great circle from (60, 0) to (60, 90) tops out near 67.8° north at 45° east.
    const double topLat = std::atan(std::tan(M_PI / 3) / std::cos(M_PI / 4)) * 180 / M_PI;
    const std::vector<std::tuple<const char*, std::vector<Pos>, NfzRecord, std::string>> cases = {
        {"through a 50 m circle, both ends 1 km out", {west, east}, circle(17, lat, lon, 50), "zone@1/17"},
        {"60 m beside a 50 m circle", {west, east}, circle(17, lat + 60 * dLat, lon, 50), ""},
        {"across a box 2 m thin",
         {west, east},
         box(5, lat - 100 * dLat, lon, lat + 100 * dLat, lon + 2 * dLon),
         "zone@1/5"},
        {"5 m beside a box",
         {west, east},
         box(5, lat + 5 * dLat, lon - 90 * dLon, lat + 90 * dLat, lon + 90 * dLon),
         ""},
        {"waypoint inside a box: its legs not again",
         {west, {lat, lon}, east},
         box(5, lat - 9 * dLat, lon - 9 * dLon, lat + 9 * dLat, lon + 9 * dLon),
         "zone@2/5"},
        {"great circle over a zone off the parallel", {{60, 0}, {60, 90}}, circle(4, topLat, 45, 1000), "zone@1/4"},
        {"parallel's midpoint is off the great circle", {{60, 0}, {60, 90}}, circle(4, 60, 45, 1000), ""},
        {"160° leg through a small circle", {{0, -60}, {0, 100}}, circle(1, 0, 80, 50), "zone@1/1"},
        {"across 180° through a circle on it", {{10, 179.99}, {10, -179.99}}, circle(9, 10, 180, 100), "zone@1/9"},
        {"across 180° through a box on it",
         {{10, 179.99}, {10, -179.99}},
         box(3, 9.999, 179.999, 10.001, -179.999),
         "zone@1/3"},
        {"across 180°, not around the world", {{10, 179.99}, {10, -179.99}}, circle(9, 10, 0, 1000), ""},
        {"zone without area", {west, east}, box(8, lat, lon - 5 * dLon, lat, lon + 5 * dLon), ""},
        {"zone reaching past 80° from its centre", {west, east}, box(8, -80, 0, 80, 100), "zone@0/8"},
    };
    for (const auto& [what, route, zone, expected] : cases)
        EXPECT_EQ(run(*makeRoute(route), {}, {zone}), expected) << what;
    EXPECT_EQ(MavRouteChecker::check(*makeRoute({west, east}), {}, {circle(17, lat, lon, 50)}).at(0).text,
              "The route's leg 1-2 enters no-fly zone 17.");
}

// Zones are checked along the path the vehicle flies: nextWp jumps and loops, a repeat, the leg
// from where it starts and a final return home. A 20 m circle sits halfway between waypoints 1
// and 3, which the list order passes 45 m off through the detour 2.
TEST(MavRouteChecker, ZonesAlongTheFlownPath)
{
    const double lat = 22.54, lon = 113.95, dLat = 180 / (6378137.0 * M_PI);
    const double dLon = dLat / std::cos(lat * M_PI / 180);
    const auto at = [&](double north, double east) { return Pos{lat + north * dLat, lon + east * dLon}; };
    const auto wp = [](int place, auto f) {
        return [place, f](MavFlightRouteDataItem& r) { f(*r.getWayPointByIndex(place - 1)); };
    };
    using Wp = MavWayPointDataItem;
    using Change = std::function<void(MavFlightRouteDataItem&)>;
    MavRoutePlaces far;
    far.given = true, far.start = at(0, -100), far.home = at(0, -100);
    MavRoutePlaces across = far;
    across.start = at(100, 0), across.home = at(0, 0);
    MavRoutePlaces nowhere;
    nowhere.given = true;
    const std::vector<std::tuple<const char*, Change, MavRoutePlaces, std::string>> cases = {
        {"list order", [](auto&) {}, far, ""},
        {"1 jumps to 3 over the detour", wp(1, [](Wp& w) { w.setNextWp(3); }), far, "zone@1/1 unreachable@2"},
        {"3 leads back to 1: a loop", wp(3, [](Wp& w) { w.setNextWp(1); }), far, "nextWp@3 zone@3/1"},
        {"flown again", [](auto& r) { r.setRepeatTimes(1); }, far, "zone@3/1"},
        {"from the vehicle to 1", [](auto&) {}, across, "zone@1/1"},
        {"ends in a return home", wp(3, [](Wp& w) { w.setType(MAVPROTO_WP_RETURN); }), across, "zone@1/1 zone@3/1"},
        {"start and home unknown", wp(3, [](Wp& w) { w.setType(MAVPROTO_WP_RETURN); }), nowhere, "zone@1/0 zone@3/0"},
    };
    for (const auto& [what, change, places, expected] : cases) {
        auto route = makeRoute({at(0, 0), at(50, 100), at(100, 0)});
        change(*route);
        EXPECT_EQ(run(*route, {}, {circle(1, lat + 50 * dLat, lon, 20)}, places), expected) << what;
    }
    auto route = makeRoute({at(0, 0), at(50, 100), at(100, 0)});
    route->getWayPointByIndex(0)->setNextWp(3);
    const auto found = MavRouteChecker::check(*route, {}, {circle(1, lat + 50 * dLat, lon, 20)}, across);
    ASSERT_EQ(found.size(), 3u);
    EXPECT_EQ(found[0].text, "The route's leg 1-3 enters no-fly zone 1.");
    EXPECT_EQ(found[1].text, "The leg from the vehicle's position to waypoint 1 enters no-fly zone 1.");
    EXPECT_EQ(found[2].rule, "unreachable");
}

TEST(MavRouteChecker, AreaGeneratorRefusesPolygonAcrossAntimeridian)
{
    MavAreaRouteConfig config;
    for (const auto& [polygon, refused] : std::vector<std::pair<QList<std::pair<double, double>>, bool>>{
             {{{10, 179.99}, {10, -179.99}, {10.01, -179.99}, {10.01, 179.99}}, true},
             {{{10, -179.99}, {10.01, -179.99}, {10.01, 179.99}}, true},  // only the closing edge crosses
             {{{10, 179.98}, {10, 179.99}, {10.01, 179.99}, {10.01, 179.98}}, false}}) {
        testsupport::LogCapture::instance().clear();
        config.setPolygonVertices(polygon);
        EXPECT_EQ(MavAreaRouteGenerator::crossesAntimeridian(polygon), refused);
        EXPECT_EQ(MavAreaRouteGenerator::generate(&config).isEmpty(), refused);
        EXPECT_EQ(testsupport::LogCapture::instance().count(
                      spdlog::level::warn, "<AreaRouteGenerator> polygon crosses the 180° meridian, not generated"),
                  refused ? 1 : 0);
    }
}
