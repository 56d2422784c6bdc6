// The queue on a fake clock: a vehicle controller with a real UDP link manager sends to a peer
// on 127.0.0.1; the test plays the vehicle by handing acknowledgements to the queue.

#include "link/LinkManager.h"
#include "protocol/MavRequestQueueManager.h"
#include "vehicle/VehicleController.h"

#include "LogCapture.h"
#include "LoopbackPeers.h"
#include "MavProtoCtrlCmdProcesser.h"
#include "MavProtoHelper.h"
#include "OstUdpSocketLink.h"
#include "OstUdpSocketLinkConfig.h"
#include "TestSupport.h"

#include <QSignalSpy>

#include <gtest/gtest.h>

#include <atomic>

using testsupport::waitUntil;

namespace {

class QueueFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        linkMgr = std::make_shared<LinkManager>();
        QSignalSpy open(linkMgr.get(), &LinkManager::udpLinkOpenResp);
        linkMgr->openUdpSocketLink(std::make_shared<OstUdpSocketLinkConfig>(testsupport::freeUdpPort(), 0));
        ASSERT_TRUE(waitUntil([&] { return open.count() == 1; }));
        vehicle = std::make_shared<VehicleController>(5, linkMgr, nullptr);
        vehicle->setAddress(peer.address());
        // A long check period: checks run when the test moves the clock and asks for one.
        vehicle->setRequestQueueTiming([this] { return nowMs.load(); }, 3600 * 1000);
        vehicle->setup(nullptr);
        queue = vehicle->requestQueue();
        ASSERT_TRUE(queue && queue->isRunning());
    }

    void advance(int64_t ms)
    {
        nowMs += ms;
        queue->runTimeoutCheck();
    }

    MavPFramePtr ack(uint8_t seq, uint8_t cmd, std::vector<uint8_t> data, uint8_t from = 5)
    {
        auto f = std::make_shared<_MavPFrame_t>();
        MavProtoHelper::packMavProtoFrame(*f, from, 0x81, seq, cmd, data);
        return f;
    }

    MavCmdRequestMessagePtr landRequest()
    {
        auto f = std::make_shared<_MavPFrame_t>();
        MavProtoCtrlCmdProcesser::packLandPFrame(*f, 5, vehicle->genSeqId());
        return MavCmdRequestMessage::create(f, CheckResult, 0, 0, 2000, 2);
    }

    OstAbstractLink* link() const { return linkMgr->udpSocketLink(); }

    std::atomic<int64_t> nowMs{1'000'000};
    testsupport::UdpPeer peer;
    std::shared_ptr<LinkManager> linkMgr;
    std::shared_ptr<VehicleController> vehicle;
    std::shared_ptr<MavRequestQueueManager> queue;
};

}  // namespace

TEST_F(QueueFixture, NegativeAckUsesTheResendBudgetThenDeliversTheVehiclesResult)
{
    QSignalSpy land(vehicle.get(), &VehicleController::landResp);
    auto req = landRequest();
    ASSERT_TRUE(vehicle->sendMavPFrameReq(req));
    EXPECT_FALSE(queue->appendCmdReq(req, vehicle.get())) << "the same request twice is refused";
    for (int transmission = 1; transmission <= 3; ++transmission) {
        ASSERT_TRUE(peer.waitForDatagrams(transmission));
        queue->handleMavPFrame(ack(req->seq, 0x84, {4}), link());
    }
    ASSERT_TRUE(peer.waitForDatagrams(3));
    testsupport::pumpEvents(50);
    EXPECT_EQ(peer.datagrams().size(), 3) << "three transmissions, no fourth";
    ASSERT_EQ(land.count(), 1);
    EXPECT_EQ(land.at(0).at(0).toInt(), 4);
    const auto stats = vehicle->linkLossStats();
    EXPECT_EQ(stats.ackExpectedCount, 1u) << "resends do not add expectations";
    EXPECT_EQ(stats.ackRecvCount, 1u) << "an item counts its first acknowledgement once";
    EXPECT_EQ(queue->pendingCount(), 0);
}

