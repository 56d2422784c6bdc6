// No-fly-zone uploads and manual binds from the station's zone controller to the simulator
// over loopback UDP: what the vehicle stores, a refused zone stopping the chain, and the
// operator selecting other vehicles, or the vehicle leaving, during an upload.
#include "StationWithSim.h"

#include "SimVehicle.h"
#include "SimVehicleNfz.h"
#include "automation/GcsCliCommandRouter.h"
#include "cloud/MyVehicleController.h"
#include "automation/GcsCliNfzOutcomes.h"
#include "automation/GcsCliOutcomeRecorder.h"
#include "automation/GcsCliServiceContext.h"
#include "link/LinkManager.h"
#include "link/LinkManagerFactory.h"
#include "nfz/NfzVehicleController.h"

#include "NfzZoneManager.h"
#include "nfzgeo.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <tuple>

using testsupport::waitUntil;

namespace {

// n vertices alternately 0.02 and 0.01 degree from (lat, lon): simple, not a circle.
nlohmann::json star(int n, double lat, double lon)
{
    nlohmann::json ring = nlohmann::json::array();
    for (int i = 0; i < n; ++i) {
        const double a = 2 * M_PI * i / n, r = (i % 2 ? 0.01 : 0.02);
        ring.push_back({lat + r * std::sin(a), lon + r * std::cos(a)});
    }
    return ring;
}

// Zone 1: a 256-vertex star (its hull: the 128 outer vertices); 2: a circle; 3: radius 0; 4: 300
// vertices on an ellipse, ten of them dented inwards (hull of 290); 5..8 cannot be sent; 10..29:
// triangles.
QByteArray zoneDocument()
{
    nlohmann::json doc = nlohmann::json::array();
    doc.push_back({{"id", 1}, {"type", "polygon"}, {"points", star(256, 22.5, 113.9)}});
    doc.push_back({{"id", 2}, {"type", "circle"}, {"center", {22.6, 114.0}}, {"radius", 500}});
    doc.push_back({{"id", 3}, {"type", "circle"}, {"center", {22.6, 114.0}}, {"radius", 0}});
    nlohmann::json ellipse = nlohmann::json::array();
    for (double i = 0, k = 0.5; i < 300; ++i, k = (int(i) % 30 ? 1.0 : 0.5))
        ellipse.push_back(
            {22.7 + k * 0.01 * std::sin(2 * M_PI * i / 300), 113.9 + k * 0.02 * std::cos(2 * M_PI * i / 300)});
    doc.push_back({{"id", 4}, {"type", "polygon"}, {"points", ellipse}});
    doc.push_back({{"id", 5}, {"type", "polygon"}, {"points", {{1, 2}, {1, 2}, {1, 3}}}});
    doc.push_back({{"id", 6}, {"type", "polygon"}, {"points", {{1, 2}, {2, 3}, {1, 3}, {2, 2}}}});
    doc.push_back({{"id", 7}, {"type", "polygon"}, {"points", {{10, 179.5}, {10, -179.5}, {11, -179.5}, {11, 179.5}}}});
    doc.push_back({{"id", 8}, {"type", "circle"}, {"center", {10, 179.99}}, {"radius", 5000}});
    for (int id = 10; id < 30; ++id)
        doc.push_back({{"id", id}, {"type", "polygon"}, {"points", {{1.0 * id, 2}, {1.0 * id, 3}, {id + 0.5, 3}}}});
    return QByteArray::fromStdString(doc.dump());
}

class NfzUpload : public StationWithSim {
protected:
    NfzVehicleController* nfz() const { return app->ctrl->nfzVehicleController().get(); }
    const SimVehicleNfz& simNfz() const { return sim->vehicle(1)->nfz(); }
    // Sessions go to vehicle 1, the simulator's, whichever vehicle the operator has selected.
    int upload(std::vector<int64_t> ids) { return nfz()->uploadZonesByIds(mvm()->findVehicleControllerById(1), ids); }
    int bind(const std::array<MavProtoNfzVertex_t, 4>& corners)
    {
        return nfz()->bindManualZone(mvm()->findVehicleControllerById(1), corners);
    }

