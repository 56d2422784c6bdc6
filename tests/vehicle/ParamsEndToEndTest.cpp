// Parameters between the station and the vehicle simulator: the full read when a vehicle comes
// alive, a write that round-trips through the wire scaling, the vehicle id migration, both
// calibrations, and the vehicle code with the cloud service.

#include "StationWithSim.h"

#include "CloudSimProcess.h"
#include "GcsHttpReqs.h"
#include "GcsLoginManager.h"
#include "params/MavBasicParamsDataItem.h"
#include "params/MavCustomNameFieldsConfigManager.h"
#include "params/MavParamsController.h"
#include "params/MavResParamsDataItem.h"
#include "protocol/MavRequestQueueManager.h"
#include "telemetry/MavTeleResDataItem.h"
#include "telemetry/MavTelemetryController.h"

#include "LogCapture.h"
#include "LoopbackPeers.h"
#include "OstUdpSocketLinkConfig.h"
#include "SimVehicleParams.h"

#include <QFile>

using testsupport::waitUntil;

namespace {

bool paramsSettled(const std::shared_ptr<VehicleController>& v)
{
    return v->alive() && !v->paramsCtrler()->batchReadingParams() && v->requestQueue()->pendingCount() == 0;
}

}  // namespace

TEST_F(StationWithSim, AliveVehicleIsReadInFullAndWritesRoundTrip)
{
    SimOptions options;
    options.code = "VC-SIM-0001";
    options.fixAfterMs = 0;
    ASSERT_NO_FATAL_FAILURE(startAlive(options));
    auto vehicle = mvm()->activeVehicle();
    auto params = vehicle->paramsCtrler();
    QSignalSpy reads(params.get(), &MavParamsController::basicParamsReadResp);
    QSignalSpy code(vehicle.get(), &VehicleController::vehicleCodeReadResp);
    ASSERT_TRUE(waitUntil([&] { return paramsSettled(vehicle) && code.count() == 1; }, 8000));
    EXPECT_EQ(code.at(0).at(0).toInt(), 0);
    EXPECT_EQ(vehicle->vehicleCode(), "VC-SIM-0001");
    const auto& simBasic = sim->vehicle(1)->params().params().basic;
    EXPECT_EQ(params->basicParamsDataItem()->vehicleId(), 1);
    EXPECT_EQ(params->basicParamsDataItem()->maxFlyAlt(), simBasic.maxFlyAlt);
    EXPECT_EQ(params->basicParamsDataItem()->version(), QString::fromLatin1(SimParams::kVersion));

    // A write goes through the wire scaling and reads back the same.
    QSignalSpy written(params.get(), &MavParamsController::resParamsWriteResp);
    QSignalSpy resRead(params.get(), &MavParamsController::resParamsReadResp);
    params->resParamsDataItem()->setRes3(12.34f);
    params->resParamsDataItem()->setRes25(-1234.567f);
    params->writeResParams();
    ASSERT_TRUE(waitUntil([&] { return written.count() == 1; }));
    EXPECT_EQ(written.at(0).at(0).toInt(), 0);
    params->resParamsDataItem()->setRes3(0);
    params->readResParams();
    ASSERT_TRUE(waitUntil([&] { return resRead.count() >= 1; }));
    EXPECT_NEAR(params->resParamsDataItem()->protoData().res3, 12.34, 0.005);
    EXPECT_NEAR(params->resParamsDataItem()->protoData().res25, -1234.567, 0.0005);
    EXPECT_NEAR(sim->vehicle(1)->params().params().res.res3, 12.34, 0.005);
}

TEST_F(StationWithSim, NewVehicleIdMovesTheVehicleUnlessTheIdIsTaken)
{
    SimOptions options;
    options.fixAfterMs = 0;
    startSim(options);
    // A second simulator on the same station link holds vehicle 2.
    SimOptions second;
    second.firstId = 2;
    second.fixAfterMs = 0;
    second.stationPort = stationPort;
    second.heartbeatMs = 200;
    VehicleSimulator other(second);
    ASSERT_TRUE(other.start());
    // Device port 0: each simulator is answered at the port its heartbeats come from.
    app->ctrl->connectToLink(std::make_shared<OstUdpSocketLinkConfig>(stationPort, 0), QString());
    ASSERT_TRUE(waitForVehicles(2));
    auto v1 = mvm()->findVehicleControllerById(1);
    ASSERT_TRUE(v1 && waitUntil([&] { return paramsSettled(v1); }, 8000));

    // Id 2 belongs to another vehicle controller: the vehicle accepts, the station keeps both.
    testsupport::LogCapture::instance().clear();
    QSignalSpy written(v1->paramsCtrler().get(), &MavParamsController::basicParamsWriteResp);
    v1->paramsCtrler()->basicParamsDataItem()->setVehicleId(2);
    v1->paramsCtrler()->writeBasicParams();
    ASSERT_TRUE(waitUntil([&] { return written.count() == 1; }));
    EXPECT_EQ(written.at(0).at(0).toInt(), 0);
    EXPECT_EQ(testsupport::LogCapture::instance().countContaining(spdlog::level::warn,
                                                                  "already used by another VehicleController"),
              1);
    EXPECT_EQ(mvm()->vehicleList().size(), 2);
    other.stop();
    sim->stop();
}

