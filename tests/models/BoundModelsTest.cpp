// Every model velmora-desk binds to, under QAbstractItemModelTester (fatal: any broken
// invariant aborts the case), while three simulated vehicles fly and a route is created,
// edited, uploaded with verify and downloaded. The tests run under the library's own
// application object.

#define VELMORA_TEST_GCS_APPLICATION

#include "StationWithSim.h"

#include "common/GcsConsoleListModel.h"
#include "mission/MavFlightRouteListModel.h"
#include "mission/MavWayPointDataItem.h"
#include "mission/MavWayPointsTableModel.h"
#include "nfz/NfzZoneListModel.h"
#include "services/CommandService.h"
#include "services/MissionService.h"
#include "services/RouteService.h"
#include "services/VehicleDirectory.h"
#include "services/VehicleServices.h"
#include "telemetry/CustomTeleDataListModel.h"
#include "telemetry/MavTeleDataTableModel.h"
#include "telemetry/MavTelemetryController.h"
#include "telemetry/VehicleAlertController.h"
#include "telemetry/MavPosDataItem.h"
#include "vehicle/VehicleAlertListModel.h"
#include "vehicle/VehicleClusterController.h"
#include "vehicle/VehicleClusterListModel.h"

#include <QAbstractItemModelTester>

using testsupport::waitUntil;

namespace {

// The value of `role` (by its name) at a row, as a view bound by name reads it.
QVariant byName(const QAbstractItemModel& model, int row, const QByteArray& name, int column = 0)
{
    const int role = model.roleNames().key(name, -1);
    EXPECT_GE(role, 0) << "no role named " << name.constData();
    return model.index(row, column).data(role);
}

}  // namespace

class BoundModels : public StationWithSim { };