    void start(SimOptions options = {}, int timeoutMs = 5000)
    {
        ASSERT_NO_FATAL_FAILURE(startAlive(options, 1, timeoutMs));
        ASSERT_TRUE(app->ctrl->nfzZoneManager()->reloadFromJsonUtf8(zoneDocument()));
        QObject::connect(nfz(), &NfzVehicleController::uploadFinished,
                         [this](bool, int ret, std::vector<int64_t>) { results.push_back(ret); });
        QObject::connect(nfz(), &NfzVehicleController::manualBindFinished,
                         [this](bool, int ret) { results.push_back(ret); });
    }
    // The one result of a session already started; INT_MIN when none came.
    int outcome(int timeoutMs = 30000)
    {
        const bool ended = waitUntil([&] { return !results.empty(); }, timeoutMs);
        testsupport::pumpEvents(100);
        EXPECT_EQ(results.size(), ended ? 1u : 0u) << "one finish signal per session";
        EXPECT_FALSE(nfz()->isTransferring());
        const int ret = ended ? results.front() : INT_MIN;
        results.clear();
        return ret;
    }
    std::vector<int64_t> manyZones() const
    {
        std::vector<int64_t> ids;
        for (int id = 10; id < 30; ++id)
            ids.push_back(id);
        return ids;
    }

    std::vector<int> results;
};

}  // namespace

TEST_F(NfzUpload, VehicleStoresWhatWasSent)
{
    ASSERT_NO_FATAL_FAILURE(start());
    QSignalSpy enlarged(nfz(), &NfzVehicleController::zonesEnlarged);
    QSignalSpy progress(nfz(), &NfzVehicleController::transferProgress);
    ASSERT_EQ(upload({1, 2, 4, 10}), 0);
    ASSERT_EQ(outcome(), 0);
    ASSERT_EQ(simNfz().zones().size(), 4u);
    const auto& hull = simNfz().zones()[0];
    ASSERT_EQ(hull.size(), 128u) << "256 vertices go as their hull";
    for (const auto& v : hull)
        EXPECT_NEAR(std::hypot(v.lat - 22.5, v.lon - 113.9), 0.02, 1e-9) << "an outer vertex";
    const auto ellipse = *app->ctrl->nfzZoneManager()->findById(4);
    double box[2][4] = {{0, 0, 0, 0}, {ellipse.minLat, ellipse.minLon, ellipse.maxLat, ellipse.maxLon}};
    ASSERT_TRUE(nfzgeo::bboxFromCircle(22.6, 114.0, 500, box[0][0], box[0][1], box[0][2], box[0][3]));
    for (size_t z = 0; z < 2; ++z) {  // a circle, and a hull of 290: the corners of their box
        const auto& got = simNfz().zones()[z + 1];
        ASSERT_EQ(got.size(), 4u);
        for (size_t i = 0; i < 4; ++i)
            EXPECT_TRUE(std::abs(got[i].lat - box[z][i < 2 ? 0 : 2]) < 1e-9 &&
                        std::abs(got[i].lon - box[z][i == 1 || i == 2 ? 3 : 1]) < 1e-9)
                << z << i;
    }
    EXPECT_EQ(simNfz().zones()[3].size(), 3u);
    EXPECT_EQ(simNfz().vertexCount(), 128 + 4 + 4 + 3);
    ASSERT_EQ(enlarged.count(), 1);
    EXPECT_EQ(enlarged.at(0).at(0).value<std::vector<int64_t>>(), (std::vector<int64_t>{1, 2, 4}));
    std::vector<int> steps;
    for (const auto& p : progress)
        steps.push_back(p.at(0).toInt());
    EXPECT_EQ(steps, (std::vector<int>{0, 20, 40, 60, 80, 100})) << "a step per zone, then the update time";

    const std::array<MavProtoNfzVertex_t, 4> drawn{{{1, 2}, {1, 3}, {2, 3}, {2, 2}}};
    ASSERT_EQ(bind(drawn), 0);
    ASSERT_EQ(outcome(), 0);
    ASSERT_TRUE(simNfz().manual());
    for (size_t i = 0; i < 4; ++i)
        EXPECT_TRUE((*simNfz().manual())[i].lat == drawn[i].lat && (*simNfz().manual())[i].lon == drawn[i].lon) << i;
}

