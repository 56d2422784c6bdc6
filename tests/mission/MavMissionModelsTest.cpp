// The route list and waypoint table models under QAbstractItemModelTester, fed by a real store.

#include "mission/MavFlightRouteListModel.h"
#include "mission/MavMissionsController.h"
#include "mission/MavWayPointsTableModel.h"
#include "mission/MavMultiPointRouteConfig.h"

#include "TestSupport.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>

#include <gtest/gtest.h>

TEST(MavMissionModels, RouteListFollowsTheStore)
{
    auto store = std::make_shared<MavFlightRouteManager>(testsupport::makeTempDir("routes"));
    MavFlightRouteListModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    model.setFlightRouteMgr(store);
    auto config = std::make_shared<MavMultiPointRouteConfig>();
    config->setName(QStringLiteral("巡检"));
    config->setNumber(2);
    auto route = store->addFlightRoute(config, nullptr);
    ASSERT_TRUE(testsupport::waitUntil([&] { return !store->isLoadRunning(); }));
    for (int i = 0; i < 5; ++i)
        route->addWayPoint(MAVPROTO_WP_PASS, 113, 22, 50, 5, 2, MAVPROTO_HEADING_KEEP, MAVPROTO_TRACE_STOP_AND_TURN,
                           MAVPROTO_HEIGHT_RELATIVE, 0, -1, 0);
    const QModelIndex row = model.flightRouteToIndex(route);
    EXPECT_EQ(row.data().toString(), QStringLiteral("巡检(ID:2,Count:5)"));
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    route->addWayPoint(MAVPROTO_WP_PASS, 113, 22, 50, 5, 2, MAVPROTO_HEADING_KEEP, MAVPROTO_TRACE_STOP_AND_TURN,
                       MAVPROTO_HEIGHT_RELATIVE, 0, -1, 0);
    ASSERT_EQ(changed.count(), 1);
    EXPECT_EQ(changed.at(0).at(0).toModelIndex(), row);
    EXPECT_EQ(row.data(Qt::EditRole).toString(), QStringLiteral("巡检(ID:2,Count:6)"));
    EXPECT_FALSE(row.data(Qt::ToolTipRole).isValid());

    ASSERT_TRUE(store->updateFlightRoute(route));
    ASSERT_TRUE(testsupport::waitUntil([&] { return !store->isLoadRunning(); }));
    QSignalSpy refreshed(store.get(), &MavFlightRouteManager::flightRoutesRefreshed);
    store->refreshFromLocal();
    ASSERT_TRUE(testsupport::waitUntil([&] { return refreshed.count() == 1; }));
    ASSERT_EQ(model.rowCount(), 1);
    EXPECT_EQ(model.index(0).data().toString(), QStringLiteral("巡检(ID:2,Count:6)")) << "rebuilt from the file";
    EXPECT_NE(model.indexToFlightRoute(model.index(0)), route);

    EXPECT_TRUE(store->removeFlightRoute(store->flightRoutes().front()));
    EXPECT_EQ(model.rowCount(), 0);
    EXPECT_EQ(model.indexToFlightRoute(model.index(0)), nullptr);
}

namespace {

struct FixedRelation : MavAbstractWayPointsRelationDataQuery {
    void queryWayPointRelationData(int wpNumber, double& distance, double& direction) override
    {
        distance = 100.0 * wpNumber + 0.123;
        direction = 45.5;
    }
};

MavFlightRouteDataItemPtr routeOf(int wayPoints)
{
    auto route = std::make_shared<MavFlightRouteDataItem>(std::make_shared<MavMultiPointRouteConfig>());
    for (int i = 0; i < wayPoints; ++i)
        route->addWayPoint(MAVPROTO_WP_PASS, 113.1, 22.5, 50, 5, 2, MAVPROTO_HEADING_KEEP, MAVPROTO_TRACE_STOP_AND_TURN,
                           MAVPROTO_HEIGHT_RELATIVE, 0, -1, 0);
    return route;
}

}  // namespace

TEST(MavMissionModels, WayPointTableFollowsTheActiveRoute)
{
    auto ctrler = std::make_shared<MavMissionsController>(nullptr, nullptr);
    MavWayPointsTableModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    model.setMissionsCtrler(ctrler);
    auto route = routeOf(3);
    ctrler->setActiveFlightRoute(route);
    ASSERT_EQ(model.rowCount(), 3);
    EXPECT_EQ(model.columnCount(), 15);
    const auto cell = [&](int row, int column) { return model.index(row, column).data().toString(); };
    EXPECT_EQ(cell(0, MavWayPointsTableModel::ColLon), "113.10000000");
    EXPECT_EQ(cell(0, MavWayPointsTableModel::ColType), QStringLiteral("过路点"));
    EXPECT_EQ(cell(0, MavWayPointsTableModel::ColDistance), "--") << "no query object";

    auto relation = std::make_shared<FixedRelation>();
    model.setWayPointsRelationDataQueryer(relation);
    EXPECT_EQ(cell(1, MavWayPointsTableModel::ColDistance), "200.12");
    EXPECT_EQ(cell(1, MavWayPointsTableModel::ColDirection), "45.50");
    EXPECT_EQ(cell(2, MavWayPointsTableModel::ColDistance), "--") << "last row";
    EXPECT_EQ(cell(2, MavWayPointsTableModel::ColDirection), "--") << "last row";

    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    route->getWayPointByIndex(1)->setAlt(60);
    ASSERT_EQ(changed.count(), 1);
    EXPECT_EQ(changed.at(0).at(0).toModelIndex(), model.index(1, MavWayPointsTableModel::ColAlt));
    EXPECT_EQ(changed.at(0).at(1).toModelIndex(), model.index(1, MavWayPointsTableModel::ColAlt));

    // Removing renumbers the rest: the table follows through the number cells.
    ctrler->removeWayPoint(route->getWayPointByIndex(0));
    ASSERT_EQ(model.rowCount(), 2);
    EXPECT_EQ(cell(0, MavWayPointsTableModel::ColNumber), "1");
    ctrler->addWayPoint(MAVPROTO_WP_LAND, 113, 22, 0, 0, 0, MAVPROTO_HEADING_KEEP, MAVPROTO_TRACE_STOP_AND_TURN,
                        MAVPROTO_HEIGHT_RELATIVE, 0, -1, 0);
    EXPECT_EQ(cell(2, MavWayPointsTableModel::ColType), QStringLiteral("降落点"));

    QSignalSpy reset(&model, &QAbstractItemModel::modelReset);
    auto other = routeOf(5);
    ctrler->setActiveFlightRoute(other);
    EXPECT_EQ(reset.count(), 1);
    EXPECT_EQ(model.rowCount(), 5);
    EXPECT_EQ(model.indexToWayPoint(model.index(4, 0)), other->getWayPointByIndex(4));
    changed.clear();
    route->getWayPointByIndex(0)->setAlt(70);
    EXPECT_EQ(changed.count(), 0) << "the former route's waypoints are no longer followed";
}
