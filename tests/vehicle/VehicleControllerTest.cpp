#define VELMORA_TEST_GCS_APPLICATION
#include "AppHarness.h"

#include "LogCapture.h"
#include "LoopbackPeers.h"
#include "OstSerialPortLink.h"
#include "MavProtoCtrlCmdProcesser.h"
#include "MavProtoHelper.h"
#include "OstUdpSocketLink.h"
#include "OstUdpSocketLinkConfig.h"
#include "automation/GcsConsoleHandler.h"
#include "protocol/MavCmdTimeoutEvent.h"
#include "vehicle/MultiVehicleManager.h"
#include "vehicle/VehicleController.h"

#include <QCoreApplication>
#include <QSignalSpy>

#include <gtest/gtest.h>

using testsupport::waitUntil;

namespace {

struct ConsoleLines {
    QStringList lines;
    explicit ConsoleLines(GcsConsoleHandler& console)
    {
        QObject::connect(&console, &GcsConsoleHandler::logOutput,
                         [this](OstLogLevel level, QString text) { lines << QString::number(int(level)) + " " + text; });
    }
};

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
    std::vector<int> seen;
    for (int i = 0; i < 600; ++i)
        seen.push_back(v.genSeqId());
    EXPECT_EQ(seen.front(), 1);
    EXPECT_EQ(seen[253], 254);
    EXPECT_EQ(seen[254], 1) << "the 255th number is 1 again";
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 0), 0);
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 255), 0);
}

TEST(VehicleController, RemoteVehicleRefusesEveryControlCommand)
{
    auto v = VehicleController::createRemote("VC-001", nullptr);
    v->setup(nullptr);
    EXPECT_TRUE(v->alive());
    EXPECT_EQ(v->vehicleId(), -1);
    using Signal = void (VehicleController::*)(int);
    struct Case {
        const char* name;
        std::function<void()> call;
        Signal signal;
    };
    const std::vector<Case> cases = {
        {"takeoff", [&] { v->takeoff(10, 2); }, &VehicleController::takeoffResp},
        {"suspend", [&] { v->suspend(); }, &VehicleController::suspendResp},
        {"resume", [&] { v->resume(); }, &VehicleController::resumeResp},
        {"land", [&] { v->land(); }, &VehicleController::landResp},
        {"return", [&] { v->returnHome(1, 2, 3); }, &VehicleController::returnHomeResp},
        {"mission", [&] { v->runMission(); }, &VehicleController::missionRunningResp},
        {"formation start", [&] { v->startFormationFlight(); }, &VehicleController::formationStartResp},
        {"formation cancel", [&] { v->cancelFormationFlight(); }, &VehicleController::formationCancelResp},
        {"idle start", [&] { v->startIdleMotorDetection(3); }, &VehicleController::idleMotorDetectResp},
        {"idle stop", [&] { v->stopIdleMotorDetection(); }, &VehicleController::idleMotorDetectResp},
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

TEST(VehicleController, OutcomesAndTimeoutsReachSignalsAndConsole)
{
    testsupport::UdpPeer peer;
    auto mgr = openUdp(std::make_shared<OstUdpSocketLinkConfig>(testsupport::freeUdpPort(), 0));
    auto v = std::make_shared<VehicleController>(4, mgr, nullptr);
    v->setAddress(peer.address());
    v->setup(nullptr);
    auto console = std::make_shared<GcsConsoleHandler>();
    ConsoleLines lines(*console);
    v->setGcsConsole(console);

    QSignalSpy land(v.get(), &VehicleController::landResp);
    v->land();
    ASSERT_TRUE(peer.waitForDatagrams(1));
    _MavPFrame_t sent;
    const QByteArray bytes = peer.datagrams().at(0);
    ASSERT_EQ(MavProtoHelper::parseMavProtoFrame(reinterpret_cast<const unsigned char*>(bytes.constData()),
                                                 unsigned(bytes.size()), sent),
              MAVPROTO_PARSE_RESULT_OK);
    EXPECT_EQ(sent.cmd, 0x84);
    EXPECT_EQ(sent.rx_id, 4);
    EXPECT_EQ(sent.tx_id, 0x81);

    _MavPFrame_t ack;
    MavProtoCtrlCmdProcesser::packAckPFrame(ack, 4, sent.seq, 0x84, 0);
    std::vector<uint8_t> wire;
    MavProtoHelper::mavPFrameToSendBytes(wire, ack);
    peer.sendTo(QByteArray(reinterpret_cast<const char*>(wire.data()), qsizetype(wire.size())),
                mgr->udpSocketLink()->boundPort());
    ASSERT_TRUE(waitUntil([&] { return land.count() == 1; }));
    EXPECT_EQ(land.at(0).at(0).toInt(), 0);

    // A time-out of a formation cancel, as the queue's worker would post it.
    QSignalSpy cancel(v.get(), &VehicleController::formationCancelResp);
    QSignalSpy timeout(v.get(), &VehicleController::mavAckTimeout);
    auto frame = std::make_shared<_MavPFrame_t>();
    MavProtoCtrlCmdProcesser::packFormationCancelPFrame(*frame, 4, 9);
    QCoreApplication::postEvent(v.get(), new MavCmdTimeoutEvent(MavCmdRequestMessage::create(frame, CheckResult)));
    ASSERT_TRUE(waitUntil([&] { return timeout.count() == 1; }));
    ASSERT_EQ(cancel.count(), 1);
    EXPECT_EQ(cancel.at(0).at(0).toInt(), 5000);

    // The parameters controller echoes every frame the vehicle sends, handled by it or not.
    EXPECT_EQ(lines.lines, (QStringList{"1 [发送] 降落", "1 [发送] 降落", "1 [接收] 降落    指令已执行",
                                        "3 [接收] 取消编队飞行 执行超时"}));
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
                  spdlog::level::warn, "<MultiVehicleMgr> heartbeat: no LinkManager for link, vehicleId=9, address=1.2.3.4:5"),
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
    EXPECT_EQ(testsupport::LogCapture::instance().countContaining(spdlog::level::debug, "heartbeat: existing vehicleId="), 2)
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
}
