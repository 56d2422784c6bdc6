#pragma once
// The station (a GcsApplication with its app controller, see AppHarness.h) against the
// in-process vehicle simulator over real loopback UDP.

#include "AppHarness.h"

#include "LoopbackPeers.h"

#include "VehicleSimulator.h"
#include "vehicle/MultiVehicleManager.h"
#include "vehicle/VehicleController.h"

#include <QSignalSpy>

#include <gtest/gtest.h>

class StationWithSim : public ::testing::Test {
protected:
    void startSim(SimOptions options)
    {
        using testsupport::waitUntil;
        options.stationPort = stationPort;
        options.heartbeatMs = 200;
        sim = std::make_unique<VehicleSimulator>(options);
        QString error;
        ASSERT_TRUE(sim->start(&error)) << error.toStdString();
    }

    void connectUdp(int deviceRecvPort)
    {
        using testsupport::waitUntil;
        QSignalSpy resp(app->ctrl, &GcsAppController::linkConnectResp);
        const nlohmann::json params = {{"type", "udp"}, {"sendPort", stationPort}, {"recvPort", deviceRecvPort}};
        ASSERT_EQ(app->ctrl->connectToLinkFromCliParams(params), QString());
        ASSERT_TRUE(waitUntil([&] { return resp.count() == 1; }));
        ASSERT_TRUE(resp.at(0).at(1).toBool());
    }

    // The simulator over UDP, with `vehicles` vehicles joined and, unless the simulator never
    // answers telemetry, alive. Callers wrap it in ASSERT_NO_FATAL_FAILURE.
    void startAlive(SimOptions options, int vehicles = 1, int timeoutMs = 5000)
    {
        startSim(options);
        connectUdp(sim->listenPort());
        ASSERT_TRUE(waitForVehicles(vehicles, timeoutMs));
        if (options.silentAfterMs == 0)
            return;
        ASSERT_TRUE(testsupport::waitUntil(
            [&] {
                for (const auto& v : mvm()->vehicleList())
                    if (!v->alive())
                        return false;
                return true;
            },
            timeoutMs));
    }

    // Waits until `n` vehicles have joined from their heartbeats.
    bool waitForVehicles(int n, int timeoutMs = 5000)
    {
        using testsupport::waitUntil;
        return waitUntil([&] { return mvm()->vehicleList().size() >= n; }, timeoutMs);
    }

    // The simulator on end B of a socat pair; the station connects to end A.
    void startSerialSim(SimOptions options, const testsupport::SocatPty& pty)
    {
        using testsupport::waitUntil;
        options.transport = SimOptions::Transport::Serial;
        options.serialPath = pty.endB();
        startSim(options);
        QSignalSpy resp(app->ctrl, &GcsAppController::linkConnectResp);
        ASSERT_EQ(app->ctrl->connectToLinkFromCliParams(
                      {{"type", "serial"}, {"port", pty.endA().toStdString()}, {"baudrate", 115200}}),
                  QString());
        ASSERT_TRUE(waitUntil([&] { return resp.count() == 1; }));
        ASSERT_TRUE(resp.at(0).at(1).toBool());
    }

    MultiVehicleManager* mvm() const { return app->ctrl->multiVehicleMgr(); }

    void SetUp() override { app = std::make_unique<testsupport::AppHarness>(); }
    void TearDown() override
    {
        if (sim)
            sim->stop();
        sim.reset();
        app.reset();
    }

    quint16 stationPort = testsupport::freeUdpPort();
    std::unique_ptr<testsupport::AppHarness> app;
    std::unique_ptr<VehicleSimulator> sim;
};
