// Each case runs in a process of its own (ctest): the factory is a process-wide singleton.

#include "link/LinkManager.h"
#include "link/LinkManagerFactory.h"
#include "protocol/MavProtocolProcesser.h"

#include "LogCapture.h"
#include "LoopbackPeers.h"
#include "FrameWire.h"
#include "OstSerialPortLink.h"
#include "OstSerialPortLinkConfig.h"
#include "OstUdpSocketLink.h"
#include "OstUdpSocketLinkConfig.h"
#include "TestSupport.h"

#include <QSerialPort>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <thread>

using testsupport::LogCapture;
using testsupport::waitUntil;
using testsupport::wire;

namespace {

struct FrameLog {
    QStringList frames;  // "tx/seq/cmd"
    QStringList heartbeats;  // "id@address"
    explicit FrameLog(LinkManager& mgr)
    {
        QObject::connect(mgr.mavProtoProcesser(), &MavProtocolProcesser::mavPFrameReceived,
                         [this](MavPFramePtr f, OstAbstractLink*) {
                             frames << QStringLiteral("%1/%2/%3").arg(f->tx_id).arg(f->seq).arg(f->cmd);
                         });
        QObject::connect(mgr.mavProtoProcesser(), &MavProtocolProcesser::mavHeartbeatFrameReceived,
                         [this](int id, OstAbstractLink*, QString address) {
                             heartbeats << QStringLiteral("%1@%2").arg(id).arg(address);
                         });
    }
};

bool waitOpen(QSignalSpy& spy)
{
    return waitUntil([&] { return spy.count() == 1; }) && spy.at(0).at(0).toBool();
}

}  // namespace

TEST(LinkManagerFactory, RegistryAndActiveManager)
{
    auto& factory = LinkManagerFactory::getInstance();
    QSignalSpy activeSpy(&factory, &LinkManagerFactory::acvtiveLinkManagerChanged);

    LogCapture::instance().clear();
    EXPECT_EQ(factory.createLinkManager(""), nullptr);
    EXPECT_EQ(
        LogCapture::instance().count(spdlog::level::warn, "<LinkMgrFactory> createLinkManager: linkMgrKey is empty"),
        1);
    EXPECT_TRUE(factory.allLinkManagers().isEmpty() && activeSpy.isEmpty());

    auto local = factory.createLinkManager(LinkManagerFactory::mavLocalLinkMgrKey());
    ASSERT_NE(local, nullptr);
    EXPECT_EQ(factory.activeLinkMgr(), local);
    EXPECT_EQ(factory.createLinkManager("mav-local-link-key"), local);
    EXPECT_EQ(activeSpy.count(), 1) << "an existing key changes nothing";

    auto second = factory.createLinkManager("a-second-link");
    EXPECT_EQ(factory.activeLinkMgr(), second);
    EXPECT_EQ(activeSpy.count(), 2);
    factory.setActiveLinkManager(second);
    EXPECT_EQ(activeSpy.count(), 2) << "setting the active one again emits nothing";
    factory.setActiveLinkManager(local);
    EXPECT_EQ(activeSpy.count(), 3);

    EXPECT_EQ(factory.findLinkManager(second->udpSocketLink()), second);
    EXPECT_EQ(factory.findLinkManager(local->serialportLink()), local);

    factory.removeLinkManager(local);
    EXPECT_EQ(factory.activeLinkMgr(), local) << "removal leaves the active slot alone";
    factory.removeLinkManager("a-second-link");
    EXPECT_TRUE(factory.allLinkManagers().isEmpty());
    factory.setActiveLinkManager(nullptr);
}

TEST(LinkManager, SendingWithoutAnOpenLink)
{
    LinkManager mgr;
    LogCapture::instance().clear();
    EXPECT_FALSE(mgr.linkIsOpen());
    EXPECT_FALSE(mgr.sendToSerialLink("x"));
    EXPECT_FALSE(mgr.sendToUdpLink("x"));
    EXPECT_EQ(LogCapture::instance().lines().size(), 0u);
    EXPECT_FALSE(mgr.sendToLink("x", "127.0.0.1:1"));
    EXPECT_EQ(LogCapture::instance().count(spdlog::level::err, "<Link> no valid link to send data"), 1);
}

TEST(LinkManager, SerialLinkWinsOverUdpAndAcceptsForeignThreadSends)
{
    testsupport::SocatPty pty;
    ASSERT_TRUE(pty.start());
    QSerialPort vehicle(pty.endB());
    ASSERT_TRUE(vehicle.open(QIODevice::ReadWrite));

    LinkManager mgr;
    FrameLog log(mgr);
    QSignalSpy udpOpen(&mgr, &LinkManager::udpLinkOpenResp);
    QSignalSpy serialOpen(&mgr, &LinkManager::serialportLinkOpenResp);
    mgr.setSerialPortLinkConfig(std::make_shared<OstSerialPortLinkConfig>(pty.endA(), 115200));
    mgr.openSerialPortLink(nullptr);  // uses the config set before
    mgr.openUdpSocketLink(std::make_shared<OstUdpSocketLinkConfig>(testsupport::freeUdpPort(), 0));
    ASSERT_TRUE(waitOpen(serialOpen));
    ASSERT_TRUE(waitOpen(udpOpen));

    vehicle.write(wire(2, 0x81, 0, 0x00) + wire(2, 0x81, 6, 0x84, {0}));
    ASSERT_TRUE(waitUntil([&] { return log.frames.size() == 2; }));
    EXPECT_EQ(log.heartbeats, (QStringList{"2@"})) << "serial frames carry no address";

    // With the serial link open the address is ignored; a worker thread's send still arrives.
    const QByteArray takeoff = wire(0x81, 2, 7, 0x81, {10, 0, 2});
    std::thread worker([&] { EXPECT_TRUE(mgr.sendToLink(takeoff, "127.0.0.1:9")); });
    worker.join();
    QByteArray got;
    ASSERT_TRUE(waitUntil([&] {
        got += vehicle.readAll();
        return got.size() >= takeoff.size();
    }));
    EXPECT_EQ(got, takeoff);
}
