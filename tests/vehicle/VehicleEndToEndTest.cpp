// The station (a GcsApplication with its app controller) against the vehicle simulator over
// real loopback UDP and a socat pseudo-terminal. Each case names the fault it survives.

#include "StationWithSim.h"

#include "CloudSimProcess.h"
#include "LogCapture.h"
#include "LoopbackPeers.h"
#include "VehicleSimulator.h"
#include "common/GcsConsoleHandler.h"
#include "vehicle/MultiVehicleManager.h"
#include "vehicle/VehicleController.h"

#include <QSignalSpy>

#include <gtest/gtest.h>

using testsupport::waitUntil;

// The same outcomes through the CLI are in the default run (CliRouterWithSim); this one waits
// out a silent command at the controller: with the soak runs.
TEST_F(StationWithSim, CommandOutcomesAcknowledgedRefusedAndSilentSoak)
{
    SimOptions options;
    options.ackResults[0x82] = 4;  // suspend refused every time
    options.noReply.insert(0x84);  // land never answered
    options.silentAfterMs = 0;  // no telemetry: the vehicle never comes alive and reads no parameters
    ASSERT_NO_FATAL_FAILURE(startAlive(options));
    auto vehicle = mvm()->activeVehicle();
    const auto statsBefore = vehicle->linkLossStats();
    QStringList console;
    QObject::connect(app->ctrl->consoleHandler().get(), &GcsConsoleHandler::logOutput,
                     [&](OstLogLevel, QString text) { console << text; });

    QSignalSpy takeoff(vehicle.get(), &VehicleController::takeoffResp);
    QSignalSpy suspend(vehicle.get(), &VehicleController::suspendResp);
    QSignalSpy land(vehicle.get(), &VehicleController::landResp);

    vehicle->takeoff(30, 3);
    ASSERT_TRUE(waitUntil([&] { return takeoff.count() == 1; }));
    EXPECT_EQ(takeoff.at(0).at(0).toInt(), 0);
    EXPECT_TRUE(sim->vehicle(1)->state().flying);
    EXPECT_EQ(sim->vehicle(1)->state().takeoffAltitude, 30);

    // A refusal is resent twice (three transmissions), then the vehicle's result is reported.
    const quint64 before = sim->counters().commands;
    vehicle->suspend();
    ASSERT_TRUE(waitUntil([&] { return suspend.count() == 1; }));
    EXPECT_EQ(suspend.at(0).at(0).toInt(), 4);
    EXPECT_EQ(sim->counters().commands - before, 3u);

    // Silence: three transmissions over about 6 s, then 5000 and the console's time-out line.
    vehicle->land();
    ASSERT_TRUE(waitUntil([&] { return land.count() == 1; }, 9000));
    EXPECT_EQ(land.at(0).at(0).toInt(), 5000);
    EXPECT_EQ(sim->counters().silenced, 3u);
    EXPECT_TRUE(console.contains("[接收] 飞机 1  降落 执行超时")) << console.join(" | ").toStdString();
    EXPECT_TRUE(console.contains("[接收] 飞机 1  暂停    指令执行失败"));
    EXPECT_EQ(console.count("[发送] 飞机 1  起飞"), 1) << "one line per command sent";

    const auto stats = vehicle->linkLossStats();
    EXPECT_EQ(stats.ackExpectedCount - statsBefore.ackExpectedCount, 3u);
    EXPECT_EQ(stats.ackRecvCount - statsBefore.ackRecvCount, 2u);
    EXPECT_EQ(stats.ackLostCount - statsBefore.ackLostCount, 1u);
}

TEST_F(StationWithSim, TakeoffsSurviveThirtyPercentLossEachWaySoak)
{
    SimOptions options;
    options.loss = 0.3;
    options.seed = 7;
    options.silentAfterMs = 0;  // only the take-offs travel: no telemetry, no parameter reads
    ASSERT_NO_FATAL_FAILURE(startAlive(options, 1, 10000));
    auto vehicle = mvm()->activeVehicle();
    const auto before = vehicle->linkLossStats();
    QSignalSpy takeoff(vehicle.get(), &VehicleController::takeoffResp);
    constexpr int tries = 20;
    for (int i = 0; i < tries; ++i)
        vehicle->takeoff(20, 2);
    ASSERT_TRUE(waitUntil([&] { return takeoff.count() >= tries; }, 12000));
    testsupport::pumpEvents(600);  // a late or duplicate outcome would show up here
    ASSERT_EQ(takeoff.count(), tries) << "every try ends in exactly one response";
    int ok = 0;
    int timedOut = 0;
    for (const auto& args : takeoff) {
        const int r = args.at(0).toInt();
        ok += r == 0;
        timedOut += r == 5000;
    }
    EXPECT_EQ(ok + timedOut, tries);
    EXPECT_GE(ok, 12);
    const auto stats = vehicle->linkLossStats();
    EXPECT_EQ(stats.ackExpectedCount - before.ackExpectedCount, uint64_t(tries));
    EXPECT_EQ(stats.ackLostCount - before.ackLostCount, uint64_t(timedOut));
    EXPECT_EQ(stats.ackRecvCount - before.ackRecvCount, uint64_t(ok));
    EXPECT_GT(sim->counters().in.dropped + sim->counters().out.dropped, 0u);
}

