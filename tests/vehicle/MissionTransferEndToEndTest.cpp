// Route upload and download between the station's missions controller and the simulator over
// loopback UDP: byte-exact round trips, each fault's result, lossy links, and the active vehicle
// held during a transfer.

#include "StationWithSim.h"

#include "LogCapture.h"
#include "VehicleSimulator.h"
#include "SimVehicle.h"
#include "SimVehicleMission.h"
#include "link/LinkManager.h"
#include "link/LinkManagerFactory.h"
#include "mission/MavFlightRouteDataItem.h"
#include "mission/MavFlightRouteManager.h"
#include "mission/MavMissionsController.h"
#include "mission/MavMultiPointRouteConfig.h"
#include "protocol/MavRequestQueueManager.h"
#include "settings/GcsSettings.h"

#include <QFile>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <climits>
#include <cstring>

using testsupport::waitUntil;

namespace {

using Records = std::vector<MavProtoWayPointData_t>;

bool sameBytes(const Records& a, const Records& b)
{
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(MavProtoWayPointData_t)) == 0;
}

Records records(const MavFlightRouteDataItem& route)
{
    Records out;
    for (const auto& wp : route.wayPointList())
        out.push_back(wp->protoData());
    return out;
}

class MissionTransfer : public StationWithSim {
protected:
    MavMissionsController* missions() const { return app->ctrl->missionsCtrler().get(); }
    MavFlightRouteManager* store() const { return app->ctrl->flightRouteMgr().get(); }

    void waitForStore()
    {
        ASSERT_TRUE(waitUntil([&] { return !store()->isLoadRunning(); }));
    }

    // A saved, active route of n waypoints with distinct values in every field.
    std::shared_ptr<MavFlightRouteDataItem> makeRoute(int n, uint8_t number = 3)
    {
        waitForStore();
        auto config = std::make_shared<MavMultiPointRouteConfig>();
        config->setName("survey");
        config->setNumber(number);
        config->setRepeatTimes(2);
        auto route = store()->addFlightRoute(config, nullptr);
        for (int i = 0; i < n; ++i)
            route->addWayPoint(MavProtoWayPointType(i % 2 ? MAVPROTO_WP_HOVER : MAVPROTO_WP_PASS), 113.0 + i * 1e-4,
                               22.5 + i * 1e-4, 10 + i, 4.5f, 1.5f, MAVPROTO_HEADING_TO_NEXT_WP,
                               MavProtoTraceMode(i % 2), MavProtoWayPointHeightType(i % 3), uint16_t(i), -1, float(i));
        waitForStore();
        missions()->stopEditing();
        waitForStore();
        return route;
    }

    // Runs one transfer; its result, or INT_MIN when none came. Exactly one finished signal.
    int transfer(bool upload, int timeoutMs = 30000, bool verify = false)
    {
        std::vector<int> results;
        auto c = upload ? QObject::connect(missions(), &MavMissionsController::flightRouteUploadingFinished,
                                           [&](auto, int ret) { results.push_back(ret); })
                        : QObject::connect(missions(), &MavMissionsController::flightRouteDownloadingFinished,
                                           [&](auto, int ret) { results.push_back(ret); });
        EXPECT_EQ(upload ? missions()->upload(verify) : missions()->download(), 0);
        const bool ended = waitUntil([&] { return !results.empty(); }, timeoutMs);
        testsupport::pumpEvents(100);
        QObject::disconnect(c);
        EXPECT_EQ(results.size(), ended ? 1u : 0u) << "one finished signal per transfer";
        EXPECT_FALSE(missions()->isTransferring());
        return ended ? results.front() : INT_MIN;
    }

    QByteArray routeFile(const MavFlightRouteDataItem& route) const
    {
        QFile f(GcsSettings::getInstance()->getFlightRouteCachePath(false) + "/" + route.id() + ".frd");
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    const SimVehicleMission& simRoute() const { return sim->vehicle(1)->mission(); }
};

}  // namespace

