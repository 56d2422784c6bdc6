#define VELMORA_TEST_GCS_APPLICATION
// The rules every front end gets from the services: which operation runs on a vehicle in which
// state, and the words of each refusal; transfers addressed by vehicle and queued with their
// place; mission start refused after an upload that failed.

#include "StationWithSim.h"

#include "link/LinkManager.h"
#include "link/LinkManagerFactory.h"
#include "mission/MavFlightRouteDataItem.h"
#include "mission/MavMissionsController.h"
#include "services/CommandService.h"
#include "services/FirmwareService.h"
#include "services/MissionService.h"
#include "services/ParamService.h"
#include "services/RouteService.h"
#include "services/VehicleDirectory.h"
#include "services/VehicleServices.h"
#include "services/ZoneService.h"

#include "SimVehicle.h"
#include "SimVehicleMission.h"

#include <QSignalSpy>

using testsupport::waitUntil;

namespace {

svc::RouteDraft line(const std::string& name, int n, uint8_t number = 1)
{
    svc::RouteDraft draft;
    draft.name = name;
    draft.number = number;
    draft.points.emplace();
    for (int i = 0; i < n; ++i) {
        svc::WayPointSpec p;
        p.data.type = MAVPROTO_WP_PASS;
        p.data.lat = 22.5431 + i * 1e-4;
        p.data.lon = 113.9468;
        p.data.alt = 30;
        p.data.vel = 5;
        draft.points->push_back(p);
    }
    return draft;
}

}  // namespace

class Services : public StationWithSim {
protected:
    svc::VehicleServices& s() const { return *app->ctrl->services(); }
    svc::VehiclePtr vehicle(int id) const { return s().directory().byId(id).value; }
    svc::RoutePtr route(const std::string& name, int n, uint8_t number = 1)
    {
        auto r = s().routes().create(line(name, n, number), svc::RouteService::Activation::Keep);
        EXPECT_TRUE(r.ok()) << r.status.message;
        return r.value;
    }
    // The transfer's end, from the service's own record.
    svc::TransferRecord finished(int64_t requestId, int timeoutMs = 30000)
    {
        std::optional<svc::TransferRecord> r;
        waitUntil(
            [&] {
                r = s().missions().transfer(requestId);
                return r && r->state == svc::TransferRecord::State::Done;
            },
            timeoutMs);
        return r.value_or(svc::TransferRecord{});
    }
};

// Vehicle states against operations: what runs, what is refused, and the words.
TEST_F(Services, EachVehicleStateRefusesWhatCannotRunWithItsReason)
{
    SimOptions options;
    options.count = 2;
    options.fixAfterMs = 0;
    options.latencyMs = 40;  // a 40-waypoint upload runs long enough to be seen running
    ASSERT_NO_FATAL_FAILURE(startAlive(options, 2));
    const auto v1 = vehicle(1), v2 = vehicle(2);
    const auto longRoute = route("long", 40);
    const auto shortRoute = route("short", 2);
    auto& m = s().missions();
    auto& firmware = s().firmware();
    svc::FirmwareRequest forced{"/nonexistent", "", true, 100, 100};

    struct Case {
        const char* state;
        std::function<svc::Status()> op;
        svc::Kind kind;
        std::string message;  // "" for any
    };
    auto upload = [&](const svc::VehiclePtr& v, const svc::RoutePtr& r) {
        return [&m, v, r] { return m.upload(v, r).status; };
    };
    auto start = [&](const svc::VehiclePtr& v) { return [&m, v] { return m.start(v).status; }; };
    auto write = [&](const svc::VehiclePtr& v) { return [this, v] { return s().params().write(v, "basic").status; }; };

    // Idle vehicles.
    std::vector<Case> idle = {
        {"idle", start(v1), svc::Kind::Refused,
         "No route was uploaded to vehicle 1 from this station; upload one first; or add \"force\": true to fly what "
         "the vehicle holds"},
        {"idle", write(v1), svc::Kind::Refused, "Parameter group not read from the vehicle yet; read it first"},
        {"idle", [&] { return firmware.update(v1, forced).status; }, svc::Kind::Refused,
         "A forced firmware update is for benches and simulators: start the station with --allow-forced-firmware to "
         "allow it"},
        {"idle", [&] { return s().directory().byId(9).status; }, svc::Kind::NoVehicle, "No vehicle 9; known: 1, 2"},
        {"idle", [&] { return s().zones().upload({9, std::nullopt}, {}).status; }, svc::Kind::NoVehicle,
         "No vehicle 9; known: 1, 2"},
    };
    auto check = [](const std::vector<Case>& table) {
        for (const auto& c : table) {
            const auto st = c.op();
            EXPECT_EQ(st.kind, c.kind) << c.state << ": " << st.message;
            if (!c.message.empty()) {
                EXPECT_EQ(st.message, c.message) << c.state;
            }
        }
    };
    check(idle);
    // Vehicle 1 uploading: the same vehicle takes nothing else; vehicle 2 queues behind it.
    const auto running = m.upload(v1, longRoute);
    ASSERT_TRUE(running.ok()) << running.status.message;
    ASSERT_EQ(running.value.queuePosition, 0);
    const std::string busy = "Vehicle 1 is busy with a route upload; ";
    std::vector<Case> uploading = {
        {"uploading", upload(v1, shortRoute), svc::Kind::Busy, busy + "a route upload is refused until it ends"},
        {"uploading", [&] { return m.download(v1, svc::TransferKind::DownloadScratch).status; }, svc::Kind::Busy,
         busy + "a route download is refused until it ends"},
        {"uploading", start(v1), svc::Kind::Busy, "A mission transfer is in progress"},
        {"uploading", [&] { return s().zones().upload({1, std::nullopt}, {}).status; }, svc::Kind::Busy,
         busy + "a zone transfer is refused until it ends"},
        {"uploading", [&] {
             firmware.setAllowForced(true);
             auto st = firmware.update(v1, forced).status;
             firmware.setAllowForced(false);
             return st;
         }, svc::Kind::Busy, busy + "a firmware update is refused until it ends"},
    };
    check(uploading);
    const auto queued = m.upload(v2, shortRoute);
    ASSERT_TRUE(queued.ok()) << queued.status.message;
    EXPECT_EQ(queued.value.queuePosition, 1) << "answered at once with its place";
    EXPECT_EQ(m.upload(v2, longRoute).status.message,
              "A route upload for vehicle 2 is already queued (request " + std::to_string(queued.value.requestId) + ")");
    EXPECT_EQ(finished(running.value.requestId).result, 0);
    EXPECT_EQ(finished(queued.value.requestId).result, 0) << "the queued one ran after it";
    EXPECT_EQ(sim->vehicle(1)->mission().wayPoints().size(), 40u);
    EXPECT_EQ(sim->vehicle(2)->mission().wayPoints().size(), 2u);

    // A vehicle in its bootloader and one calibrating take no transfer; a closed link, nothing.
    v2->setFirmwareUpdating(true);
    EXPECT_EQ(m.upload(v2, shortRoute).status.message,
              "Vehicle is updating its firmware; mission transfers are refused until it ends");
    EXPECT_EQ(s().commands().send(v2, {svc::FlightAction::Land}).status.message,
              "Vehicle 2 is updating its firmware; commands are refused until the update ends");
    v2->setFirmwareUpdating(false);
    v2->setTeleReqHold(VehicleController::CalibrationHold, true);
    EXPECT_EQ(m.upload(v2, shortRoute).status.message,
              "Vehicle 2 is busy with a calibration; a route upload is refused until it ends");
    v2->setTeleReqHold(VehicleController::CalibrationHold, false);
    LinkManagerFactory::getInstance().activeLinkMgr()->closeUdpSocketLink();
    ASSERT_TRUE(waitUntil([&] { return !s().directory().linkConnected(); }));
    EXPECT_EQ(m.upload(v2, shortRoute).status.message, "GCS link is not connected; mission transfers are blocked");
    EXPECT_EQ(s().commands().send(v1, {svc::FlightAction::Land}).status.message,
              "GCS link is not connected; control commands are blocked");
}

