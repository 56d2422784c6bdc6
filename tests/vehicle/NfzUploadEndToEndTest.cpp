// No-fly-zone uploads and manual binds from the station's zone controller to the simulator
// over loopback UDP: what the vehicle stores, a refused zone stopping the chain, and the active
// vehicle changing or joining during an upload.
#include "StationWithSim.h"

#include "SimVehicle.h"
#include "SimVehicleNfz.h"
#include "automation/GcsCliCommandRouter.h"
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

using testsupport::waitUntil;

namespace {

// Zone 1: 300 vertices on a jagged ring (not a circle, or it would go as its box); zone 2: a
// circle; zone 3: a circle of radius 0; zones 10..29: triangles.
QByteArray zoneDocument()
{
    nlohmann::json doc = nlohmann::json::array();
    nlohmann::json ring = nlohmann::json::array();
    for (int i = 0; i < 300; ++i) {
        const double a = 2 * M_PI * i / 300, r = (i % 2 ? 0.01 : 0.02);
        ring.push_back({22.5 + r * std::sin(a), 113.9 + r * std::cos(a)});
    }
    doc.push_back({{"id", 1}, {"type", "polygon"}, {"points", ring}});
    doc.push_back({{"id", 2}, {"type", "circle"}, {"center", {22.6, 114.0}}, {"radius", 500}});
    doc.push_back({{"id", 3}, {"type", "circle"}, {"center", {22.6, 114.0}}, {"radius", 0}});
    for (int id = 10; id < 30; ++id)
        doc.push_back({{"id", id}, {"type", "polygon"}, {"points", {{1.0 * id, 2}, {1.0 * id, 3}, {id + 0.5, 3}}}});
    return QByteArray::fromStdString(doc.dump());
}

class NfzUpload : public StationWithSim {
protected:
    NfzVehicleController* nfz() const { return app->ctrl->nfzVehicleController().get(); }
    const SimVehicleNfz& simNfz() const { return sim->vehicle(1)->nfz(); }

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
    ASSERT_EQ(nfz()->uploadZonesByIds({1, 2}), 0);
    ASSERT_EQ(outcome(), 0);
    ASSERT_EQ(simNfz().zones().size(), 2u);
    const auto ring = app->ctrl->nfzZoneManager()->findById(1)->points;
    const auto& sent = simNfz().zones()[0];
    ASSERT_EQ(sent.size(), 255u) << "the first 255 of 300 vertices";
    for (size_t i = 0; i < sent.size(); ++i)
        EXPECT_TRUE(sent[i].lat == ring[i].lat && sent[i].lon == ring[i].lon) << i;
    double minLat = 0, minLon = 0, maxLat = 0, maxLon = 0;
    ASSERT_TRUE(nfzgeo::bboxFromCircle(22.6, 114.0, 500, minLat, minLon, maxLat, maxLon));
    const double corners[4][2] = {{minLat, minLon}, {minLat, maxLon}, {maxLat, maxLon}, {maxLat, minLon}};
    const auto& circle = simNfz().zones()[1];
    ASSERT_EQ(circle.size(), 4u) << "a circle goes as the four corners of its box";
    for (size_t i = 0; i < 4; ++i)
        EXPECT_TRUE(std::abs(circle[i].lat - corners[i][0]) < 1e-9 && std::abs(circle[i].lon - corners[i][1]) < 1e-9)
            << i;
    EXPECT_EQ(simNfz().vertexCount(), 259);
    EXPECT_FALSE(simNfz().updateTime().isEmpty());

