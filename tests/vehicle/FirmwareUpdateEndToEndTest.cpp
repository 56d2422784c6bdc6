// Firmware updates between a vehicle's firmware controller and the simulator over loopback UDP:
// images stored exactly and the new version read back, each fault's result, start refusals
// (image, checksum, flight state) and force, stray and early final acks, a file changed
// mid-update, link cycles, and lossy links.

#include "StationWithSim.h"

#include "SimVehicle.h"
#include "SimVehicleFirmware.h"
#include "firmware/FirmwareUpdateController.h"
#include "link/LinkManager.h"
#include "link/LinkManagerFactory.h"
#include "params/MavBasicParamsDataItem.h"
#include "params/MavParamsController.h"
#include "telemetry/MavFlightStatusDataItem.h"
#include "telemetry/MavTelemetryController.h"

#include "MavProtoFirmwareProcesser.h"

#include <QCryptographicHash>
#include <QFile>
#include <QRandomGenerator>
#include <QSignalSpy>

#include <gtest/gtest.h>

using testsupport::waitUntil;
using Result = FirmwareEnums::UpdateResult;
using Step = FirmwareEnums::UpdateStep;
using Startup = FirmwareEnums::UpdateStartupResult;

namespace {

class FirmwareUpdate : public StationWithSim {
protected:
    VehicleControllerPtr vehicle() const { return mvm()->activeVehicle(); }

    // An image the simulator verifies, `size` bytes in all.
    QString writeImage(qsizetype size, const QString& version = "V2.2.0", quint32 seed = 1)
    {
        QByteArray body(size - 14, Qt::Uninitialized);
        QRandomGenerator random(seed);
        for (auto& c : body)
            c = char(random.bounded(256));
        image = SimVehicleFirmware::makeImage(version, body);
        const QString path = testsupport::makeTempDir("fw") + "/image.bin";
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.write(image) == image.size());
        return path;
    }

    // A controller judges the vehicle from flight status records it saw itself.
    void awaitFlightStatus()
    {
        QSignalSpy records(vehicle()->teleCtrler()->flightStatusDataItem().get(), &MavTeleBaseDataItem::dataChanged);
        EXPECT_TRUE(waitUntil([&] { return records.count() > 0; }, 5000));
    }

    // Runs one update to its end; exactly one finish signal. Records the last data progress and
    // whether polling was held while the data went out.
    Result run(FirmwareUpdateController& ctrl, const QString& path, uint infoTimeoutMs = 10000, int timeoutMs = 60000,
               uint resetTimeoutMs = 1000, bool force = false)
    {
        std::vector<Result> results;
        auto finished =
            QObject::connect(&ctrl, &FirmwareUpdateController::updateFinished, [&](Result r) { results.push_back(r); });
        auto progress = QObject::connect(
            &ctrl, &FirmwareUpdateController::updateStepAndProgressChanged, [&](Step step, int done, int) {
                if (step != Step::UploadingData)
                    return;
                lastAcked = done;
                heldDuring = heldDuring && vehicle()->teleReqHolds() != 0 && !vehicle()->teleCtrler()->teleReqEnabled();
            });
        lastAcked = -1;
        heldDuring = true;
        awaitFlightStatus();
        EXPECT_EQ(ctrl.updateFirmware(path, infoTimeoutMs, resetTimeoutMs, force), Startup::Ok);
        EXPECT_TRUE(waitUntil([&] { return !results.empty(); }, timeoutMs));
        testsupport::pumpEvents(100);
        QObject::disconnect(finished);
        QObject::disconnect(progress);
        EXPECT_EQ(results.size(), 1u);
        EXPECT_EQ(vehicle()->teleReqHolds(), 0u);
        EXPECT_FALSE(vehicle()->firmwareUpdating());
        EXPECT_TRUE(vehicle()->teleCtrler()->teleReqEnabled()) << "polling resumes after the update";
        return results.empty() ? Result::FailedBusy : results.front();
    }

    const SimVehicleFirmware& simFirmware() const { return sim->vehicle(1)->firmware(); }

    QByteArray image;
    int lastAcked = -1;
    bool heldDuring = true;
};

}  // namespace