// An upload that fails leaves the vehicle flying its previous route if started: the start is
// refused, naming the failed upload; a changed route is refused too; force sends it anyway.
TEST_F(Services, MissionStartRefusesAfterAFailedUploadOrAChangedRoute)
{
    SimOptions options;
    options.fixAfterMs = 0;
    options.wpNoAck = {3};  // a third waypoint is never answered
    ASSERT_NO_FATAL_FAILURE(startAlive(options));
    const auto v1 = vehicle(1);
    auto& m = s().missions();
    const auto a = route("A", 2);
    const auto b = route("B", 3);
    const auto upA = m.upload(v1, a);
    ASSERT_TRUE(upA.ok());
    ASSERT_EQ(finished(upA.value.requestId).result, 0);
    const auto upB = m.upload(v1, b);
    ASSERT_TRUE(upB.ok());
    const auto failed = finished(upB.value.requestId);
    ASSERT_EQ(failed.result, MavMissionsController::kResultTimeout);
    EXPECT_EQ(failed.message, "the vehicle did not answer in time");

    const auto refused = m.start(v1);
    EXPECT_EQ(refused.status.kind, svc::Kind::Refused);
    EXPECT_EQ(refused.status.message,
              "The last upload to vehicle 1 (route " + b->id().toStdString() +
                  ") failed: the vehicle did not answer in time; upload it again; or add \"force\": true to fly what "
                  "the vehicle holds");
    EXPECT_FALSE(sim->vehicle(1)->state().flying);

    // A good upload, then the route edited on the station: the vehicle holds the old copy.
    const auto again = m.upload(v1, a);
    ASSERT_TRUE(again.ok());
    ASSERT_EQ(finished(again.value.requestId).result, 0);
    ASSERT_TRUE(s().routes().update(a->id().toStdString(), {std::nullopt, std::nullopt, uint8_t(3), std::nullopt}).ok());
    EXPECT_EQ(m.start(v1).status.message, "Route " + a->id().toStdString() +
                                              " changed since it was uploaded to vehicle 1; upload it again; or add "
                                              "\"force\": true to fly what the vehicle holds");
    const auto forced = m.start(v1, true);
    ASSERT_TRUE(forced.ok()) << forced.status.message;
    EXPECT_TRUE(waitUntil([&] {
        const auto o = s().commands().outcome(forced.value.requestId);
        return o && o->state == svc::CommandOutcome::State::Done;
    }));
}
