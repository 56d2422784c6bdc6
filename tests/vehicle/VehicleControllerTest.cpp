#define VELMORA_TEST_GCS_APPLICATION
#include "AppHarness.h"

#include "LogCapture.h"
#include "OstSerialPortLink.h"
#include "OstUdpSocketLink.h"
#include "OstUdpSocketLinkConfig.h"
#include "MavProtoCtrlCmdProcesser.h"
#include "protocol/MavCmdTimeoutEvent.h"
#include "vehicle/MultiVehicleManager.h"
#include "vehicle/VehicleController.h"

#include <QCoreApplication>
#include <QSignalSpy>

#include <gtest/gtest.h>

using testsupport::waitUntil;

namespace {

std::shared_ptr<LinkManager> openUdp(std::shared_ptr<OstUdpSocketLinkConfig> config)
{
    auto mgr = std::make_shared<LinkManager>();
    QSignalSpy open(mgr.get(), &LinkManager::udpLinkOpenResp);
    mgr->openUdpSocketLink(config);
    waitUntil([&] { return open.count() == 1; });
    return mgr;
}

}  // namespace

TEST(VehicleController, SequenceNumbersSkipZeroAnd255)
{
    VehicleController v(1, nullptr, nullptr);
    for (int round = 0; round < 3; ++round) {
        for (int expected = 1; expected <= 254; ++expected)
            ASSERT_EQ(v.genSeqId(), expected) << "round " << round;
    }
}

TEST(VehicleController, RemoteVehicleRefusesEveryControlCommand)
{
    auto v = VehicleController::createRemote("VC-001", nullptr);
    v->setup();
    EXPECT_TRUE(v->alive());
    EXPECT_EQ(v->vehicleId(), -1);
    // Every command shares one refusal; the rows cover the answer signals that the station's
    // end-to-end tests (take-off, suspend, land) do not.
    using Signal = void (VehicleController::*)(int);
    struct Case {
        const char* name;
        std::function<void()> call;
        Signal signal;
    };
    const std::vector<Case> cases = {
        {"resume", [&] { v->resume(); }, &VehicleController::resumeResp},
        {"return", [&] { v->returnHome(1, 2, 3); }, &VehicleController::returnHomeResp},
        {"mission", [&] { v->runMission(); }, &VehicleController::missionRunningResp},
        {"formation start", [&] { v->startFormationFlight(); }, &VehicleController::formationStartResp},
        {"formation cancel", [&] { v->cancelFormationFlight(); }, &VehicleController::formationCancelResp},
        {"idle start", [&] { v->startIdleMotorDetection(3); }, &VehicleController::idleMotorDetectResp},
    };
    for (const auto& c : cases) {
        QSignalSpy spy(v.get(), c.signal);
        c.call();
        ASSERT_EQ(spy.count(), 1) << c.name;
        EXPECT_EQ(spy.at(0).at(0).toInt(), 3) << c.name;
    }
    EXPECT_FALSE(v->sendMavPFrame(std::make_shared<_MavPFrame_t>()));
}

TEST(VehicleController, UdpDestinationFollowsDevicePortAndMulticastGroup)
{
    struct Case {
        quint16 devicePort;
        bool multicast;
        const char* address;
        const char* expected;
    };
    const std::vector<Case> cases = {
        {0, false, "10.1.2.3:14550", "10.1.2.3:14550"},
        {15000, false, "10.1.2.3:14550", "10.1.2.3:15000"},
        {0, true, "10.1.2.3:14550", "239.1.1.1:14550"},
        {15000, true, "10.1.2.3:14550", "239.1.1.1:15000"},
        {15000, false, "", ""},
        {15000, false, "noport", "noport"},
    };
    for (const auto& c : cases) {
        auto config = std::make_shared<OstUdpSocketLinkConfig>(testsupport::freeUdpPort(), c.devicePort);
        if (c.multicast) {
            // Only the destination rule is under test: the link must be open, so join a group we can.
            config->setMulticastGroupAddress("239.1.1.1");
        }
        auto mgr = openUdp(config);
        ASSERT_TRUE(mgr->udpSocketLinkIsOpen());
        config->setLinkMode(c.multicast ? OstUdpSocketLinkConfig::Multicast : OstUdpSocketLinkConfig::Unicast);
        mgr->setUdpSocketLinkConfig(config);  // senders use the values taken when the config is set
        VehicleController v(3, mgr, nullptr);
        v.setAddress(c.address);
        EXPECT_EQ(v.udpSendAddress().toStdString(), c.expected) << c.address << " device port " << c.devicePort;
    }
    VehicleController unlinked(3, nullptr, nullptr);
    unlinked.setAddress("10.1.2.3:14550");
    EXPECT_EQ(unlinked.udpSendAddress(), "10.1.2.3:14550");
}