TEST_F(MissionTransfer, RoundTripsByteForByteWithPollingPaused)
{
    ASSERT_NO_FATAL_FAILURE(startAlive(SimOptions{}));
    for (const int n : {1, 5, 255}) {
        auto route = makeRoute(n);
        const Records sent = records(*route);
        const auto requestsBefore = sim->counters().teleRequests;
        ASSERT_EQ(transfer(true), 0) << n;
        // A request already on its way when the hold began may still arrive.
        EXPECT_LE(sim->counters().teleRequests, requestsBefore + 1) << "no polling during the upload";
        EXPECT_TRUE(sameBytes(simRoute().wayPoints(), sent)) << n;
        EXPECT_EQ(simRoute().basic().repeatTimes, 2);

        route->resetWayPoints(std::list<std::shared_ptr<MavWayPointDataItem>>{});
        route->setRepeatTimes(0);
        ASSERT_EQ(transfer(false), 0) << n;
        EXPECT_TRUE(sameBytes(records(*route), sent)) << n;
        EXPECT_EQ(route->repeatTimes(), 2);
        waitForStore();
        EXPECT_EQ(nlohmann::json::parse(routeFile(*route).toStdString(), nullptr, false).value("repeatTimes", 0), 2)
            << "the download is saved";
    }
    const auto requests = sim->counters().teleRequests;
    EXPECT_TRUE(waitUntil([&] { return sim->counters().teleRequests > requests + 2; })) << "polling resumes";
}

// Each fault ends its transfer with its result; the active route and its file stay as they were.
TEST_F(MissionTransfer, FaultsEndTransfersWithTheirResultSoak)
{
    struct Case {
        const char* fault;
        void (*apply)(SimOptions&);
        bool upload;
        int expected;
    };
    const Case cases[] = {
        {"upload not acknowledged", [](SimOptions& o) { o.wpNoAck.insert(2); }, true, 5000},
        {"upload refused", [](SimOptions& o) { o.wpResults[3] = 9; }, true, 9},
        {"download of another route", [](SimOptions& o) { o.dlWrongRoute.insert(2); }, false, -2002},
        {"download of another number", [](SimOptions& o) { o.dlWrongNumber.insert(4); }, false, -2003},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        if (sim)
            sim->stop();
        sim.reset();
        app = std::make_unique<testsupport::AppHarness>();
        SimOptions options;
        c.apply(options);
        ASSERT_NO_FATAL_FAILURE(startAlive(options));
        auto route = makeRoute(5);
        if (!c.upload) {
            ASSERT_EQ(transfer(true), 0);
            route->removeWayPoint(route->getWayPointByNum(5));
            missions()->stopEditing();
            waitForStore();
        }
        const Records before = records(*route);
        const QByteArray fileBefore = routeFile(*route);
        ASSERT_FALSE(fileBefore.isEmpty());
        EXPECT_EQ(transfer(c.upload), c.expected);
        EXPECT_EQ(missions()->activeFlightRoute(), route);
        EXPECT_TRUE(sameBytes(records(*route), before));
        waitForStore();
        EXPECT_EQ(routeFile(*route), fileBefore);
    }
}

// Loss on both ways. At 30 % a 255-waypoint transfer spends up to a minute in resend time-outs
// before it ends (either way). Every seed, the first upload and download with their fixed
// outcomes, and a 2 % round trip of a whole route are soak cases (the default run keeps its
// budget; scripts/soak.sh runs them).
struct LossCase {
    double loss;
    bool upload;  // 0.3: the direction of the one transfer
    quint64 seed;
    int expected;  // INT_MIN: any one outcome
};

class LossyMissionTransfer : public MissionTransfer, public ::testing::WithParamInterface<LossCase> { };

TEST_P(LossyMissionTransfer, EveryTransferEndsOnce)
{
    const LossCase c = GetParam();
    SimOptions options;
    options.loss = c.loss;
    options.seed = c.seed;
    ASSERT_NO_FATAL_FAILURE(startAlive(options, 1, 15000));
    auto route = makeRoute(255);
    const Records sent = records(*route);
    if (c.loss < 0.1) {
        ASSERT_EQ(transfer(true, 100000), 0);
        route->resetWayPoints(std::list<std::shared_ptr<MavWayPointDataItem>>{});
        ASSERT_EQ(transfer(false, 100000), 0);
        EXPECT_TRUE(sameBytes(records(*route), sent));
        return;
    }
    MavProtoUpWayPointBasicParam_t basic;
    basic.wayPointCount = 255;
    basic.routeNumber = route->number();
    sim->vehicle(1)->mission().setRoute(basic, sent);
    const int ret = transfer(c.upload, 100000);
    EXPECT_NE(ret, INT_MIN);
    if (c.expected != INT_MIN) {
        EXPECT_EQ(ret, c.expected);
    }
    if (ret == 0) {
        EXPECT_TRUE(sameBytes(c.upload ? simRoute().wayPoints() : records(*route), sent));
    }
}