// Zones and corners that cannot be sent are refused by name before anything leaves, as is a
// vehicle in its bootloader; a second session waits for the first.
TEST_F(NfzUpload, BadZonesAreRefusedWithTheirReason)
{
    ASSERT_NO_FATAL_FAILURE(start());
    using Corners = std::array<MavProtoNfzVertex_t, 4>;
    const std::string meridian = ": crosses the 180th meridian; split it there";
    const struct {
        std::vector<int64_t> ids;  // empty: a manual bind of `corners`, unless those are empty too
        Corners corners;
        int code;
        std::string why;
    } rows[] = {
        {{}, {}, 3, "zone upload: no zone ids"},
        {{10, 5}, {}, 5, "zone 5: fewer than 3 distinct vertices"},
        {{6}, {}, 5, "zone 6: self-intersecting polygon"},
        {{3}, {}, 5, "zone 3: a circle needs a positive radius"},
        {{7}, {}, 5, "zone 7" + meridian},
        {{8}, {}, 5, "zone 8" + meridian},
        {{10, 11, 10}, {}, 5, "zone 10 is listed twice"},
        {{99}, {}, 4, "zone 99 is not in the zone set"},
        {{},
         {{{1, 2}, {1, 3}, {1, 4}, {2, 2}}},
         5,
         "manual zone: the vertices, in order, must trace a simple quadrilateral"},
        {{}, {{{1, 2}, {1, 2}, {2, 3}, {2, 2}}}, 5, "manual zone: the four vertices must be distinct"},
        {{}, {{{1, 2}, {1, 3}, {91, 3}, {2, 2}}}, 5, "manual zone: vertex 3 latitude must be a number in [-90, 90]"},
        {{}, {{{1, 179.5}, {1, -179.5}, {2, -179.5}, {2, 179.5}}}, 5, "manual zone" + meridian},
    };
    for (const auto& row : rows) {
        const bool manual = row.ids.empty() && row.corners[0].lat != 0;
        EXPECT_EQ(manual ? bind(row.corners) : upload(row.ids), row.code) << row.why;
        EXPECT_EQ(nfz()->lastRefusal().toStdString(), row.why);
    }
    mvm()->activeVehicle()->setFirmwareUpdating(true);
    EXPECT_EQ(upload({10}), 6);
    EXPECT_EQ(bind({{{1, 2}, {1, 3}, {2, 3}, {2, 2}}}), 6);
    EXPECT_EQ(nfz()->lastRefusal(), "manual zone bind: vehicle 1 is updating its firmware");
    mvm()->activeVehicle()->setFirmwareUpdating(false);
    ASSERT_EQ(upload({10}), 0);
    EXPECT_EQ(bind({{{1, 2}, {1, 3}, {2, 3}, {2, 2}}}), 2);
    EXPECT_EQ(outcome(), 0);
    EXPECT_TRUE(simNfz().zoneFramesReceived() == 1 && !simNfz().manual()) << "only the last upload was sent";
}

// 257 zones of 255 vertices make 65535, the most an upload can announce; one zone more is refused.
TEST_F(NfzUpload, VertexTotalStopsAt65535)
{
    ASSERT_NO_FATAL_FAILURE(start());
    nlohmann::json doc = nlohmann::json::array();
    std::vector<int64_t> ids(258);
    for (int id = 0; id < 258; ids[id] = id, ++id)
        doc.push_back({{"id", id}, {"type", "polygon"}, {"points", star(255, 10 + id * 0.1, 100)}});
    ASSERT_TRUE(app->ctrl->nfzZoneManager()->reloadFromJsonUtf8(QByteArray::fromStdString(doc.dump())));
    EXPECT_EQ(upload(ids), 5);
    EXPECT_EQ(nfz()->lastRefusal(), "zone upload: 258 zones hold 65790 vertices as sent, at most 65535 fit");
    ids.pop_back();
    ASSERT_EQ(upload(ids), 0);
    EXPECT_EQ(outcome(), 0);
    EXPECT_EQ(simNfz().vertexCount(), 65535);
}

// The vehicle's answer to a zone ends the upload: 0 with a status word (that word), a result
// byte (that result, once the queue's two resends were refused too), silence (5000 once the
// resends are spent). No later zone is sent and nothing is stored.
class VehicleAnswers : public NfzUpload, public ::testing::WithParamInterface<int> { };

TEST_P(VehicleAnswers, EndTheUploadAtTheZone)
{
    SimOptions statusWord, result, silent;
    statusWord.nfzStatusWords[1] = 0x0203;
    result.nfzRejectZones[1] = 7;
    silent.noReply = {MavCmd::NfzZone};
    const struct {
        SimOptions options;
        int ret;
        int zoneFramesHandled;
    } rows[] = {{statusWord, 0x0203, 2}, {result, 7, 4}, {silent, NfzVehicleController::kResultTimeout, 0}};
    const auto& row = rows[GetParam()];
    ASSERT_NO_FATAL_FAILURE(start(row.options));
    ASSERT_EQ(upload(manyZones()), 0);
    EXPECT_EQ(outcome(), row.ret);
    testsupport::pumpEvents(500);
    EXPECT_EQ(simNfz().zoneFramesReceived(), row.zoneFramesHandled);
    EXPECT_TRUE(simNfz().zones().empty());
}

