// The missions controller without a vehicle: what it builds from a survey area, and how it
// treats the store removing the route being edited.

#include "mission/MavAreaRouteConfig.h"
#include "mission/MavFlightRouteManager.h"
#include "mission/MavMissionsController.h"
#include "mission/MavMultiPointRouteConfig.h"

#include "LogCapture.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <tuple>

TEST(MavMissionsController, AreaWayPointDefaultsAndRemovalWhileEditing)
{
    auto store = std::make_shared<MavFlightRouteManager>(testsupport::makeTempDir("routes"));
    MavMissionsController missions(nullptr, store);
    auto route = store->addFlightRoute(std::make_shared<MavMultiPointRouteConfig>(), nullptr);
    ASSERT_EQ(missions.activeFlightRoute(), route) << "a created route becomes active, opened for editing";
    EXPECT_TRUE(route->isEditing());

    // A 100 m square at 50 m spacing: two lines of two positions, with the built-in template.
    MavAreaRouteConfig area;
    const double dLat = 100.0 / 6378137.0 * 57.29577951308232;
    const double dLon = dLat / std::cos(22.5 * 0.017453292519943295);
    area.setPolygonVertices({{22.5, 113.9}, {22.5, 113.9 + dLon}, {22.5 + dLat, 113.9 + dLon}, {22.5 + dLat, 113.9}});
    area.setLineSpacing(50);
    ASSERT_TRUE(missions.generateAreaRouteWayPoints(&area));
    ASSERT_EQ(route->wayPointCount(), 4);
    int n = 0;
    for (const auto& wp : route->wayPointList()) {
        ++n;
        const auto d = wp->protoData();
        EXPECT_EQ(
            std::tuple(int(d.number), int(d.type), d.alt, d.vel, d.radius, int(d.headingDirection()), int(d.nextWp)),
            std::tuple(n, 34, 20.0, 8.0f, 0.5f, 1, n + 1))
            << n;
    }

    ASSERT_TRUE(testsupport::waitUntil([&] { return !store->isLoadRunning(); }));
    EXPECT_TRUE(store->removeFlightRoute(route));
    EXPECT_EQ(missions.activeFlightRoute(), route) << "the edited route stays active";
    EXPECT_TRUE(testsupport::LogCapture::instance().contains(
        spdlog::level::warn, "flight route will removed when editing, this may cause unknow error"));
    EXPECT_EQ(missions.upload(), 1) << "no vehicle";
    EXPECT_EQ(missions.download(true), 1);
}