TEST_F(BoundModels, PassTheModelTesterWhileAFleetFliesAndARouteTravels)
{
    using Tester = QAbstractItemModelTester;
    auto* ctrl = app->ctrl;
    auto& s = *ctrl->services();
    const auto fleet = ctrl->vehicleClusterCtrler()->getClusterListModel();
    MavTeleDataTableModel table;
    CustomTeleDataListModel list;
    list.setTeleDataEids({MavTeleDataElement::PosAlt, MavTeleDataElement::FlightMode});
    MavFlightRouteListModel routes;
    routes.setFlightRouteMgr(ctrl->flightRouteMgr());
    MavWayPointsTableModel wayPoints;
    wayPoints.setMissionsCtrler(ctrl->missionsCtrler());
    NfzZoneListModel zones(ctrl->zoneSet());
    std::vector<std::unique_ptr<Tester>> testers;
    for (QAbstractItemModel* m : std::initializer_list<QAbstractItemModel*>{
             fleet.get(), &table, &list, &routes, &wayPoints, &zones, ctrl->consoleListModel(), ctrl->alertListModel()})
        testers.push_back(std::make_unique<Tester>(m, Tester::FailureReportingMode::Fatal));

    SimOptions options;
    options.count = 3;
    options.fixAfterMs = 300;
    ASSERT_NO_FATAL_FAILURE(startAlive(options, 3));
    const auto v2 = s.directory().byId(2).value;
    ASSERT_TRUE(v2);
    ASSERT_TRUE(s.setActiveVehicle(v2).ok());
    table.setTeleDataItem(v2->teleCtrler()->posDataItem());
    list.setActiveVehicleCtrler(v2);

    // The fleet's rows report each vehicle's changes; the roles read by name agree with the items.
    QSignalSpy fleetChanges(fleet.get(), &QAbstractItemModel::dataChanged);
    ASSERT_TRUE(waitUntil([&] { return byName(*fleet, 1, "positionKnown").toBool(); }, 8000));
    ASSERT_TRUE(waitUntil([&] { return fleetChanges.count() > 3; }));
    const auto pos = v2->teleCtrler()->posDataItem();
    EXPECT_EQ(byName(*fleet, 1, "vehicleId").toInt(), 2);
    EXPECT_EQ(byName(*fleet, 1, "linkState").toString(), "alive");
    EXPECT_DOUBLE_EQ(byName(*fleet, 1, "lat").toDouble(), pos->lat());
    EXPECT_FALSE(byName(*fleet, 5, "bound").toBool()) << "slot 6 has no vehicle";
    EXPECT_EQ(byName(*fleet, 5, "linkState").toString(), QString());
    EXPECT_EQ(fleet->count(), fleet->rowCount());
    EXPECT_GT(table.count(), 0);
    EXPECT_EQ(byName(table, 0, "elementId").toInt(), int(table.teleDataItem()->dataElementList().front()->id()));
    EXPECT_EQ(list.count(), 2);
    EXPECT_FALSE(byName(list, 0, "name").toString().isEmpty());

    // A route made, edited, uploaded with verify, downloaded into a new route.
    svc::RouteDraft draft;
    draft.name = "models";
    draft.number = 1;
    draft.points.emplace();
    for (int i = 0; i < 4; ++i) {
        svc::WayPointSpec p;
        p.data.type = MAVPROTO_WP_PASS;
        p.data.lat = 22.5431 + i * 1e-4;
        p.data.lon = 113.9468;
        p.data.alt = 30;
        p.data.vel = 5;
        draft.points->push_back(p);
    }
    const auto made = s.routes().create(draft);
    ASSERT_TRUE(made.ok()) << made.status.message;
    ASSERT_EQ(wayPoints.count(), 4);
    EXPECT_EQ(byName(routes, routes.rowOfRoute(made.value->id()), "wayPointCount").toInt(), 4);
    auto* wp = qobject_cast<MavWayPointDataItem*>(byName(wayPoints, 2, "wayPoint", 5).value<QObject*>());
    ASSERT_TRUE(wp);
    EXPECT_EQ(wp->property("number").toInt(), 3);
    svc::RouteChange change;
    change.points = *draft.points;
    (*change.points)[2].data.alt = 45;
    change.points->pop_back();
    ASSERT_TRUE(s.routes().update(made.value->id().toStdString(), change).ok());
    EXPECT_EQ(wayPoints.count(), 3);
    EXPECT_EQ(byName(routes, routes.rowOfRoute(made.value->id()), "wayPointCount").toInt(), 3);

    const auto up = s.missions().upload(v2, made.value, {false, true});
    ASSERT_TRUE(up.ok()) << up.status.message;
    std::optional<svc::TransferRecord> record;
    const auto done = [&](int64_t id) {
        return waitUntil(
            [&] {
                record = s.missions().transfer(id);
                return record && record->state == svc::TransferRecord::State::Done;
            },
            20000);
    };
    ASSERT_TRUE(done(up.value.requestId));
    EXPECT_EQ(record->result, 0) << record->message;
    const int before = routes.count();
    const auto down = s.missions().download(v2, svc::TransferKind::DownloadNewRoute);
    ASSERT_TRUE(down.ok()) << down.status.message;
    ASSERT_TRUE(done(down.value.requestId));
    EXPECT_EQ(record->result, 0) << record->message;
    EXPECT_EQ(routes.count(), before + 1);

    // Console lines of the transfers, bounded; the alert list agrees with the vehicles' own.
    EXPECT_GT(ctrl->consoleListModel()->count(), 0);
    EXPECT_LE(ctrl->consoleListModel()->count(), GcsConsoleListModel::kMaxLines);
    int active = 0;
    for (const auto& v : mvm()->vehicleList())
        active += int(v->alertCtrler()->activeAlerts().size());
    EXPECT_EQ(ctrl->alertListModel()->count(), active);
    // Flying a while more with every model watched.
    const auto takeoff = s.commands().send(v2, {svc::FlightAction::Takeoff, 20, 3});
    ASSERT_TRUE(takeoff.ok()) << takeoff.status.message;
    ASSERT_TRUE(waitUntil([&] { return byName(*fleet, 1, "alt").toDouble() > 2; }, 10000));
}