TEST_F(StationWithSim, FixedDevicePortSendsThereWhileHeartbeatsComeFromElsewhere)
{
    testsupport::UdpPeer deviceRecvPort;
    startSim(SimOptions());
    connectUdp(deviceRecvPort.port());
    ASSERT_TRUE(waitForVehicles(1));
    auto vehicle = mvm()->activeVehicle();
    EXPECT_EQ(vehicle->udpSendAddress(), deviceRecvPort.address());
    vehicle->takeoff(5, 1);
    auto sawTakeoff = [&] {
        for (const auto& d : deviceRecvPort.datagrams()) {
            if (d.size() > 5 && uint8_t(d.at(5)) == 0x81)
                return true;
        }
        return false;
    };
    EXPECT_TRUE(waitUntil(sawTakeoff)) << "the take-off went to the fixed port";
    EXPECT_EQ(sim->counters().commands, 0u) << "nothing went to the heartbeat's source port";
    EXPECT_NE(sim->listenPort(), deviceRecvPort.port());
}

TEST_F(StationWithSim, SerialLinkThroughAPseudoTerminal)
{
    testsupport::SocatPty pty;
    ASSERT_TRUE(pty.start());
    startSerialSim(SimOptions(), pty);
    ASSERT_TRUE(waitForVehicles(1));
    auto vehicle = mvm()->activeVehicle();
    EXPECT_TRUE(vehicle->address().isEmpty());
    QSignalSpy ret(vehicle.get(), &VehicleController::returnHomeResp);
    vehicle->returnHome(22.5, 113.9, 35.5f);
    ASSERT_TRUE(waitUntil([&] { return ret.count() == 1; }));
    EXPECT_EQ(ret.at(0).at(0).toInt(), 0);
    EXPECT_NEAR(sim->vehicle(1)->state().returnAlt, 35.5, 0.05);
    EXPECT_EQ(GcsSettings::getInstance()->getValue("connect/type").toInt(), 1);
    EXPECT_EQ(GcsSettings::getInstance()->getValue("connect/serial/portname").toString(), pty.endA());
}

TEST(StationEvents, ControlCommandsAreReportedToTheCloud)
{
    testsupport::CloudSimProcess cloud(VELMORA_CLOUD_SIM_BIN);
    ASSERT_TRUE(cloud.start()) << cloud.errorOutput().toStdString();
    testsupport::AppHarness app(cloud.baseUrl());
    const quint16 stationPort = testsupport::freeUdpPort();
    SimOptions options;
    options.stationPort = stationPort;
    options.heartbeatMs = 200;
    VehicleSimulator sim(options);
    ASSERT_TRUE(sim.start());
    ASSERT_EQ(app.ctrl->connectToLinkFromCliParams(
                  {{"type", "udp"}, {"sendPort", stationPort}, {"recvPort", sim.listenPort()}}),
              QString());
    auto* mvm = app.ctrl->multiVehicleMgr();
    ASSERT_TRUE(waitUntil([&] { return mvm->activeVehicle() != nullptr; }));
    QSignalSpy land(mvm->activeVehicle().get(), &VehicleController::landResp);
    mvm->activeVehicle()->takeoff(10, 1);
    mvm->activeVehicle()->land();
    mvm->activeVehicle()->startFormationFlight();  // not an event
    ASSERT_TRUE(waitUntil([&] { return land.count() == 1; }));

    nlohmann::json received;
    ASSERT_TRUE(waitUntil([&] {
        received = nlohmann::json::parse(cloud.get("/sim/received").toStdString(), nullptr, false);
        return received.is_object() && received["events"].size() >= 2;
    }));
    testsupport::pumpEvents(200);
    received = nlohmann::json::parse(cloud.get("/sim/received").toStdString());
    ASSERT_EQ(received["events"].size(), 2u) << received.dump();
    EXPECT_EQ(received["events"][0]["eventType"], 1);
    EXPECT_EQ(received["events"][1]["eventType"], 4);
    sim.stop();
}