auto lossName = [](const auto& info) {
    const LossCase& c = info.param;
    return std::string(c.loss > 0.1 ? (c.upload ? "Upload" : "Download") : "RoundTrip") + "Seed" +
           std::to_string(c.seed);
};
INSTANTIATE_TEST_SUITE_P(SoakLossFirst, LossyMissionTransfer,
                         ::testing::Values(LossCase{0.3, true, 1, 5000}, LossCase{0.3, false, 1, 5000}), lossName);
INSTANTIATE_TEST_SUITE_P(SoakLoss, LossyMissionTransfer,
                         ::testing::Values(LossCase{0.3, true, 2, INT_MIN}, LossCase{0.3, true, 3, INT_MIN},
                                           LossCase{0.3, false, 2, INT_MIN}, LossCase{0.3, false, 3, INT_MIN},
                                           LossCase{0.02, true, 1, INT_MIN}),
                         lossName);

TEST_F(MissionTransfer, ActiveVehicleIsHeldDuringATransfer)
{
    ASSERT_NO_FATAL_FAILURE(startAlive(SimOptions{}));
    auto first = mvm()->activeVehicle();
    makeRoute(255);
    auto udp = LinkManagerFactory::getInstance().activeLinkMgr()->udpSocketLink();
    std::vector<int> results;
    QObject::connect(missions(), &MavMissionsController::flightRouteUploadingFinished,
                     [&](auto, int ret) { results.push_back(ret); });

    // A vehicle that joins mid-upload is listed, and takes the active role when the upload ends.
    ASSERT_EQ(missions()->upload(), 0);
    EXPECT_EQ(missions()->download(), 4) << "one transfer at a time";
    mvm()->processMavHeartbeatFrame(7, udp, QStringLiteral("127.0.0.1:9"));
    ASSERT_TRUE(mvm()->hasVehicle(7));
    EXPECT_EQ(mvm()->activeVehicle(), first);
    ASSERT_TRUE(waitUntil([&] { return results.size() == 1; }, 30000));
    EXPECT_EQ(results.front(), 0);
    EXPECT_EQ(mvm()->activeVehicle()->vehicleId(), 7);

    // The operator's choice mid-transfer does not touch it: the transfer keeps to its vehicle.
    mvm()->setActiveVevhile(first);
    ASSERT_EQ(missions()->upload(), 0);
    mvm()->setActiveVevhile(mvm()->findVehicleControllerById(7));
    EXPECT_EQ(missions()->transferVehicle(), first);
    ASSERT_TRUE(waitUntil([&] { return results.size() == 2; }, 30000));
    EXPECT_EQ(results.back(), 0);
    EXPECT_EQ(sim->vehicle(1)->mission().wayPoints().size(), 255u);
    EXPECT_FALSE(missions()->isTransferring());
}