TEST_F(StationWithSim, WritingANewVehicleIdRejoinsUnderIt)
{
    SimOptions options;
    options.fixAfterMs = 0;
    ASSERT_NO_FATAL_FAILURE(startAlive(options));
    auto v1 = mvm()->activeVehicle();
    ASSERT_TRUE(waitUntil([&] { return paramsSettled(v1); }, 8000));
    QSignalSpy left(mvm(), &MultiVehicleManager::vehicleLeft);
    v1->paramsCtrler()->basicParamsDataItem()->setVehicleId(7);
    v1->paramsCtrler()->writeBasicParams();
    ASSERT_TRUE(waitUntil([&] { return left.count() == 1; }));
    EXPECT_EQ(left.at(0).at(0).value<std::shared_ptr<VehicleController>>(), v1);
    ASSERT_TRUE(waitUntil([&] { return mvm()->hasVehicle(7); }, 3000)) << "the next heartbeat carries the new id";
    EXPECT_FALSE(mvm()->hasVehicle(1));
    auto v7 = mvm()->findVehicleControllerById(7);
    EXPECT_TRUE(waitUntil([&] { return v7->alive(); }, 3000));
}

TEST_F(StationWithSim, CustomNamesFromAFileRenameReservedParametersAndTelemetry)
{
    SimOptions options;
    options.fixAfterMs = 0;
    ASSERT_NO_FATAL_FAILURE(startAlive(options));
    auto vehicle = mvm()->activeVehicle();
    const QString dir = testsupport::makeTempDir("names");
    auto write = [&](const QString& name, const char* json) {
        QFile f(dir + "/" + name);
        f.open(QIODevice::WriteOnly);
        f.write(json);
        return f.fileName();
    };
    auto* names = app->ctrl->customNameFieldsConfigMgr().get();
    EXPECT_EQ(names->loadResParamsDataFromFile(
                  write("p.gfn", R"({"name":"pump","fields":[{"eid":"3","customName":"流量"}]})")),
              0);
    EXPECT_EQ(names->loadResTeleDataFromFile(
                  write("t.gfn", R"({"name":"pump","fields":[{"eid":"505","customName":"压力"}]})")),
              0);
    EXPECT_EQ(vehicle->paramsCtrler()->resParamsDataItem()->res3Element()->displayName(), "流量");
    EXPECT_EQ(vehicle->teleCtrler()->resDataItem()->resElement(5)->displayName(), "压力");

    // A restart reads the names back from the cache.
    MavCustomNameFieldsConfigManager restarted;
    restarted.loadAllFromCache();
    bool found = false;
    for (const auto& f : restarted.resTeleFields())
        found = found || (f->eid == "505" && f->customName == "压力");
    EXPECT_TRUE(found);
}

TEST(StationCloud, VehicleCodeResetThroughTheCloudAndItsErrorMode)
{
    for (const bool failing : {false, true}) {
        SCOPED_TRACE(failing ? "cloud fails" : "cloud answers");
        testsupport::CloudSimProcess cloud(VELMORA_CLOUD_SIM_BIN);
        QStringList args;
        if (failing)
            args << "--fail"
                 << "/vehicle/code/generate=500";
        ASSERT_TRUE(cloud.start(args)) << cloud.errorOutput().toStdString();
        testsupport::AppHarness app(cloud.baseUrl());
        const quint16 stationPort = testsupport::freeUdpPort();
        SimOptions options;
        options.stationPort = stationPort;
        options.heartbeatMs = 200;
        options.fixAfterMs = 0;
        options.code = "VC-OLD-0001";
        VehicleSimulator sim(options);
        ASSERT_TRUE(sim.start());
        app.ctrl->connectToLinkFromCliParams(
            {{"type", "udp"}, {"sendPort", stationPort}, {"recvPort", sim.listenPort()}});
        auto* mvm = app.ctrl->multiVehicleMgr();
        ASSERT_TRUE(waitUntil([&] { return mvm->activeVehicle() && paramsSettled(mvm->activeVehicle()); }, 8000));
        auto params = mvm->activeVehicle()->paramsCtrler();
        QSignalSpy reset(params.get(), &MavParamsController::vehicleCodeResetResp);
        params->resetVehicleCode(GenerateVehicleCodeReq{"VC-OLD-0001", 1});
        ASSERT_TRUE(waitUntil([&] { return reset.count() == 1; }, 5000));
        if (failing) {
            EXPECT_EQ(reset.at(0).at(0).toInt(), 5001);
            EXPECT_EQ(reset.at(0).at(1).toInt(), 500);
            EXPECT_EQ(sim.vehicle(1)->params().code(), "VC-OLD-0001");
        } else {
            EXPECT_EQ(reset.at(0).at(0).toInt(), 0);
            EXPECT_EQ(reset.at(0).at(1).toInt(), 200);
            EXPECT_TRUE(params->vehicleCodeIsActive());
            EXPECT_EQ(QString::fromStdString(sim.vehicle(1)->params().code()), params->vehicleCode());
            EXPECT_NE(params->vehicleCode(), "VC-OLD-0001");
        }
        sim.stop();
    }
}

