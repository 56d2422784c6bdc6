// Firmware updates between a vehicle's firmware controller and the simulator over loopback UDP:
// images stored exactly and the new version read back, each fault's result, start refusals,
// stray final acks, a file resized mid-update, and lossy links.

#include "StationWithSim.h"

#include "SimVehicle.h"
#include "SimVehicleFirmware.h"
#include "firmware/FirmwareUpdateController.h"
#include "params/MavBasicParamsDataItem.h"
#include "params/MavParamsController.h"
#include "telemetry/MavTelemetryController.h"

#include "MavProtoFirmwareProcesser.h"

#include <QFile>
#include <QRandomGenerator>

#include <gtest/gtest.h>

using testsupport::waitUntil;
using Result = FirmwareEnums::UpdateResult;
using Step = FirmwareEnums::UpdateStep;

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

    // Runs one update to its end; exactly one finish signal. Records the last data progress and
    // whether polling was held while the data went out.
    Result run(FirmwareUpdateController& ctrl, const QString& path, uint infoTimeoutMs = 10000, int timeoutMs = 60000)
    {
        std::vector<Result> results;
        auto finished = QObject::connect(&ctrl, &FirmwareUpdateController::updateFinished,
                                         [&](Result r) { results.push_back(r); });
        auto progress = QObject::connect(&ctrl, &FirmwareUpdateController::updateStepAndProgressChanged,
                                         [&](Step step, int done, int) {
                                             if (step != Step::UploadingData)
                                                 return;
                                             lastAcked = done;
                                             heldDuring = heldDuring && vehicle()->teleReqHolds() != 0 &&
                                                          !vehicle()->teleCtrler()->teleReqEnabled();
                                         });
        lastAcked = -1;
        heldDuring = true;
        EXPECT_EQ(ctrl.updateFirmware(path, infoTimeoutMs, 1000), FirmwareEnums::UpdateStartupResult::Ok);
        EXPECT_TRUE(waitUntil([&] { return !results.empty(); }, timeoutMs));
        testsupport::pumpEvents(100);
        QObject::disconnect(finished);
        QObject::disconnect(progress);
        EXPECT_EQ(results.size(), 1u);
        EXPECT_EQ(vehicle()->teleReqHolds(), 0u);
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
};

class FirmwareFault : public FirmwareUpdate, public ::testing::WithParamInterface<FaultRow> {};

}  // namespace