// The route a transfer writes into is the route on screen: a store reload does not leave a
// stale active route, downloaded waypoints follow their route's number, and the target cannot
// change, be edited or vanish unnoticed while a download runs.
TEST_F(MissionTransfer, TransfersKeepToTheirRoute)
{
    SimOptions options;
    options.latencyMs = 150;
    ASSERT_NO_FATAL_FAILURE(startAlive(options));
    auto route = makeRoute(3);
    auto other = makeRoute(1);
    ASSERT_EQ(missions()->setActiveFlightRoute(route), SetActRouteDone);

    // A reload rebuilds every route: the active one is found again by id.
    const QString dir = testsupport::makeTempDir("export");
    store()->exportAllToLocal(dir);
    waitForStore();
    QSignalSpy reloaded(store(), &MavFlightRouteManager::flightRoutesRefreshed);
    store()->importAllFromLocal(dir);
    ASSERT_TRUE(waitUntil([&] { return reloaded.count() == 1; }));
    ASSERT_NE(missions()->activeFlightRoute(), route);
    route = missions()->activeFlightRoute();
    ASSERT_TRUE(route && std::find(store()->flightRoutes().begin(), store()->flightRoutes().end(), route) !=
                             store()->flightRoutes().end());
    other = store()->flightRoutes().back();

    // Downloaded waypoints are the route's own: a new route number reaches them and the vehicle.
    ASSERT_EQ(transfer(true), 0);
    ASSERT_EQ(transfer(false), 0);
    route->setNumber(7);
    for (const auto& wp : route->wayPointList())
        EXPECT_EQ(wp->routeNumber(), 7);
    ASSERT_EQ(transfer(true), 0);
    ASSERT_EQ(transfer(false), 0) << "the vehicle holds route 7 under number 7";

    // While a download writes into the route, nothing else may touch it.
    QSignalSpy downloading(missions(), &MavMissionsController::isDownloadingChanged);
    std::vector<int> results;
    QObject::connect(missions(), &MavMissionsController::flightRouteDownloadingFinished,
                     [&](auto, int ret) { results.push_back(ret); });
    ASSERT_EQ(missions()->download(), 0);
    EXPECT_EQ(missions()->setActiveFlightRoute(other), SetActRouteRefusedUploading);
    EXPECT_EQ(missions()->upload(), 5) << "one transfer at a time";
    missions()->setIsEditing(true);
    EXPECT_FALSE(route->isEditing());
    EXPECT_FALSE(store()->removeFlightRoute(route));
    // A reload that no longer holds the target ends the download once and releases every hold.
    waitForStore();
    QFile::remove(GcsSettings::getInstance()->getFlightRouteCachePath(false) + "/" + route->id() + ".frd");
    QFile::remove(GcsSettings::getInstance()->getFlightRouteCachePath(false) + "/index.fridx");
    store()->refreshFromLocal();
    ASSERT_TRUE(waitUntil([&] { return !results.empty(); }));
    testsupport::pumpEvents(500);
    EXPECT_EQ(results, std::vector<int>{5000});
    EXPECT_EQ(downloading.count(), 2);
    EXPECT_EQ(missions()->activeFlightRoute(), nullptr);
    EXPECT_EQ(mvm()->activeVehicle()->teleReqHolds(), 0u);
    EXPECT_EQ(mvm()->activeVehicle()->requestQueue()->pendingCount(), 0);
}

// A vehicle without a route, a download into a new route, a refused basic answer and a verified
// upload: each ends with what it really did.
TEST_F(MissionTransfer, DownloadsAndVerifiedUploadsSayWhatHappened)
{
    SimOptions options;
    options.dlWrongNumber.insert(2);
    ASSERT_NO_FATAL_FAILURE(startAlive(options));
    auto route = makeRoute(3, 5);
    const Records before = records(*route);
    ASSERT_EQ(transfer(false), 0) << "no route on the vehicle is not a failure";
    EXPECT_EQ(missions()->lastDownloadWayPointCount(), 0);
    EXPECT_TRUE(sameBytes(records(*route), before));

    // The read-back of a verified upload meets the wrong-number fault: sent, but not verified.
    ASSERT_EQ(missions()->upload(true), 0);
    ASSERT_TRUE(waitUntil([&] { return !missions()->isTransferring(); }));
    EXPECT_EQ(missions()->lastVerify().state, MavMissionsController::VerifyOutcome::Unverified);
    EXPECT_EQ(missions()->lastVerify().readBackResult, -2003);
    EXPECT_TRUE(sameBytes(simRoute().wayPoints(), before));

    sim->stop();
    sim.reset();
    app = std::make_unique<testsupport::AppHarness>();
    ASSERT_NO_FATAL_FAILURE(startAlive(SimOptions{}));
    route = makeRoute(4, 6);
    std::vector<int> ups;
    QObject::connect(missions(), &MavMissionsController::flightRouteUploadingFinished,
                     [&](auto, int ret) { ups.push_back(ret); });
    ASSERT_EQ(missions()->upload(true), 0);
    ASSERT_TRUE(waitUntil([&] { return !ups.empty(); }));
    EXPECT_EQ(ups, std::vector<int>{0});
    EXPECT_EQ(missions()->lastVerify().state, MavMissionsController::VerifyOutcome::Verified);

    const size_t routes = store()->flightRoutes().size();
    ASSERT_EQ(missions()->download(true), 0);
    ASSERT_TRUE(waitUntil([&] { return !missions()->isTransferring(); }));
    const auto created = missions()->lastNewRoute();
    ASSERT_NE(created, nullptr);
    EXPECT_EQ(store()->flightRoutes().size(), routes + 1);
    EXPECT_EQ(missions()->activeFlightRoute(), route) << "the active route stays";
    EXPECT_EQ(created->number(), 6);
    EXPECT_TRUE(sameBytes(records(*created), records(*route)));
}