TEST_F(FirmwareUpdate, ImagesAreStoredExactlyAndTheNewVersionIsReadBack)
{
    SimOptions options;
    options.rebootMs = 300;
    ASSERT_NO_FATAL_FAILURE(startAlive(options));
    const std::pair<qsizetype, QString> rows[] = {{1024, "V2.2.0"}, {1025, "V2.2.1"}, {100 * 1024, "V2.3.0"}};
    for (const auto& [size, version] : rows) {
        const QString path = writeImage(size, version);
        ASSERT_EQ(run(*vehicle()->firmwareUpdateCtrler(), path), Result::Success) << size;
        EXPECT_TRUE(heldDuring) << size;
        EXPECT_EQ(lastAcked, int(MavProtoFirmwareProcesser::frameCount(uint32_t(size)))) << size;
        EXPECT_EQ(simFirmware().image(), image) << size;
        // The vehicle installs the image after its final acks, then restarts.
        ASSERT_TRUE(waitUntil([&] { return simFirmware().version() == version; }, 10000)) << size;
        auto basic = vehicle()->paramsCtrler()->basicParamsDataItem();
        EXPECT_TRUE(waitUntil(
            [&] {
                vehicle()->paramsCtrler()->readBasicParams();
                return waitUntil([&] { return basic->version() == version; }, 500);
            },
            10000))
            << size;
    }
}

namespace {

struct FaultRow {
    const char* name;
    std::function<void(SimOptions&)> fault;
    Result expected;
    int lastAcked;  // -1: no data frame acknowledged
    uint resetTimeoutMs = 1000;
};

class FirmwareFault : public FirmwareUpdate, public ::testing::WithParamInterface<FaultRow> { };

}  // namespace

TEST_P(FirmwareFault, EndsWithItsResult)
{
    SimOptions options;
    options.fwFinalDelayMs = 20;
    GetParam().fault(options);
    ASSERT_NO_FATAL_FAILURE(startAlive(options));
    // Ten ticks of the final-ack wait pass in a second, long after a final ack would have come.
    FirmwareUpdateController ctrl(vehicle(), nullptr, 100);
    EXPECT_EQ(run(ctrl, writeImage(4096), 500, 60000, GetParam().resetTimeoutMs), GetParam().expected);
    EXPECT_EQ(lastAcked, GetParam().lastAcked);
    EXPECT_EQ(ctrl.isRunning(), false);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FirmwareFault,
    ::testing::Values(
        FaultRow{"RejectFrame3", [](SimOptions& o) { o.fwRejectFrame = 3; }, Result::FailedSendFirmDataAckTimeout, 3},
        FaultRow{"NoFinalAck", [](SimOptions& o) { o.fwNoFinalAck = true; }, Result::FailedFinalAckTimeout, 8},
        FaultRow{"Corrupt", [](SimOptions& o) { o.fwCorrupt = true; }, Result::FailedFinalAck, 8},
        FaultRow{"ResetRefused", [](SimOptions& o) { o.ackResults[0xA1] = 4; }, Result::FailedReset, -1},
        // A time-out of 0 would never expire; it is raised to 1000 ms.
        FaultRow{"ResetUnansweredWithTimeout0", [](SimOptions& o) { o.noReply.insert(0xA1); },
                 Result::FailedResetTimeout, -1, 0},
        FaultRow{"EarlyFinalAck", [](SimOptions& o) { o.fwEarlyFinalAck = true; }, Result::Success, 8}),
    [](const auto& info) { return std::string(info.param.name); });
