// Survey pattern generation: the documented edge cases as one table, and the sweep against the
// plain scan (every edge tested on every line) on random polygons.

#include "mission/MavAreaRouteConfig.h"
#include "mission/MavAreaRouteGenerator.h"

#include "LogCapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

namespace {

using G = MavAreaRouteGenerator;
using LatLon = std::pair<double, double>;
// At (0, 0) the mean of a symmetric polygon is exact, so a line can be put through its vertices.
constexpr double kRefLat = 0.0;
constexpr double kRefLon = 0.0;

QList<LatLon> fromLocal(const std::vector<G::LocalPoint>& points)
{
    QList<LatLon> out;
    for (const auto& p : points)
        out.append(G::fromLocal(p.x, p.y, kRefLat, kRefLon));
    return out;
}

QList<LatLon> run(const QList<LatLon>& vertices, double spacing, double angle)
{
    MavAreaRouteConfig config;
    config.setPolygonVertices(vertices), config.setLineSpacing(spacing), config.setAngle(angle);
    return G::generate(&config);
}

// The scan as plainly stated: every edge on every line, then sort.
QList<LatLon> plainScan(const QList<LatLon>& vertices, double spacing, double angle)
{
    const int n = int(vertices.size());
    double refLat = 0, refLon = 0, minY = 1e300, maxY = -1e300;
    for (const auto& [lat, lon] : vertices)
        refLat += lat, refLon += lon;
    refLat /= n, refLon /= n;
    const double theta = angle * 0.017453292519943295;
    std::vector<G::LocalPoint> poly;
    for (const auto& [lat, lon] : vertices) {
        poly.push_back(G::rotatePoint(G::toLocal(lat, lon, refLat, refLon), std::cos(-theta), std::sin(-theta)));
        minY = std::min(minY, poly.back().y), maxY = std::max(maxY, poly.back().y);
    }
    QList<LatLon> out;
    bool forward = true;
    for (double y = minY + spacing * 0.5; y <= maxY; y += spacing) {
        std::vector<double> xs;
        for (int i = 0; i < n; ++i) {
            if (double x; G::segmentScanLineIntersect(poly[i], poly[(i + 1) % n], y, x))
                xs.push_back(x);
        }
        if (xs.size() < 2)
            continue;
        std::sort(xs.begin(), xs.end());
        for (size_t k = 1; k < xs.size(); k += 2) {
            for (double x : forward ? std::vector{xs[k - 1], xs[k]} : std::vector{xs[k], xs[k - 1]}) {
                const auto p = G::rotatePoint({x, y}, std::cos(theta), std::sin(theta));
                out.append(G::fromLocal(p.x, p.y, refLat, refLon));
            }
        }
        forward = !forward;
        if (out.size() > G::kMaxWayPointCount)
            return {};
    }
    return out;
}

}  // namespace

