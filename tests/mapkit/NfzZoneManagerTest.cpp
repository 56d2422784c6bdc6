#include "NfzZoneManager.h"
#include "nfzgeo.h"

#include "LogCapture.h"
#include "TestSupport.h"

#include <QFile>

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

namespace {

const QByteArray kTwoZones = R"([
  {"id": 42, "type": "polygon", "points": [[30.0, 120.0], [30.5, 120.2], [30.1, 120.6]]},
  {"id": -7, "type": "circle", "center": [0.0, 10.0], "radius": 1113.19, "name": "ignored"}
])";

TEST(NfzZoneManager, LoadsPolygonsAndCirclesInDocumentOrder)
{
    NfzZoneManager mgr;
    ASSERT_TRUE(mgr.reloadFromJsonUtf8(kTwoZones)) << mgr.lastError().toStdString();
    EXPECT_TRUE(mgr.lastError().isEmpty());
    EXPECT_EQ(mgr.zoneCount(), 2u);
    EXPECT_EQ(mgr.zoneIds(), (std::vector<int64_t>{42, -7}));

    const auto poly = mgr.findById(42);
    ASSERT_TRUE(poly);
    EXPECT_EQ(poly->type, NfzRecord::Type::Polygon);
    ASSERT_EQ(poly->points.size(), 3u);
    EXPECT_DOUBLE_EQ(poly->points[1].lon, 120.2);
    EXPECT_EQ(std::make_tuple(poly->minLat, poly->minLon, poly->maxLat, poly->maxLon),
              std::make_tuple(30.0, 120.0, 30.5, 120.6));

    // 1113.19 m is 0.01 degree of latitude on the 6378137 m sphere, and of longitude at the equator.
    const auto circle = mgr.findById(-7);
    ASSERT_TRUE(circle);
    EXPECT_EQ(circle->type, NfzRecord::Type::Circle);
    EXPECT_NEAR(circle->minLat, -0.01, 1e-6);
    EXPECT_NEAR(circle->maxLon, 10.01, 1e-6);
    EXPECT_TRUE(nfzgeo::nfzRecordBboxValid(*circle));
    EXPECT_FALSE(mgr.findById(43));

    // An empty document is valid and empties the set.
    ASSERT_TRUE(mgr.reloadFromJsonUtf8("[]"));
    EXPECT_EQ(mgr.zoneCount(), 0u);
    EXPECT_FALSE(mgr.findById(42));

    const QString dir = testsupport::makeTempDir("nfz");
    QFile f(dir + "/zones.json");
    ASSERT_TRUE(f.open(QIODevice::WriteOnly) && f.write(kTwoZones) == kTwoZones.size() && f.flush());
    ASSERT_TRUE(mgr.reloadFromFile(f.fileName()));
    EXPECT_EQ(mgr.zoneCount(), 2u);
    EXPECT_FALSE(mgr.reloadFromFile(dir + "/missing.json"));
    EXPECT_TRUE(mgr.lastError().startsWith("cannot open " + dir + "/missing.json")) << mgr.lastError().toStdString();
    EXPECT_EQ(mgr.zoneCount(), 2u);
}