namespace {

// Between the steps of a calibration no telemetry request leaves the station; after the last
// step polling resumes. Over UDP every heartbeat asks for polling again and must not undo it.
void expectCalibrationPausesPolling(const std::shared_ptr<VehicleController>& vehicle, VehicleSimulator& sim)
{
    ASSERT_TRUE(waitUntil([&] { return paramsSettled(vehicle); }, 8000));
    auto params = vehicle->paramsCtrler();
    QSignalSpy mag(params.get(), &MavParamsController::caliMagCompassResp);
    ASSERT_EQ(params->calibrateMagCompass(MAVPROTO_MAG_CALI_STEP_START), MavParamsEnums::MagCaliRequestSent);
    ASSERT_TRUE(waitUntil([&] { return mag.count() == 1; }));
    const quint64 requests = sim.counters().teleRequests;
    testsupport::pumpEvents(600);
    EXPECT_EQ(sim.counters().teleRequests, requests) << "polling is paused";
    for (int step = 2; step <= 4; ++step) {
        params->calibrateMagCompass(MavProtoMagCompassCalibrateStep(step));
        ASSERT_TRUE(waitUntil([&] { return mag.count() == step; }));
    }
    EXPECT_EQ(params->magComCaliStep(), 0);
    EXPECT_EQ(sim.counters().teleRequests, requests) << "still paused until the final acknowledgement";
    EXPECT_TRUE(waitUntil([&] { return sim.counters().teleRequests > requests + 2; })) << "and resumes";
}

}  // namespace

TEST_F(StationWithSim, NoTelemetryRequestDuringACalibrationOverSerial)
{
    testsupport::SocatPty pty;
    ASSERT_TRUE(pty.start());
    GcsSettings::getInstance()->setTeleReqInterval(100);
    SimOptions options;
    options.fixAfterMs = 0;
    startSerialSim(options, pty);
    ASSERT_TRUE(waitForVehicles(1));
    expectCalibrationPausesPolling(mvm()->activeVehicle(), *sim);
}

TEST_F(StationWithSim, NoTelemetryRequestDuringACalibrationOverUdp)
{
    GcsSettings::getInstance()->setTeleReqInterval(100);
    SimOptions options;
    options.fixAfterMs = 0;
    ASSERT_NO_FATAL_FAILURE(startAlive(options));
    auto vehicle = mvm()->activeVehicle();
    expectCalibrationPausesPolling(vehicle, *sim);

    // The accelerometer's eight steps; the compass is refused meanwhile.
    auto params = vehicle->paramsCtrler();
    QSignalSpy acc(params.get(), &MavParamsController::caliAccMeterResp);
    ASSERT_EQ(params->calibrateAccMeter(MAVPROTO_ACC_CALI_STEP_START), MavParamsEnums::AccCaliRequestSent);
    EXPECT_FALSE(vehicle->teleCtrler()->teleReqEnabled());
    EXPECT_EQ(params->calibrateMagCompass(MAVPROTO_MAG_CALI_STEP_START), MavParamsEnums::MagCaliAccMeterInProgress);
    for (int step = 1; step <= 8; ++step) {
        ASSERT_TRUE(waitUntil([&] { return acc.count() == step; })) << "step " << step;
        if (step < 8)
            params->calibrateAccMeter(MavProtoAccMeterCalibrateStep(step + 1));
    }
    EXPECT_EQ(std::make_pair(acc.last().at(0).toInt(), acc.last().at(1).toInt()), std::make_pair(8, 0));
    EXPECT_EQ(params->accMeterCaliStep(), 0);
    EXPECT_TRUE(waitUntil([&] { return vehicle->teleCtrler()->teleReqEnabled(); }));
}