INSTANTIATE_TEST_SUITE_P(Rows, VehicleAnswers, ::testing::Range(0, 2));
// The silent vehicle waits out three 2 s sends: with the soak runs.
INSTANTIATE_TEST_SUITE_P(SoakRows, VehicleAnswers, ::testing::Values(2));

// At 30 % loss each way an upload may fail (a request's resends all lost) but ends with one
// finish signal; a success leaves the whole set on the vehicle. One upload per seed keeps each
// case well inside the per-case limit: 8 zones in the default run, 20 in the soak cases.
struct NfzLossCase {
    quint64 seed;
    size_t zones;
};

class LossyNfzUpload : public NfzUpload, public ::testing::WithParamInterface<NfzLossCase> { };

TEST_P(LossyNfzUpload, EveryUploadEndsOnce)
{
    SimOptions options;
    options.loss = 0.3;
    options.seed = GetParam().seed;
    ASSERT_NO_FATAL_FAILURE(start(options, 15000));
    auto ids = manyZones();
    ids.resize(GetParam().zones);
    ASSERT_EQ(upload(ids), 0);
    const int ret = outcome(100000);
    EXPECT_NE(ret, INT_MIN);
    if (ret == 0) {
        EXPECT_EQ(simNfz().zones().size(), ids.size());
        EXPECT_EQ(simNfz().vertexCount(), int(ids.size()) * 3);
    }
}

auto nfzLossName = [](const auto& info) {
    return "Seed" + std::to_string(info.param.seed) + "Zones" + std::to_string(info.param.zones);
};
// One seed in the default run; the slower one with the soak runs (it takes longest).
INSTANTIATE_TEST_SUITE_P(SoakLossSecond, LossyNfzUpload, ::testing::Values(NfzLossCase{2, 8}), nfzLossName);
INSTANTIATE_TEST_SUITE_P(SoakLossFirst, LossyNfzUpload, ::testing::Values(NfzLossCase{1, 8}), nfzLossName);
INSTANTIATE_TEST_SUITE_P(SoakLoss, LossyNfzUpload,
                         ::testing::Values(NfzLossCase{3, 20}, NfzLossCase{4, 20}, NfzLossCase{5, 20},
                                           NfzLossCase{6, 20}, NfzLossCase{7, 20}, NfzLossCase{8, 20},
                                           NfzLossCase{9, 20}, NfzLossCase{10, 20}),
                         nfzLossName);

// An upload keeps to its vehicle: another vehicle joining, the operator selecting it or a
// remote vehicle, change nothing; the vehicle removed mid-upload ends it with -2102, once.
TEST_F(NfzUpload, AnUploadKeepsToItsVehicleWhateverTheOperatorSelects)
{
    ASSERT_NO_FATAL_FAILURE(start());
    auto first = mvm()->activeVehicle();
    auto udp = LinkManagerFactory::getInstance().activeLinkMgr()->udpSocketLink();
    ASSERT_EQ(upload(manyZones()), 0);
    mvm()->processMavHeartbeatFrame(7, udp, QStringLiteral("127.0.0.1:9"));
    ASSERT_TRUE(mvm()->hasVehicle(7));
    mvm()->setActiveVevhile(mvm()->findVehicleControllerById(7));
    app->ctrl->myVehicleCtrler()->activateRemoteMonitor("RV-1");
    EXPECT_EQ(outcome(), 0);
    EXPECT_EQ(simNfz().zones().size(), 20u);
    EXPECT_NE(mvm()->activeVehicle(), first) << "the operator's selection stays theirs";
    ASSERT_EQ(upload(manyZones()), 0);
    mvm()->removeLocalVehicle(first);
    EXPECT_EQ(outcome(), NfzVehicleController::kResultVehicleChanged);
}