    const std::array<MavProtoNfzVertex_t, 4> drawn{{{1, 2}, {3, 4}, {5, 6}, {7, 8}}};
    ASSERT_EQ(nfz()->bindManualZone(drawn), 0);
    ASSERT_EQ(outcome(), 0);
    ASSERT_TRUE(simNfz().manual());
    for (size_t i = 0; i < 4; ++i)
        EXPECT_TRUE((*simNfz().manual())[i].lat == drawn[i].lat && (*simNfz().manual())[i].lon == drawn[i].lon) << i;
}

// Refused starts send nothing; a second session waits for the first.
TEST_F(NfzUpload, StartsAreRefusedWithTheirCodes)
{
    ASSERT_NO_FATAL_FAILURE(start());
    EXPECT_EQ(nfz()->uploadZonesByIds({}), 3);
    EXPECT_EQ(nfz()->uploadZonesByIds({10, 99}), 4) << "one unknown id";
    EXPECT_EQ(nfz()->uploadZonesByIds({3}), 5) << "a circle of radius 0";
    EXPECT_FALSE(nfz()->isTransferring());
    ASSERT_EQ(nfz()->uploadZonesByIds({10}), 0);
    EXPECT_EQ(nfz()->bindManualZone({}), 2);
    EXPECT_EQ(outcome(), 0);
    EXPECT_EQ(simNfz().zoneFramesReceived(), 1);
}

// A zone answered 0 with a non-zero status word ends the upload with that word; no further zone
// frame leaves and nothing is stored. A zone answered with a result ends it with that result.
TEST_F(NfzUpload, RefusedZoneStopsTheChain)
{
    SimOptions options;
    options.nfzStatusWords[1] = 0x0203;
    ASSERT_NO_FATAL_FAILURE(start(options));
    ASSERT_EQ(nfz()->uploadZonesByIds(manyZones()), 0);
    EXPECT_EQ(outcome(), 0x0203);
    testsupport::pumpEvents(500);
    EXPECT_EQ(simNfz().zoneFramesReceived(), 2);
    EXPECT_TRUE(simNfz().zones().empty());
}

// At 30 % loss each way an upload of 20 zones may fail (a request's resends all lost) but ends
// with one finish signal; a success leaves the whole set on the vehicle. One upload per seed
// keeps each case well inside the per-case limit.
class LossyNfzUpload : public NfzUpload, public ::testing::WithParamInterface<quint64> {};

TEST_P(LossyNfzUpload, EveryUploadEndsOnce)
{
    SimOptions options;
    options.loss = 0.3;
    options.seed = GetParam();
    ASSERT_NO_FATAL_FAILURE(start(options, 15000));
    ASSERT_EQ(nfz()->uploadZonesByIds(manyZones()), 0);
    const int ret = outcome(100000);
    EXPECT_NE(ret, INT_MIN);
    if (ret == 0) {
        EXPECT_EQ(simNfz().zones().size(), 20u);
        EXPECT_EQ(simNfz().vertexCount(), 60);
    }
}

INSTANTIATE_TEST_SUITE_P(Loss, LossyNfzUpload, ::testing::Range<quint64>(1, 3));
INSTANTIATE_TEST_SUITE_P(SoakLoss, LossyNfzUpload, ::testing::Range<quint64>(3, 11));

TEST_F(NfzUpload, ActiveVehicleChangesDuringAnUpload)
{
    ASSERT_NO_FATAL_FAILURE(start());
    auto first = mvm()->activeVehicle();
    auto udp = LinkManagerFactory::getInstance().activeLinkMgr()->udpSocketLink();
    // A vehicle that joins mid-upload becomes active once the upload has completed.
    ASSERT_EQ(nfz()->uploadZonesByIds(manyZones()), 0);
    mvm()->processMavHeartbeatFrame(7, udp, QStringLiteral("127.0.0.1:9"));
    ASSERT_TRUE(mvm()->hasVehicle(7));
    EXPECT_EQ(mvm()->activeVehicle(), first);
    EXPECT_EQ(outcome(), 0);
    EXPECT_EQ(simNfz().zones().size(), 20u);
    EXPECT_EQ(mvm()->activeVehicle()->vehicleId(), 7);
    // The active vehicle removed mid-upload ends it with -2102, once.
    mvm()->setActiveVevhile(first);
    ASSERT_EQ(nfz()->uploadZonesByIds(manyZones()), 0);
    mvm()->removeLocalVehicle(first);
    EXPECT_EQ(outcome(), NfzVehicleController::kResultVehicleChanged);
}

// The CLI methods: bad input gets its text, an accepted upload holds the active vehicle and
// shows in nfz.status once it ends.
TEST_F(NfzUpload, CliMethodsRefuseBadInputAndReportTransfers)
{
    ASSERT_NO_FATAL_FAILURE(start());
    GcsCliOutcomeRecorder outcomes(gcsApp());
    auto call = [&](const std::string& method, nlohmann::json params) {
        return GcsCliCommandRouter::dispatch({gcsApp(), &outcomes}, {{"method", method}, {"params", params}});
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
        {"nfz.import", {{"path", "zones.json"}}, "path must be absolute"},
    };
    for (const auto& row : rows) {
        const auto r = call(row.method, row.params);
        EXPECT_EQ(r["code"], "InvalidArgs") << r.dump();
        EXPECT_EQ(r["message"], row.message) << r.dump();
    }
    const auto started = call("nfz.upload", {{"zoneIds", {10, 11}}});
    ASSERT_EQ(started["ok"], true) << started.dump();
    const auto setActive = call("vehicle.setActive", {{"vehicleId", 1}});
    EXPECT_EQ(setActive["message"], "A no-fly-zone transfer is already running") << setActive.dump();
    EXPECT_EQ(call("nfz.bindManual", {{"vertices", square}})["message"], "A no-fly-zone transfer is already running");
    ASSERT_EQ(outcome(), 0);
    const auto statusReply = call("nfz.status", nlohmann::json::object());
    const auto status = statusReply["data"];
    ASSERT_EQ(statusReply["ok"], true) << statusReply.dump();
    EXPECT_EQ(status["transferring"], false);
    EXPECT_EQ(status["zoneCount"], 23);
    EXPECT_EQ(status["lastTransfer"],
              nlohmann::json({{"kind", "upload"}, {"ok", true}, {"ret", 0}, {"zoneIds", {10, 11}}, {"vehicleId", 1},
                              {"requestId", started["data"]["requestId"]}}));
}