TEST_F(QueueFixture, SilenceResendsTwiceThenTimesOutAndLateAcksAreDropped)
{
    QSignalSpy land(vehicle.get(), &VehicleController::landResp);
    QSignalSpy timeout(vehicle.get(), &VehicleController::mavAckTimeout);
    QSignalSpy outcome(vehicle.get(), &VehicleController::mavPFrameReceived);
    auto req = landRequest();
    ASSERT_TRUE(vehicle->sendMavPFrameReq(req));
    ASSERT_TRUE(peer.waitForDatagrams(1));

    advance(1999);
    testsupport::pumpEvents(30);
    EXPECT_EQ(peer.datagrams().size(), 1) << "not yet due";
    advance(1);
    ASSERT_TRUE(peer.waitForDatagrams(2));
    advance(2000);
    ASSERT_TRUE(peer.waitForDatagrams(3));
    EXPECT_EQ(peer.datagrams().at(0), peer.datagrams().at(2)) << "a resend is the same frame";
    EXPECT_EQ(timeout.count(), 0);
    advance(2000);
    ASSERT_TRUE(waitUntil([&] { return timeout.count() == 1; }));
    EXPECT_EQ(timeout.at(0).at(0).value<std::shared_ptr<MavCmdRequestMessage>>(), req);
    ASSERT_EQ(land.count(), 1);
    EXPECT_EQ(land.at(0).at(0).toInt(), 5000);
    EXPECT_EQ(peer.datagrams().size(), 3);

    queue->handleMavPFrame(ack(req->seq, 0x84, {0}), link());
    testsupport::pumpEvents(30);
    EXPECT_EQ(land.count(), 1) << "a late ack finds nothing";
    EXPECT_EQ(outcome.count(), 0);
    const auto stats = vehicle->linkLossStats();
    EXPECT_EQ(stats.ackExpectedCount, 1u);
    EXPECT_EQ(stats.ackLostCount, 1u);
    EXPECT_DOUBLE_EQ(stats.ackLossRate, 1.0);
}

TEST_F(QueueFixture, FramesThatMatchNothingAreDroppedExceptFirmwareReset)
{
    QSignalSpy outcome(vehicle.get(), &VehicleController::mavPFrameReceived);
    auto req = landRequest();
    ASSERT_TRUE(vehicle->sendMavPFrameReq(req));
    testsupport::LogCapture::instance().clear();

    struct Case {
        const char* name;
        MavPFramePtr frame;
        int outcomes;
    };
    const std::vector<Case> cases = {
        {"right cmd, other seq", ack(uint8_t(req->seq + 1), 0x84, {0}), 0},
        {"other vehicle", ack(req->seq, 0x84, {0}, 6), 0},
        {"telemetry", ack(req->seq, 0x21, {0}), 0},
        {"heartbeat", ack(req->seq, 0x00, {}), 0},
        {"unmatched firmware reset", ack(77, 0xA4, {0}), 1},
    };
    int expected = 0;
    for (const auto& c : cases) {
        queue->handleMavPFrame(c.frame, link());
        expected += c.outcomes;
        EXPECT_EQ(outcome.count(), expected) << c.name;
    }
    EXPECT_EQ(outcome.last().at(2).value<std::shared_ptr<MavCmdRequestMessage>>(), nullptr);
    EXPECT_EQ(queue->pendingCount(), 1) << "the land request still waits";
    EXPECT_EQ(testsupport::LogCapture::instance().countContaining(spdlog::level::debug, "recv ack protocol"), 2)
        << "telemetry and heartbeats never reach the matcher, nor do other vehicles' frames";
}

TEST_F(QueueFixture, ChainSendsChildrenOneByOneAndDeliversOnce)
{
    QSignalSpy outcome(vehicle.get(), &VehicleController::mavPFrameReceived);
    auto parent = MavCmdRequestMessage::create(nullptr, CheckResult, 0, 0, 2000, 2);
    for (int i = 0; i < 3; ++i) {
        auto f = std::make_shared<_MavPFrame_t>();
        MavProtoHelper::packMavProtoFrame(*f, 0x81, 5, vehicle->genSeqId(), 0x43, {uint8_t(i)});
        parent->appendChildReq(MavCmdRequestMessage::create(f, CheckResult, 0, 0, 2000, 2));
    }
    ASSERT_TRUE(vehicle->sendMavPFrameReq(parent));
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(peer.waitForDatagrams(i + 1));
        EXPECT_EQ(uint8_t(peer.datagrams().at(i).at(8)), i) << "child " << i << " is sent in order";
        EXPECT_EQ(outcome.count(), 0);
        queue->handleMavPFrame(ack(parent->childReqs.first()->seq, 0x43, {0}), link());
    }
    ASSERT_EQ(outcome.count(), 1);
    EXPECT_EQ(outcome.at(0).at(2).value<std::shared_ptr<MavCmdRequestMessage>>(), parent);
    const auto stats = vehicle->linkLossStats();
    EXPECT_EQ(stats.ackExpectedCount, 3u);
    EXPECT_EQ(stats.ackRecvCount, 3u);
}