TEST(NfzZoneManager, MalformedDocumentKeepsOldSetAndNamesTheFault)
{
    struct Case {
        const char* doc;
        const char* error;
    };
    const Case cases[] = {
        {"", "invalid JSON: "},
        {R"([{"id": 1, "type": "circle", "center": [1, 2], "radius": 3})", "invalid JSON: "},
        {R"({"id": 1})", "expected a top-level JSON array"},
        {R"([5])", "zone[0]: not a JSON object"},
        {R"([{"type": "circle"}])", R"(zone[0]: "id" must be a 64-bit integer)"},
        {R"([{"id": 18446744073709551615}])", R"(zone[0]: "id" must be a 64-bit integer)"},
        {R"([{"id": 1, "type": "circle", "center": [1, 2], "radius": 3}, {"id": 1, "type": "circle"}])",
         "zone[1] (id 1): duplicate id"},
        {R"([{"id": 2, "type": "square"}])", R"(zone[0] (id 2): "type" must be "polygon" or "circle")"},
        {R"([{"id": 2, "type": "polygon", "points": []}])", R"(zone[0] (id 2): "points" must be a non-empty array)"},
        {R"([{"id": 2, "type": "polygon", "points": [[1, 2], [3]]}])", "zone[0] (id 2): points[1] must be [lat, lon]"},
        {R"([{"id": 2, "type": "polygon", "points": [[90.5, 2]]}])",
         "zone[0] (id 2): points[0] latitude must lie in [-90, 90]"},
        {R"([{"id": 2, "type": "polygon", "points": [[1, -181]]}])",
         "zone[0] (id 2): points[0] longitude must lie in [-180, 180]"},
        {R"([{"id": 3, "type": "circle", "center": {"lat": 1, "lon": 2}, "radius": 5}])",
         R"(zone[0] (id 3): "center" must be [lat, lon])"},
        {R"([{"id": 3, "type": "circle", "center": [1, 2], "radius": -1}])",
         R"(zone[0] (id 3): "radius" must be a finite number >= 0)"},
    };
    NfzZoneManager mgr;
    ASSERT_TRUE(mgr.reloadFromJsonUtf8(kTwoZones));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.doc);
        testsupport::LogCapture::instance().clear();
        EXPECT_FALSE(mgr.reloadFromJsonUtf8(c.doc));
        EXPECT_TRUE(mgr.lastError().startsWith(QString::fromUtf8(c.error))) << mgr.lastError().toStdString();
        EXPECT_EQ(mgr.zoneIds(), (std::vector<int64_t>{42, -7}));
        EXPECT_EQ(testsupport::LogCapture::instance().countContaining(spdlog::level::warn, "zone document rejected"),
                  1);
    }
    ASSERT_TRUE(mgr.reloadFromJsonUtf8(kTwoZones));
    EXPECT_TRUE(mgr.lastError().isEmpty());
}

TEST(NfzZoneManager, DegenerateGeometryIsKeptWithInvalidBox)
{
    NfzZoneManager mgr;
    ASSERT_TRUE(mgr.reloadFromJsonUtf8(R"([
        {"id": 1, "type": "circle", "center": [10, 20], "radius": 0},
        {"id": 2, "type": "polygon", "points": [[10, 20], [11, 21]]},
        {"id": 3, "type": "polygon", "points": [[10, 20]]}])"));
    for (int64_t id : {1, 3})
        EXPECT_FALSE(nfzgeo::nfzRecordBboxValid(*mgr.findById(id))) << id;
    EXPECT_TRUE(nfzgeo::nfzRecordBboxValid(*mgr.findById(2)));  // two points still span a box
}

NfzRecord ring(int n, double radiusDeg, double jitter = 0.0)
{
    NfzRecord r;
    for (int i = 0; i < n; ++i) {
        const double a = 2 * std::numbers::pi * i / n;
        const double k = 1.0 + ((i % 2) ? jitter : -jitter);
        // Longitude spread by 1/cos(lat) so the ring is round on the ground at 45 degrees.
        r.points.push_back(
            {45.0 + k * radiusDeg * std::sin(a), 7.0 + k * radiusDeg * std::cos(a) / std::cos(std::numbers::pi / 4)});
    }
    return r;
}

