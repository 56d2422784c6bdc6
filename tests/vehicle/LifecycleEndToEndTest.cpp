// A vehicle's life cycle around the link: what a user disconnect and a reconnect leave behind,
// and a link manager nobody uses any more.

#include "StationWithSim.h"

#include "LogCapture.h"
#include "LoopbackPeers.h"
#include "protocol/MavProtocolProcesser.h"
#include "telemetry/MavTelemetryController.h"

#include <QDir>
#include <QFile>

using testsupport::LogCapture;
using testsupport::waitUntil;

TEST_F(StationWithSim, DisconnectRetiresVehiclesAndAReconnectLeavesTheOldOnesSilent)
{
    GcsSettings::getInstance()->setTeleReqInterval(100);
    // Every sample a row, also on the ground (the count below is of samples).
    GcsSettings::getInstance()->setValue(QStringLiteral("flightData/thinOnGround"), false);
    startSim(SimOptions());
    QSignalSpy opened(app->ctrl, &GcsAppController::linkConnectResp);
    ASSERT_EQ(app->ctrl->connectToLinkFromCliParams(
                  {{"type", "udp"}, {"sendPort", stationPort}, {"recvPort", sim->listenPort()}}),
              QString());
    // Every flight status frame before the disconnect is one row of the first log.
    int flightStatusFrames = 0;
    auto counter = QObject::connect(LinkManagerFactory::getInstance().activeLinkMgr()->mavProtoProcesser(),
                                    &MavProtocolProcesser::mavPFrameReceived, [&](MavPFramePtr f, OstAbstractLink*) {
                                        flightStatusFrames += f->tx_id == 1 && f->cmd == MavCmd::TeleFlightStatus;
                                    });
    ASSERT_TRUE(waitForVehicles(1));
    auto old = mvm()->activeVehicle();
    ASSERT_TRUE(waitUntil([&] { return flightStatusFrames >= 7; }));

    app->ctrl->disconnectFromActiveLinkMgr();
    QObject::disconnect(counter);
    const quint16 oldPort = sim->listenPort();
    sim->stop();
    sim.reset();
    testsupport::UdpPeer oldAddress(oldPort);  // where the old vehicle would still send
    LogCapture::instance().clear();
    testsupport::pumpEvents(500);
    EXPECT_EQ(LogCapture::instance().countContaining(spdlog::level::err, "no valid link"), 0);
    EXPECT_FALSE(old->teleCtrler()->teleReqEnabled());

    // Within the same second, the same id from another simulator.
    startSim(SimOptions());
    connectUdp(sim->listenPort());
    ASSERT_TRUE(waitForVehicles(1));
    auto fresh = mvm()->activeVehicle();
    ASSERT_NE(fresh, old);
    ASSERT_TRUE(waitUntil([&] { return fresh->alive(); }));
    testsupport::pumpEvents(1000);
    EXPECT_TRUE(oldAddress.datagrams().isEmpty()) << oldAddress.datagrams().size() << " datagrams to the old address";

    // Two logs, the first complete up to its last row.
    app.reset();
    const QString dir = GcsSettings::getInstance()->userDataPath() + "/flightData";
    const auto logs = QDir(dir).entryList({"Flight_1_*.xlsx"}, QDir::Files, QDir::Name);
    ASSERT_EQ(logs.size(), 2);
    QFile first(dir + "/" + logs.first());
    ASSERT_TRUE(first.open(QIODevice::ReadOnly));
    EXPECT_EQ(first.readAll().count('\n'), 1 + flightStatusFrames);
}

TEST_F(StationWithSim, ARemovedLinkManagerIsDestroyed)
{
    startSim(SimOptions());
    connectUdp(sim->listenPort());
    ASSERT_TRUE(waitForVehicles(1));
    auto& factory = LinkManagerFactory::getInstance();
    std::weak_ptr<LinkManager> weak = factory.activeLinkMgr();
    app->ctrl->disconnectFromActiveLinkMgr();
    testsupport::pumpEvents(100);
    factory.setActiveLinkManager(nullptr);
    factory.removeLinkManager(weak.lock());
    testsupport::pumpEvents(100);
    EXPECT_TRUE(weak.expired()) << "no connection or vehicle keeps it alive";
}
