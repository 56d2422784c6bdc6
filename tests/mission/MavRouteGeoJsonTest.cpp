// GeoJSON routes: our export read by us (same waypoints), Python's json and GDAL; another
// tool's LineString; the refusals.

#include "mission/MavFlightRouteDataItem.h"
#include "mission/MavMultiPointRouteConfig.h"
#include "mission/MavRouteGeoJson.h"

#include "LogCapture.h"
#include "TestSupport.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

using nlohmann::json;

namespace {

// Standard output; anything on standard error fails the test.
QString run(const QString& program, const QStringList& args)
{
    QProcess p;
    p.start(program, args);
    EXPECT_TRUE(p.waitForFinished(30000) && p.exitCode() == 0) << program.toStdString();
    EXPECT_EQ(p.readAllStandardError().toStdString(), "") << program.toStdString();
    return QString::fromUtf8(p.readAllStandardOutput());
}

}  // namespace

TEST(MavRouteGeoJson, ExportReadBackByUsPythonAndGdal)
{
    auto config = std::make_shared<MavMultiPointRouteConfig>();
    config->setNumber(3), config->setRepeatTimes(2);
    auto route = std::make_shared<MavFlightRouteDataItem>(config);
    route->addWayPoint(MAVPROTO_WP_TAKEOFF, 113.95, 22.54, 30.5, 5.1f, 0, MAVPROTO_HEADING_KEEP,
                       MAVPROTO_TRACE_STOP_AND_TURN, MAVPROTO_HEIGHT_RELATIVE, 0, -1, 0);
    route->addWayPoint(MAVPROTO_WP_ORBIT, 113.951, 22.541, 42, 3.3f, 25.5f, MAVPROTO_HEADING_FIXED,
                       MAVPROTO_TRACE_COORDINATED_TURN, MAVPROTO_HEIGHT_ABOVE_SEA, 12, -1, 271.7f);
    route->addWayPoint(MAVPROTO_WP_LAND, 113.952, 22.542, 10, 0, 0, MAVPROTO_HEADING_TO_NEXT_WP,
                       MAVPROTO_TRACE_STOP_AND_TURN, MAVPROTO_HEIGHT_ELLIPSOID, 0, -1, 0);
    const json doc = MavRouteGeoJson::toGeoJson(*route);

    json shuffled = doc;
    std::swap(shuffled["features"][1], shuffled["features"][3]);  // taken by number, not file order
    QString error;
    const auto back = MavRouteGeoJson::fromGeoJson(shuffled, "copy", 3, error);
    ASSERT_TRUE(back) << error.toStdString();
    EXPECT_TRUE(back->id() != route->id() && back->name() == "copy" && back->repeatTimes() == 2 && error.isEmpty());
    ASSERT_EQ(back->wayPointCount(), 3);
    for (int i = 0; i < 3; ++i) {
        const auto a = route->getWayPointByIndex(i)->protoData(), b = back->getWayPointByIndex(i)->protoData();
        EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0) << "waypoint " << i + 1;
    }

    const QString path = testsupport::makeTempDir("geojson") + "/route.geojson";
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(QByteArray::fromStdString(doc.dump(2))) > 0);
    file.close();
    const QString python =
        run("python3", {"-c",
                        "import json,sys; d=json.load(open(sys.argv[1])); "
                        "p=[f for f in d['features'] if (f['geometry'] or {}).get('type')=='Point']; "
                        "print(len(d['features']), p[0]['geometry']['coordinates'], p[0]['properties']['action'])",
                        path});
    EXPECT_EQ(python.trimmed(), "4 [113.95, 22.54, 30.5] takeoff");

    ASSERT_FALSE(QStandardPaths::findExecutable("ogrinfo").isEmpty()) << "ogrinfo (gdal-bin, scripts/setup.sh) is missing";
    const QString gdal = run("ogrinfo", {"-ro", "-al", path});
    for (const char* line : {"Feature Count: 4", "LINESTRING Z (113.95 22.54 30.5,113.951 22.541 42,113.952 22.542 10)",
                             "POINT Z (113.95 22.54 30.5)", "vel (Real) = 5.1", "action (String) = orbit",
                             "heading (Real) = 271.7", "nextWp (Integer) = 4"})
        EXPECT_TRUE(gdal.contains(line)) << line << "\n" << gdal.toStdString();
}

TEST(MavRouteGeoJson, ForeignLineStringAndRefusals)
{
    QString error;
    const json line = {{"type", "Feature"},
                       {"geometry", {{"type", "LineString"}, {"coordinates", {{8.5, 47.3}, {8.51, 47.31}}}}},
                       {"properties", {{"alt", 60}, {"speed", 7}}}};
    const auto route = MavRouteGeoJson::fromGeoJson(line, "foreign", 9, error);
    ASSERT_TRUE(route) << error.toStdString();
    ASSERT_EQ(route->wayPointCount(), 2);
    const auto wp = route->getWayPointByIndex(1);
    EXPECT_EQ(std::vector({double(wp->number()), double(wp->nextWp()), double(wp->type()), wp->lon(), wp->lat(),
                           wp->alt(), double(wp->vel()), double(wp->routeNumber())}),
              std::vector({2.0, 3.0, 34.0, 8.51, 47.31, 60.0, 7.0, 9.0}));

    const auto point = [](json coordinates) {
        return json{{"type", "Feature"},
                    {"geometry", {{"type", "Point"}, {"coordinates", coordinates}}},
                    {"properties", nullptr}};
    };
    json tooMany = {{"type", "FeatureCollection"}, {"features", json::array()}};
    for (int i = 0; i < 256; ++i)
        tooMany["features"].push_back(point({8.5, 47.3, 50}));
    const std::vector<std::pair<json, const char*>> refusals = {
        {json::array(), "not a JSON object"},
        {{{"type", "Topology"}}, "not GeoJSON"},
        {{{"type", "FeatureCollection"}, {"features", 3}}, "no \"features\" array"},
        {{{"type", "Polygon"}, {"coordinates", json::array()}}, "no Point features and no LineString"},
        {tooMany, "256 points; a route holds at most 255"},
        {point({8.5, 95, 50}), "Point 1 has longitude 8.5 and latitude 95"},
        {point({NAN, 47.3, 50}), "Point 1 has longitude nan"},
        {point("8.5,47.3"), "Point 1 has no [longitude, latitude, altitude] coordinates"},
        {point({8.5, 47.3}), "Point 1 has no altitude"},
        {point({8.5, 47.3, INFINITY}), "altitude that is not a finite number"},
    };
    for (const auto& [doc, expected] : refusals) {
        testsupport::LogCapture::instance().clear();
        EXPECT_FALSE(MavRouteGeoJson::fromGeoJson(doc, "bad", 1, error)) << expected;
        EXPECT_TRUE(error.contains(expected)) << error.toStdString();
        EXPECT_EQ(testsupport::LogCapture::instance().countContaining(spdlog::level::warn,
                                                                      "<RouteGeoJson> route \"bad\" not imported: "),
                  1);
    }
}