TEST(NfzGeo, RecognisesCirclesDrawnAsPolygons)
{
    NfzRecord closed = ring(36, 0.01);
    closed.points.push_back(closed.points.front());
    NfzRecord asCircle = ring(36, 0.01);
    asCircle.type = NfzRecord::Type::Circle;
    NfzRecord square;
    square.points = {{0, 0}, {0, 1}, {1, 1}, {1, 0}};
    NfzRecord collapsed;
    collapsed.points.assign(20, {5, 5});

    struct Case {
        const char* name;
        NfzRecord rec;
        bool circle;
    };
    const Case cases[] = {
        {"36-gon", ring(36, 0.01), true},
        {"closed ring", closed, true},
        {"12-gon", ring(12, 0.5), true},
        {"11-gon", ring(11, 0.5), false},
        {"4% star", ring(24, 0.01, 0.04), true},
        {"10% star", ring(24, 0.01, 0.10), false},
        {"square", square, false},
        {"one point repeated", collapsed, false},
        {"circle record", asCircle, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(nfzgeo::isPolylineCirclePolygon(c.rec), c.circle) << c.name;
}

TEST(NfzGeo, BoxesAndCorners)
{
    struct Case {
        double lat, lon, radius;
        bool ok;
        double minLat, minLon, maxLat, maxLon;
    };
    const double d = 0.01;  // degrees for 1113.19 m
    const Case cases[] = {
        {0, 10, 1113.19, true, -d, 10 - d, d, 10 + d},
        {60, 10, 1113.19, true, 60 - d, 10 - 2 * d, 60 + d, 10 + 2 * d},  // cos 60 = 0.5
        {89.995, 179.995, 1113.19, true, 89.985, -180, 90, 180},
        {0, 0, 0, false, 0, 0, 0, 0},
        {0, 0, -5, false, 0, 0, 0, 0},
        {0, 0, NAN, false, 0, 0, 0, 0},
        {91, 0, 10, false, 0, 0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.lat << "," << c.lon << " r=" << c.radius);
        double b[4] = {0, 0, 0, 0};
        EXPECT_EQ(nfzgeo::bboxFromCircle(c.lat, c.lon, c.radius, b[0], b[1], b[2], b[3]), c.ok);
        const double expect[4] = {c.minLat, c.minLon, c.maxLat, c.maxLon};
        for (int i = 0; i < 4; ++i)
            EXPECT_NEAR(b[i], expect[i], 1e-6) << i;
    }

    std::array<double, 4> lats{};
    std::array<double, 4> lons{};
    nfzgeo::bboxToFourVertices(1, 2, 10, 20, lats, lons);
    EXPECT_EQ(lats, (std::array<double, 4>{1, 1, 2, 2}));
    EXPECT_EQ(lons, (std::array<double, 4>{10, 20, 20, 10}));

    NfzRecord r;
    const struct {
        double minLat, minLon, maxLat, maxLon;
        bool valid;
    } boxes[] = {
        {1, 10, 2, 20, true},    {1, 10, 1, 20, false},  {1, 10, 2, 10, false},  {2, 10, 1, 20, false},
        {-91, 10, 2, 20, false}, {1, 10, 2, 181, false}, {1, NAN, 2, 20, false}, {-90, -180, 90, 180, true},
    };
    for (const auto& b : boxes) {
        r.minLat = b.minLat, r.minLon = b.minLon, r.maxLat = b.maxLat, r.maxLon = b.maxLon;
        EXPECT_EQ(nfzgeo::nfzRecordBboxValid(r), b.valid)
            << b.minLat << " " << b.minLon << " " << b.maxLat << " " << b.maxLon;
    }
}

// Simple-polygon check, hull and the 180th meridian; rings are [lat, lon] as zone files give them.
TEST(NfzGeo, SimplePolygonsHullsAndTheMeridian)
{
    using R = nfzgeo::Ring;
    const struct {
        const char* name;
        R ring;
        bool simple;
        size_t hull;
        bool meridian;
    } rows[] = {
        {"square", {{0, 0}, {0, 1}, {1, 1}, {1, 0}}, true, 4, false},
        {"dented square", {{0, 0}, {0, 1}, {0.5, 0.5}, {1, 1}, {1, 0}}, true, 4, false},
        {"collinear vertex kept out of the hull", {{0, 0}, {0, 0.5}, {0, 1}, {1, 1}, {1, 0}}, true, 4, false},
        {"bow tie", {{0, 0}, {1, 1}, {0, 1}, {1, 0}}, false, 4, false},
        {"spike back along an edge", {{0, 0}, {0, 2}, {0, 1}, {1, 1}}, false, 3, false},
        {"flat triangle", {{0, 0}, {0, 1}, {0, 2}}, false, 2, false},
        {"figure eight through one vertex", {{0, 0}, {1, 1}, {2, 0}, {2, 2}, {1, 1}, {0, 2}}, false, 4, false},
        {"edge touching another's middle", {{0, 0}, {0, 2}, {1, 2}, {0, 1}, {1, 0}}, false, 4, false},
        {"across 180", {{10, 179.5}, {10, -179.5}, {11, -179.5}, {11, 179.5}}, true, 4, true},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(nfzgeo::isSimplePolygon(r.ring), r.simple) << r.name;
        EXPECT_EQ(nfzgeo::convexHull(r.ring).size(), r.hull) << r.name;
        EXPECT_EQ(nfzgeo::crossesAntimeridian(r.ring), r.meridian) << r.name;
    }
    EXPECT_EQ(nfzgeo::openRing({{0, 0}, {0, 0}, {0, 1}, {1, 1}, {0, 0}}).size(), 3u)
        << "repeats and closing copy dropped";
    // 1113.19 m is 0.01 degree of longitude at the equator.
    EXPECT_TRUE(nfzgeo::circleCrossesAntimeridian(0, -179.995, 1113.19));
    EXPECT_FALSE(nfzgeo::circleCrossesAntimeridian(0, 179.985, 1113.19));
    EXPECT_FALSE(nfzgeo::circleCrossesAntimeridian(89.995, 179.995, 1113.19)) << "around the pole: every longitude";
}

}  // namespace