// The CLI methods: bad input gets its text, an upload goes to the vehicle named (the active one
// by default), the operator may select another meanwhile, and nfz.status shows it once it ends.
TEST_F(NfzUpload, CliMethodsRefuseBadInputAndReportTransfers)
{
    ASSERT_NO_FATAL_FAILURE(start());
    GcsCliOutcomeRecorder outcomes(app->ctrl);
    auto call = [&](const std::string& method, nlohmann::json params) {
        return GcsCliCommandRouter::dispatch(GcsCliServiceContext{app->ctrl, &outcomes}, {{"method", method}, {"params", params}});
    };
    const nlohmann::json square = {{1, 2}, {1, 3}, {2, 3}, {2, 2}};
    const struct {
        const char* method;
        nlohmann::json params;
        const char* message;
    } rows[] = {
        {"nfz.upload", {{"zoneIds", nlohmann::json::array()}}, "zoneIds must not be empty"},
        {"nfz.upload", {{"zoneIds", {10, 99}}}, "Unknown zone id: 99"},
        {"nfz.bindManual", {{"vertices", {{1, 2}}}}, "vertices must be an array of 4 [lat, lon] pairs"},
        {"nfz.bindManual", {{"vertices", {{1, 2}, {1, 3}, {91, 3}, {2, 2}}}}, "lat must be in [-90, 90] degrees"},
        {"nfz.upload", {{"zoneIds", {10, 6}}}, "zone 6: self-intersecting polygon"},
        {"nfz.import", {{"path", "zones.json"}}, "path must be absolute"},
        {"nfz.upload", {{"vehicleCode", 3}}, "vehicleCode must be a string"},
    };
    for (const auto& row : rows) {
        const auto r = call(row.method, row.params);
        EXPECT_EQ(r["code"], "InvalidArgs") << r.dump();
        EXPECT_EQ(r["message"], row.message) << r.dump();
    }
    EXPECT_EQ(call("nfz.upload", {{"vehicleId", 9}})["message"], "No vehicle 9; known: 1");
    const auto started = call("nfz.upload", {{"zoneIds", {1, 10}}, {"vehicleId", 1}});
    ASSERT_EQ(started["ok"], true) << started.dump();
    EXPECT_EQ(started["data"]["enlargedZoneIds"], nlohmann::json({1}));
    auto udp = LinkManagerFactory::getInstance().activeLinkMgr()->udpSocketLink();
    mvm()->processMavHeartbeatFrame(7, udp, QStringLiteral("127.0.0.1:9"));
    const auto setActive = call("vehicle.setActive", {{"vehicleId", 7}});
    EXPECT_EQ(setActive["ok"], true) << setActive.dump();
    EXPECT_EQ(call("nfz.bindManual", {{"vertices", square}, {"vehicleId", 1}})["message"],
              "A no-fly-zone transfer is already running");
    ASSERT_EQ(outcome(), 0);
    const auto statusReply = call("nfz.status", nlohmann::json::object());
    const auto status = statusReply["data"];
    ASSERT_EQ(statusReply["ok"], true) << statusReply.dump();
    EXPECT_EQ(status["transferring"], false);
    EXPECT_EQ(status["zoneCount"], 28);
    EXPECT_EQ(status["lastTransfer"], nlohmann::json({{"kind", "upload"},
                                                      {"ok", true},
                                                      {"ret", 0},
                                                      {"zoneIds", {1, 10}},
                                                      {"vehicleId", 1},
                                                      {"requestId", started["data"]["requestId"]},
                                                      {"enlargedZoneIds", {1}}}));
}

// The vehicle never answers the commit (the update time) and is removed meanwhile: the upload
// ends -2102 and the commit's resends stop there, so the vehicle never commits a set the station
// reported as failed.
TEST_F(NfzUpload, AnEarlyEndCancelsTheQueuedCommit)
{
    SimOptions options;
    options.count = 2;
    options.noReply = {MavCmd::NfzUpdateTime};
    ASSERT_NO_FATAL_FAILURE(startAlive(options, 2));
    ASSERT_TRUE(app->ctrl->nfzZoneManager()->reloadFromJsonUtf8(zoneDocument()));
    QObject::connect(nfz(), &NfzVehicleController::uploadFinished,
                     [this](bool, int ret, std::vector<int64_t>) { results.push_back(ret); });
    const auto& commits = sim->vehicle(1)->counters().byCommand[MavCmd::NfzUpdateTime];
    ASSERT_EQ(upload({10, 11}), 0);
    ASSERT_TRUE(waitUntil([&] { return commits == 1; }, 5000));
    mvm()->removeLocalVehicle(mvm()->findVehicleControllerById(1));
    EXPECT_EQ(outcome(), NfzVehicleController::kResultVehicleChanged);
    testsupport::pumpEvents(int(NfzVehicleController::kRequestTimeoutMs) + 500);  // past the first resend
    EXPECT_EQ(commits, 1u) << "a resend of the commit reached the old vehicle";
}