// The vehicle acknowledges every record as sent but stores one otherwise: a verified upload
// ends -2006 naming the difference, in the basic record as in a waypoint.
TEST_F(MissionTransfer, VerifyFindsWhatTheVehicleStoredOtherwise)
{
    const struct {
        uint8_t altered;
        int wayPoint;
        const char* difference;
    } rows[] = {{0, 0, "the repeat count is 3, 2 was sent"}, {2, 2, "waypoint 2 differs (3 sent, 3 read)"}};
    for (const auto& row : rows) {
        if (sim) {
            sim->stop();
            sim.reset();
            app = std::make_unique<testsupport::AppHarness>();
        }
        SimOptions options;
        options.storeAltered = {row.altered};
        ASSERT_NO_FATAL_FAILURE(startAlive(options));
        makeRoute(3);
        testsupport::LogCapture::instance().clear();
        ASSERT_EQ(transfer(true, 15000, true), MavMissionsController::kResultVerifyMismatch) << int(row.altered);
        const auto& verify = missions()->lastVerify();
        EXPECT_EQ(verify.state, MavMissionsController::VerifyOutcome::Differs);
        EXPECT_EQ(verify.firstDifferentWayPoint, row.wayPoint);
        EXPECT_EQ(testsupport::LogCapture::instance().countContaining(
                      spdlog::level::warn, std::string("upload differs from the vehicle's copy: ") + row.difference),
                  1);
    }
}

// A refused basic answer ends the download with its result and both flag changes.
TEST_F(MissionTransfer, RefusedBasicAnswerEndsTheDownloadVisibly)
{
    SimOptions options;
    options.ackResults[0x40] = 4;
    ASSERT_NO_FATAL_FAILURE(startAlive(options));
    makeRoute(2);
    QSignalSpy downloading(missions(), &MavMissionsController::isDownloadingChanged);
    EXPECT_EQ(transfer(false), 4);
    EXPECT_EQ(downloading.count(), 2);
}

// A vehicle in its bootloader takes no transfer and no command; a transfer whose link closes
// says so (-2102) instead of reading as a vehicle that stopped answering.
TEST_F(MissionTransfer, FirmwareUpdateAndClosedLinkEndTransfersWithTheirOwnReason)
{
    ASSERT_NO_FATAL_FAILURE(startAlive(SimOptions{}));
    makeRoute(255);
    auto vehicle = mvm()->activeVehicle();
    std::vector<int> takeoffs;
    QObject::connect(vehicle.get(), &VehicleController::takeoffResp, [&](int ret) { takeoffs.push_back(ret); });
    vehicle->setFirmwareUpdating(true);
    EXPECT_EQ(missions()->upload(), 6);
    EXPECT_EQ(missions()->download(), 6);
    vehicle->takeoff(20, 3);
    EXPECT_EQ(takeoffs, std::vector<int>{-2010});
    EXPECT_EQ(vehicle->requestQueue()->pendingCount(), 0);
    vehicle->setFirmwareUpdating(false);

    std::vector<int> results;
    QObject::connect(missions(), &MavMissionsController::flightRouteUploadingFinished,
                     [&](auto, int ret) { results.push_back(ret); });
    ASSERT_EQ(missions()->upload(), 0);
    app->ctrl->disconnectFromActiveLinkMgr();
    ASSERT_TRUE(waitUntil([&] { return !results.empty(); }));
    testsupport::pumpEvents(300);
    EXPECT_EQ(results, std::vector<int>{-2102});
}