// Start and cancel share one command: a time-out reaches the signal its request's frame names.
// (Answers, refusals and time-outs of the other commands: StationWithSim.CommandOutcomes...)
TEST(VehicleController, FormationTimeoutsReachTheSignalOfTheirRequest)
{
    VehicleController v(4, nullptr, nullptr);
    QSignalSpy start(&v, &VehicleController::formationStartResp);
    QSignalSpy cancel(&v, &VehicleController::formationCancelResp);
    for (auto pack :
         {&MavProtoCtrlCmdProcesser::packFormationCancelPFrame, &MavProtoCtrlCmdProcesser::packFormationStartPFrame}) {
        auto frame = std::make_shared<_MavPFrame_t>();
        pack(*frame, 4, 9);
        QCoreApplication::postEvent(&v, new MavCmdTimeoutEvent(MavCmdRequestMessage::create(frame, CheckResult)));
    }
    ASSERT_TRUE(waitUntil([&] { return cancel.count() == 1 && start.count() == 1; }));
    EXPECT_EQ(cancel.at(0).at(0).toInt(), 5000);
    EXPECT_EQ(start.at(0).at(0).toInt(), 5000);
}

TEST(MultiVehicleManager, HeartbeatsCreateVehiclesAndRemovalRechoosesActive)
{
    testsupport::AppHarness app;
    auto* mvm = app.ctrl->multiVehicleMgr();
    auto& factory = LinkManagerFactory::getInstance();
    auto mgr = factory.createLinkManager("test-link");
    QSignalSpy open(mgr.get(), &LinkManager::udpLinkOpenResp);
    mgr->openUdpSocketLink(std::make_shared<OstUdpSocketLinkConfig>(testsupport::freeUdpPort(), 0));
    ASSERT_TRUE(waitUntil([&] { return open.count() == 1; }));
    QSignalSpy joined(mvm, &MultiVehicleManager::vehicleJoined);
    QSignalSpy active(mvm, &MultiVehicleManager::activeVehicleChanged);

    testsupport::LogCapture::instance().clear();
    OstUdpSocketLink stray;
    mvm->processMavHeartbeatFrame(9, &stray, "1.2.3.4:5");
    EXPECT_EQ(testsupport::LogCapture::instance().count(
                  spdlog::level::warn,
                  "<MultiVehicleMgr> heartbeat: no LinkManager for link, vehicleId=9, address=1.2.3.4:5"),
              1);
    EXPECT_EQ(joined.count(), 0);

    mvm->processMavHeartbeatFrame(1, mgr->udpSocketLink(), "127.0.0.1:1001");
    mvm->processMavHeartbeatFrame(2, mgr->udpSocketLink(), "127.0.0.1:1002");
    mvm->processMavHeartbeatFrame(1, mgr->udpSocketLink(), "127.0.0.1:2001");
    mvm->processMavHeartbeatFrame(2, mgr->serialportLink(), "");
    ASSERT_EQ(mvm->vehicleList().size(), 2);
    EXPECT_EQ(joined.count(), 2);
    EXPECT_EQ(mvm->activeVehicle()->vehicleId(), 2) << "the last joined is active";
    EXPECT_EQ(mvm->findVehicleControllerById(1)->address(), "127.0.0.1:2001") << "UDP heartbeats refresh the address";
    EXPECT_EQ(mvm->findVehicleControllerById(2)->address(), "127.0.0.1:1002") << "a serial heartbeat changes nothing";
    EXPECT_EQ(
        testsupport::LogCapture::instance().countContaining(spdlog::level::debug, "heartbeat: existing vehicleId="), 2)
        << "one throttled line per known vehicle";
    EXPECT_EQ(mvm->findVehicleControllerById(2)->linkManager(), mgr);

    // Command targets by display mode (CLI target resolution: GcsCliCommandRouterTest).
    EXPECT_EQ(mvm->vehiclesForControlCommand().size(), 1);
    app.ctrl->setControlDisplayMode(GcsSettingsEnums::AllLocalVehicles);
    EXPECT_EQ(mvm->vehiclesForControlCommand().size(), 2);

    mvm->addRemoteVehicle("RC-7");
    mvm->addRemoteVehicle("RC-7");
    EXPECT_EQ(mvm->vehicleList().size(), 3);
    EXPECT_EQ(mvm->activeVehicle()->vehicleCode(), "RC-7");
    mvm->removeLocalVehicle(mvm->findVehicleControllerById(2));
    EXPECT_EQ(mvm->activeVehicle()->vehicleCode(), "RC-7") << "removing a non-active vehicle keeps the active one";
    mvm->removeRemoteVehicle("RC-7");
    EXPECT_EQ(mvm->activeVehicle()->vehicleId(), 1) << "the first local vehicle takes over";
    mvm->addRemoteVehicle("RC-8");
    mvm->removeAllLocalVehicles();
    ASSERT_EQ(mvm->vehicleList().size(), 1);
    EXPECT_EQ(mvm->activeVehicle()->vehicleCode(), "RC-8") << "the remote one remains active";

    // A removed vehicle that still sends heartbeats joins again.
    mvm->processMavHeartbeatFrame(1, mgr->udpSocketLink(), "127.0.0.1:1001");
    EXPECT_TRUE(mvm->hasVehicle(1));
    EXPECT_EQ(mvm->activeVehicle()->vehicleId(), 1);

    // A watch through the cloud that ends gives the active role back to the vehicle it took it from.
    mvm->processMavHeartbeatFrame(2, mgr->udpSocketLink(), "127.0.0.1:1002");
    ASSERT_EQ(mvm->activeVehicle()->vehicleId(), 2);
    mvm->addRemoteVehicle("RC-9");
    mvm->removeRemoteVehicle("RC-9");
    EXPECT_EQ(mvm->activeVehicle()->vehicleId(), 2);
}