TEST_P(FirmwareFault, EndsWithItsResult)
{
    SimOptions options;
    options.fwFinalDelayMs = 20;
    GetParam().fault(options);
    ASSERT_NO_FATAL_FAILURE(startAlive(options));
    // Ten ticks of the final-ack wait pass in a second, long after a final ack would have come.
    FirmwareUpdateController ctrl(vehicle(), nullptr, 100);
    EXPECT_EQ(run(ctrl, writeImage(4096), 500), GetParam().expected);
    EXPECT_EQ(lastAcked, GetParam().lastAcked);
    EXPECT_EQ(ctrl.isRunning(), false);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FirmwareFault,
    ::testing::Values(FaultRow{"RejectFrame3", [](SimOptions& o) { o.fwRejectFrame = 3; },
                               Result::FailedSendFirmDataAckTimeout, 3},
                      FaultRow{"NoFinalAck", [](SimOptions& o) { o.fwNoFinalAck = true; },
                               Result::FailedFinalAckTimeout, 8},
                      FaultRow{"Corrupt", [](SimOptions& o) { o.fwCorrupt = true; }, Result::FailedFinalAck, 8},
                      FaultRow{"ResetRefused", [](SimOptions& o) { o.ackResults[0xA1] = 4; }, Result::FailedReset, -1},
                      FaultRow{"InfoUnanswered", [](SimOptions& o) { o.noReply.insert(0xA2); },
                               Result::FailedSendFirmInfoAckTimeout, -1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FirmwareUpdate, RefusesBadStartsAndIgnoresStrayFinalAcks)
{
    ASSERT_NO_FATAL_FAILURE(startAlive(SimOptions{}));
    FirmwareUpdateController orphan(nullptr);
    EXPECT_EQ(orphan.updateFirmware(writeImage(600), 1000, 1000), FirmwareEnums::UpdateStartupResult::FailedVehicleNotValid);
    FirmwareUpdateController ctrl(vehicle());
    const QString empty = testsupport::makeTempDir("fw-empty") + "/empty.bin";
    QFile(empty).open(QIODevice::WriteOnly);
    for (const QString& bad : {empty, empty + ".missing", QString()})
        EXPECT_EQ(ctrl.updateFirmware(bad, 1000, 1000), FirmwareEnums::UpdateStartupResult::FailedFirmFileNotValid)
            << bad.toStdString();
    EXPECT_EQ(vehicle()->teleReqHolds(), 0u);

    std::vector<Result> results;
    QObject::connect(&ctrl, &FirmwareUpdateController::updateFinished, [&](Result r) { results.push_back(r); });
    const QString path = writeImage(600);
    ASSERT_EQ(ctrl.updateFirmware(path, 1000, 1000), FirmwareEnums::UpdateStartupResult::Ok);
    EXPECT_EQ(ctrl.updateFirmware(path, 1000, 1000), FirmwareEnums::UpdateStartupResult::FailedBusy);
    auto stray = std::make_shared<_MavPFrame_t>();
    MavProtoFirmwareProcesser::packFinalAck(*stray, 1, 0);
    ctrl.handleMavPFrameReceived(stray, nullptr, nullptr);
    EXPECT_TRUE(ctrl.isRunning());
    EXPECT_EQ(ctrl.updateStep(), Step::Reset);
    ASSERT_TRUE(waitUntil([&] { return !results.empty(); }, 15000));
    EXPECT_EQ(results, std::vector<Result>{Result::Success});
}

TEST_F(FirmwareUpdate, FileResizedBeforeTheInfoAckFails)
{
    SimOptions options;
    options.latencyMs = 400;  // the info ack leaves the simulator 400 ms late
    ASSERT_NO_FATAL_FAILURE(startAlive(options));
    FirmwareUpdateController ctrl(vehicle());
    std::vector<Result> results;
    QObject::connect(&ctrl, &FirmwareUpdateController::updateFinished, [&](Result r) { results.push_back(r); });
    const QString path = writeImage(2048);
    ASSERT_EQ(ctrl.updateFirmware(path, 5000, 5000), FirmwareEnums::UpdateStartupResult::Ok);
    ASSERT_TRUE(waitUntil([&] { return simFirmware().transferOpen(); }, 10000));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::Append) && file.write("grown") == 5);
    file.close();
    ASSERT_TRUE(waitUntil([&] { return !results.empty(); }, 10000));
    EXPECT_EQ(results, std::vector<Result>{Result::FailedReadFirmwareFile});
}

namespace {
class FirmwareLossy : public FirmwareUpdate, public ::testing::WithParamInterface<int> {};
}  // namespace

// At 30 % loss each way most updates fail; each ends once, and a success means the vehicle
// holds the image. Ten updates in five cases of two.
TEST_P(FirmwareLossy, EachUpdateEndsOnceAndSuccessHoldsTheImage)
{
    SimOptions options;
    options.loss = 0.3;
    options.seed = quint64(GetParam()) * 7919;
    options.fwFinalDelayMs = 50;
    options.rebootMs = 100;
    ASSERT_NO_FATAL_FAILURE(startAlive(options));
    FirmwareUpdateController ctrl(vehicle(), nullptr, 100);
    for (int i = 0; i < 2; ++i) {
        const QString path = writeImage(8 * 1024, "V3.0.0", quint32(GetParam() * 10 + i));
        if (run(ctrl, path, 1000, 50000) == Result::Success)
            EXPECT_EQ(simFirmware().image(), image) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Loss, FirmwareLossy, ::testing::Range(1, 3));
INSTANTIATE_TEST_SUITE_P(SoakLoss, FirmwareLossy, ::testing::Range(3, 6));