// Other unanswered steps, the same time-out path as the reset row above: with the soak runs.
INSTANTIATE_TEST_SUITE_P(SoakFaults, FirmwareFault,
                         ::testing::Values(FaultRow{"InfoUnanswered", [](SimOptions& o) { o.noReply.insert(0xA2); },
                                                    Result::FailedSendFirmInfoAckTimeout, -1},
                                           FaultRow{"DataUnanswered", [](SimOptions& o) { o.noReply.insert(0xA3); },
                                                    Result::FailedSendFirmDataAckTimeout, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(FirmwareUpdate, RefusesBadStartsAndIgnoresStrayFinalAcks)
{
    ASSERT_NO_FATAL_FAILURE(startAlive(SimOptions{}));
    FirmwareUpdateController orphan(nullptr);
    EXPECT_EQ(orphan.updateFirmware(writeImage(600), 1000, 1000), Startup::FailedVehicleNotValid);
    FirmwareUpdateController ctrl(vehicle());
    awaitFlightStatus();
    const QString dir = testsupport::makeTempDir("fw-bad");
    QFile(dir + "/empty.bin").open(QIODevice::WriteOnly);
    QFile huge(dir + "/huge.bin");
    ASSERT_TRUE(huge.open(QIODevice::WriteOnly) && huge.resize(FirmwareUpdateController::kMaxImageSize + 1));
    const QString path = writeImage(600);
    const QString sha = QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex().toUpper();
    const std::tuple<QString, QString, Startup> rows[] = {
        {dir + "/empty.bin", "", Startup::FailedFirmFileNotValid},
        {dir + "/missing.bin", "", Startup::FailedFirmFileNotValid},
        {"", "", Startup::FailedFirmFileNotValid},
        {dir, "", Startup::FailedReadFirmwareFile},
        {huge.fileName(), "", Startup::FailedReadFirmwareFile},
        {path, QString(sha).replace(0, 1, sha[0] == 'A' ? "B" : "A"), Startup::FailedChecksumMismatch},
    };
    for (const auto& [file, expectedSha, expected] : rows) {
        EXPECT_EQ(ctrl.updateFirmware(file, 1000, 1000, false, expectedSha), expected) << file.toStdString();
        EXPECT_FALSE(ctrl.refusalText().isEmpty()) << file.toStdString();
    }
    EXPECT_EQ(vehicle()->teleReqHolds(), 0u);
    EXPECT_FALSE(vehicle()->firmwareUpdating());

    std::vector<Result> results;
    QObject::connect(&ctrl, &FirmwareUpdateController::updateFinished, [&](Result r) { results.push_back(r); });
    ASSERT_EQ(ctrl.updateFirmware(path, 1000, 1000, false, sha), Startup::Ok);
    EXPECT_EQ(ctrl.updateFirmware(path, 1000, 1000), Startup::FailedBusy);
    EXPECT_TRUE(vehicle()->firmwareUpdating());
    auto stray = std::make_shared<_MavPFrame_t>();
    MavProtoFirmwareProcesser::packFinalAck(*stray, 1, 0);
    ctrl.handleMavPFrameReceived(stray, nullptr, nullptr);
    EXPECT_TRUE(ctrl.isRunning());
    EXPECT_EQ(ctrl.updateStep(), Step::Reset);
    ASSERT_TRUE(waitUntil([&] { return !results.empty(); }, 15000));
    EXPECT_EQ(results, std::vector<Result>{Result::Success});
}

// Refused from the controller's own view of the last flight status record; force skips that.
TEST_F(FirmwareUpdate, RefusedUnlessLandedDisarmedAndFreshUnlessForced)
{
    ASSERT_NO_FATAL_FAILURE(startAlive(SimOptions{}));
    qint64 now = 0;
    FirmwareUpdateController ctrl(vehicle(), nullptr, 100);
    ctrl.setClock([&] { return now; });
    const auto item = vehicle()->teleCtrler()->flightStatusDataItem();
    const QString path = writeImage(1024);
    // The reason logged and answered, the record's flight state and armed state, its age.
    const std::tuple<QString, uint8_t, uint8_t, qint64> rows[] = {
        {"in flight", 3, 1, 0},
        {"armed", 0, 1, 0},
        {"ms old", 0, 0, FirmwareUpdateController::kFlightStatusMaxAgeMs + 1},
    };
    for (const auto& [reason, flightState, armed, ageMs] : rows) {
        auto record = item->protoData();
        record.flightState = flightState;
        record.armedState = armed;
        item->updateProtoData(record);
        now += ageMs;
        EXPECT_EQ(ctrl.updateFirmware(path, 1000, 1000), Startup::FailedVehicleBusy) << reason.toStdString();
        EXPECT_TRUE(ctrl.refusalText().contains(reason)) << ctrl.refusalText().toStdString();
        EXPECT_FALSE(vehicle()->firmwareUpdating()) << reason.toStdString();
    }

    vehicle()->takeoff(20, 2);
    ASSERT_TRUE(waitUntil([&] { return item->flightState() != 0; }, 5000));
    EXPECT_EQ(ctrl.updateFirmware(path, 1000, 1000), Startup::FailedVehicleBusy);
    EXPECT_EQ(run(ctrl, path, 1000, 60000, 1000, true), Result::Success);
    EXPECT_EQ(simFirmware().image(), image);
}

// Frames are cut from the copy read at the start, not from the file.
TEST_F(FirmwareUpdate, FileChangedAfterTheStartDoesNotMatter)
{
    ASSERT_NO_FATAL_FAILURE(startAlive(SimOptions{}));
    FirmwareUpdateController ctrl(vehicle());
    const QString path = writeImage(2048);
    const QByteArray sent = image;
    QObject::connect(&ctrl, &FirmwareUpdateController::updateStepAndProgressChanged, [&](Step step, int, int) {
        QFile file(path);
        if (step == Step::Reset && file.open(QIODevice::WriteOnly))
            file.write("another image, longer than the first");
    });
    EXPECT_EQ(run(ctrl, path), Result::Success);
    EXPECT_EQ(simFirmware().image(), sent);
}

namespace {

struct CutRow {
    const char* name;
    std::function<void(MultiVehicleManager*, const VehicleControllerPtr&, GcsAppController*)> cut;
};

class FirmwareLinkCut : public FirmwareUpdate, public ::testing::WithParamInterface<CutRow> { };

}  // namespace

// Whether the vehicle is retired or only its link closes, mid-transfer the update ends once with
// FailedLinkLost, never as a radio time-out.
TEST_P(FirmwareLinkCut, EndsWithLinkLost)
{
    SimOptions options;
    options.latencyMs = 20;  // 128 frames take seconds
    ASSERT_NO_FATAL_FAILURE(startAlive(options));
    const VehicleControllerPtr held = vehicle();  // a view may keep a retired vehicle
    const auto ctrl = held->firmwareUpdateCtrler();
    std::vector<Result> results;
    QObject::connect(ctrl.get(), &FirmwareUpdateController::updateFinished, [&](Result r) { results.push_back(r); });
    awaitFlightStatus();
    ASSERT_EQ(ctrl->updateFirmware(writeImage(64 * 1024), 10000, 1000), Startup::Ok);
    ASSERT_TRUE(waitUntil([&] { return ctrl->updateStep() == Step::UploadingData; }, 10000));
    GetParam().cut(mvm(), held, app->ctrl);
    ASSERT_TRUE(waitUntil([&] { return !results.empty(); }, 15000));
    testsupport::pumpEvents(200);
    EXPECT_EQ(results, std::vector<Result>{Result::FailedLinkLost});
    EXPECT_FALSE(held->firmwareUpdating());
}

INSTANTIATE_TEST_SUITE_P(
    Cuts, FirmwareLinkCut,
    ::testing::Values(
        CutRow{"Disconnect", [](auto*, const auto&, GcsAppController* app) { app->disconnectFromActiveLinkMgr(); }},
        CutRow{"VehicleRemoved", [](MultiVehicleManager* m, const auto& v, auto*) { m->removeLocalVehicle(v); }},
        // Closed without the vehicle leaving: the data frame's time-out finds it.
        CutRow{"LinkClosed", [](auto*, const auto&,
                                auto*) { LinkManagerFactory::getInstance().activeLinkMgr()->closeUdpSocketLink(); }}),
    [](const auto& info) { return std::string(info.param.name); });

namespace {
class FirmwareLossy : public FirmwareUpdate, public ::testing::WithParamInterface<int> { };
}  // namespace

// At 30 % loss each way most updates fail; each ends once, and a success means the vehicle
// holds the image. One update a seed: two in the default run, eight more in the soak cases.
TEST_P(FirmwareLossy, EachUpdateEndsOnceAndSuccessHoldsTheImage)
{
    SimOptions options;
    options.loss = 0.3;
    options.seed = quint64(GetParam()) * 7919;
    options.fwFinalDelayMs = 50;
    options.rebootMs = 100;
    ASSERT_NO_FATAL_FAILURE(startAlive(options));
    FirmwareUpdateController ctrl(vehicle(), nullptr, 100);
    const QString path = writeImage(8 * 1024, "V3.0.0", quint32(GetParam() * 10));
    if (run(ctrl, path, 1000, 50000) == Result::Success) {
        EXPECT_EQ(simFirmware().image(), image);
    }
}

// Seed 1 in the default run; the rest with the soak runs.
INSTANTIATE_TEST_SUITE_P(Loss, FirmwareLossy, ::testing::Range(1, 2));
INSTANTIATE_TEST_SUITE_P(SoakLoss, FirmwareLossy, ::testing::Range(2, 11));

// The flight state read at the start can be stale by the reset: a record in between that says
// airborne stops the update before anything reaches the vehicle.
TEST_F(FirmwareUpdate, StopsBeforeTheResetWhenTheVehicleLeavesTheGround)
{
    ASSERT_NO_FATAL_FAILURE(startAlive(SimOptions{}));
    FirmwareUpdateController ctrl(vehicle(), nullptr, 100);
    const QString path = writeImage(1024);
    awaitFlightStatus();
    std::vector<Result> results;
    QObject::connect(&ctrl, &FirmwareUpdateController::updateFinished, [&](Result r) { results.push_back(r); });
    ASSERT_EQ(ctrl.updateFirmware(path, 1000, 1000), Startup::Ok);
    const auto item = vehicle()->teleCtrler()->flightStatusDataItem();
    auto record = item->protoData();
    record.flightState = 3;
    item->updateProtoData(record);
    ASSERT_TRUE(waitUntil([&] { return !results.empty(); }, 5000));
    EXPECT_EQ(results, std::vector<Result>{Result::FailedNotLandedAtReset});
    EXPECT_TRUE(ctrl.refusalText().contains("left the ground or armed")) << ctrl.refusalText().toStdString();
    EXPECT_EQ(simFirmware().image(), QByteArray()) << "no reset reached the vehicle";
    EXPECT_FALSE(vehicle()->firmwareUpdating());
    EXPECT_EQ(vehicle()->teleReqHolds(), 0u);
}