TEST(MavAreaRouteGenerator, EdgeCases)
{
    const std::vector<G::LocalPoint> square = {{-50, -50}, {50, -50}, {50, 50}, {-50, 50}};
    const std::vector<G::LocalPoint> uShape = {{-60, -50}, {60, -50},  {60, 50},  {20, 50},
                                               {20, -10},  {-20, -10}, {-20, 50}, {-60, 50}};
    const std::vector<G::LocalPoint> diamond = {{0, -50}, {50, 0}, {0, 50}, {-50, 0}};
    const double throughMiddle = -2 * G::toLocal(fromLocal({diamond[0]})[0].first, 0, 0, 0).y;
    const std::string tooMany =
        "<AreaRouteGenerator> waypoint count would exceed 255, aborting. Increase line spacing or reduce area.";
    struct Case {
        const char* what;
        std::vector<G::LocalPoint> polygon;
        double spacing;
        double angle;
        std::vector<G::LocalPoint> expected;  // local metres around (kRefLat, kRefLon); empty: none
        std::string warning;  // expected warning, if any
        int count = -1;  // expected count where the points are not listed
    };
    const std::vector<Case> cases = {
        {"2 vertices", {{0, 0}, {10, 10}}, 50, 0, {}, "<AreaRouteGenerator> polygon has fewer than 3 vertices"},
        {"spacing 0", square, 0, 0, {}, "<AreaRouteGenerator> lineSpacing must be > 0"},
        {"spacing -5", square, -5, 0, {}, "<AreaRouteGenerator> lineSpacing must be > 0"},
        {"square east-west", square, 50, 0, {{-50, -25}, {50, -25}, {50, 25}, {-50, 25}}, ""},
        {"square north-south", square, 50, 90, {{25, -50}, {25, 50}, {-25, 50}, {-25, -50}}, ""},
        {"line through two vertices: each counted once", diamond, throughMiddle, 0, {{-50, 0}, {50, 0}}, ""},
        {"U: two segments, each reversed on the way back",
         uShape,
         45,
         0,
         {{-60, -27.5}, {60, -27.5}, {-20, 17.5}, {-60, 17.5}, {60, 17.5}, {20, 17.5}},
         ""},
        {"127 lines: 254 accepted", {{0, 0}, {100, 0}, {100, 1270}, {0, 1270}}, 10, 0, {}, "", 254},
        {"128 lines: aborted", {{0, 0}, {100, 0}, {100, 1280}, {0, 1280}}, 10, 0, {}, tooMany},
        {"thinner than half the spacing",
         {{0, 0}, {100, 0}, {100, 20}, {0, 20}},
         50,
         0,
         {},
         "<AreaRouteGenerator> no waypoints generated, check polygon and spacing"},
    };
    auto& log = testsupport::LogCapture::instance();
    for (const auto& c : cases) {
        log.clear();
        const auto got = run(fromLocal(c.polygon), c.spacing, c.angle);
        if (c.count >= 0) {
            EXPECT_EQ(got.size(), c.count) << c.what;
            continue;
        }
        ASSERT_EQ(got.size(), qsizetype(c.expected.size())) << c.what;
        for (size_t i = 0; i < c.expected.size(); ++i) {
            const auto p = G::toLocal(got[i].first, got[i].second, kRefLat, kRefLon);
            EXPECT_NEAR(p.x, c.expected[i].x, 0.01) << c.what << " #" << i;
            EXPECT_NEAR(p.y, c.expected[i].y, 0.01) << c.what << " #" << i;
        }
        if (!c.warning.empty()) {
            EXPECT_EQ(log.count(spdlog::level::warn, c.warning), 1) << c.what;
        }
    }
    EXPECT_EQ(G::generate(nullptr).size(), 0);
}

TEST(MavAreaRouteGenerator, SweepEqualsPlainScanOnRandomPolygons)
{
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> unit(0, 1);
    int nonEmpty = 0;
    for (int round = 0; round < 300; ++round) {
        // Star-shaped around a random centre; a wide radius range makes it deeply concave.
        const int n = 3 + int(unit(rng) * 60);
        const double rMin = round % 2 ? 20 : 400;
        std::vector<double> angles(n);
        for (auto& a : angles)
            a = unit(rng) * 2 * M_PI;
        std::sort(angles.begin(), angles.end());
        std::vector<G::LocalPoint> local;
        for (double a : angles) {
            const double r = rMin + unit(rng) * (500 - rMin);
            local.push_back({r * std::cos(a), r * std::sin(a)});
        }
        QList<LatLon> vertices;
        const double lat0 = -60 + unit(rng) * 120, lon0 = -180 + unit(rng) * 360;
        for (const auto& p : local)
            vertices.append(G::fromLocal(p.x, p.y, lat0, lon0));
        const double spacing = 8 + unit(rng) * 80;
        const double angle = unit(rng) * 360;
        const auto expected = plainScan(vertices, spacing, angle);
        ASSERT_EQ(run(vertices, spacing, angle), expected) << "round " << round;
        nonEmpty += expected.isEmpty() ? 0 : 1;
    }
    EXPECT_GT(nonEmpty, 200) << "the random cases must mostly produce routes";
}
