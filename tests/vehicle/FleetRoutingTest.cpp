// Frames reach only the vehicle of their sender id: the routing slots, and a fleet of 200
// simulated vehicles on one link.

#include "StationWithSim.h"

#include "FrameWire.h"
#include "MavProtoTeleProcesser.h"
#include "SimVehicle.h"
#include "protocol/MavProtocolProcesser.h"
#include "telemetry/MavPosDataItem.h"
#include "telemetry/MavTelemetryController.h"
#include "vehicle/VehicleFrameRoutes.h"

using testsupport::waitUntil;

TEST(VehicleFrameRoutes, JoinLeaveIdChangeAndRejoin)
{
    VehicleFrameRoutes routes;
    auto* a = reinterpret_cast<VehicleController*>(0x10);
    auto* b = reinterpret_cast<VehicleController*>(0x20);
    routes.join(1, a);
    routes.join(254, b);
    EXPECT_EQ(routes.find(1), a);
    EXPECT_EQ(routes.find(254), b);
    EXPECT_EQ(routes.find(2), nullptr);
    routes.leave(1, a);  // a changes its id to 7
    routes.join(7, a);
    EXPECT_EQ(routes.find(1), nullptr);
    EXPECT_EQ(routes.find(7), a);
    routes.join(7, b);  // a newer vehicle under the same id takes the slot...
    routes.leave(7, a);  // ...and the old one leaving does not clear it
    EXPECT_EQ(routes.find(7), b);
    routes.join(-1, a);  // remote vehicles have no id
    routes.join(256, a);
    EXPECT_EQ(routes.size(), 2);
}

TEST_F(StationWithSim, TwoHundredVehiclesEachGetTheirOwnTelemetry)
{
    SimOptions options;
    options.count = 200;
    options.fixAfterMs = 0;
    startSim(options);
    connectUdp(sim->listenPort());
    ASSERT_TRUE(waitForVehicles(200, 10000));
    auto positioned = [&] {
        for (const auto& v : mvm()->vehicleList()) {
            if (v->teleCtrler()->posDataItem()->lat() == 0.0)
                return false;
        }
        return true;
    };
    ASSERT_TRUE(waitUntil(positioned, 10000));
    // Every vehicle stands at its own home, 5 m from its neighbours: its items show its own.
    for (const auto& v : mvm()->vehicleList()) {
        const auto& model = sim->vehicle(v->vehicleId())->flightModel();
        const auto pos = v->teleCtrler()->posDataItem();
        EXPECT_NEAR(pos->lat(), model.latitude(), 1e-7) << "vehicle " << v->vehicleId();
        EXPECT_NEAR(pos->lon(), model.longitude(), 1e-7) << "vehicle " << v->vehicleId();
    }
    EXPECT_EQ(mvm()->frameRoutes().size(), 200);

    // A position from an id no vehicle holds changes nobody's.
    MavProtoPosData_t stray{};
    stray.lat = 10.0;
    stray.lon = 20.0;
    _MavPFrame_t frame;
    MavProtoTeleProcesser::packPosDataPFrame(frame, 250, 0, stray);
    auto link = LinkManagerFactory::getInstance().activeLinkMgr();
    link->mavProtoProcesser()->handleUdpLinkData("127.0.0.1:9", testsupport::toWire(frame), link->udpSocketLink());
    for (const auto& v : mvm()->vehicleList())
        EXPECT_NE(v->teleCtrler()->posDataItem()->lat(), 10.0) << "vehicle " << v->vehicleId();
}