// A restarted station hears its whole fleet in the first datagrams: the joins must leave room
// for the CLI and the page between them, and every vehicle must still join, in heard order.
TEST(MultiVehicleManager, AFleetHeardAtOnceJoinsBetweenOtherEvents)
{
    testsupport::AppHarness app;
    auto* mvm = app.ctrl->multiVehicleMgr();
    auto mgr = LinkManagerFactory::getInstance().createLinkManager("burst-link");
    QSignalSpy open(mgr.get(), &LinkManager::udpLinkOpenResp);
    mgr->openUdpSocketLink(std::make_shared<OstUdpSocketLinkConfig>(testsupport::freeUdpPort(), 0));
    ASSERT_TRUE(waitUntil([&] { return open.count() == 1; }));
    QSignalSpy joined(mvm, &MultiVehicleManager::vehicleJoined);

    constexpr int kFleet = 40;
    qsizetype seenByOtherEvent = -1;
    for (int id = 1; id <= kFleet; ++id) {
        mvm->processMavHeartbeatFrame(id, mgr->udpSocketLink(), QString("127.0.0.1:%1").arg(21000 + id));
        if (id == 1)  // a CLI request that arrived with the first datagrams
            QMetaObject::invokeMethod(
                mvm, [&] { seenByOtherEvent = mvm->vehicleList().size(); }, Qt::QueuedConnection);
    }
    mvm->processMavHeartbeatFrame(kFleet, mgr->udpSocketLink(), "127.0.0.1:29999");  // heard again while waiting
    EXPECT_LE(mvm->vehicleList().size(), MultiVehicleManager::kJoinsPerTurn);
    ASSERT_TRUE(waitUntil([&] { return joined.count() == kFleet; }));
    EXPECT_GE(seenByOtherEvent, 0);
    EXPECT_LT(seenByOtherEvent, kFleet / 2) << "the other event waited for most of the joins";
    for (int i = 0; i < kFleet; ++i)
        EXPECT_EQ(joined.at(i).at(0).value<std::shared_ptr<VehicleController>>()->vehicleId(), i + 1);
    EXPECT_EQ(mvm->findVehicleControllerById(kFleet)->address(), "127.0.0.1:29999");
    mvm->removeAllLocalVehicles();
}
