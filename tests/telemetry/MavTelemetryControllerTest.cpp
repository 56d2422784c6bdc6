// The telemetry controller of a real vehicle controller whose link is a UDP socket to a local
// peer. The tool box's timer thread is never started, so the test drives the periodic tick
// itself, deterministically.

#include "settings/GcsSettings.h"
#include "link/LinkManager.h"
#include "telemetry/MavAhrsDataItem.h"
#include "telemetry/MavFlightStatusDataItem.h"
#include "telemetry/MavTeleDataElement.h"
#include "telemetry/MavTelemetryController.h"
#include "vehicle/VehicleController.h"

#include "LogCapture.h"
#include "LoopbackPeers.h"
#include "MavProtoHelper.h"
#include "MavProtoTeleProcesser.h"
#include "OstTimerTaskManager.h"
#include "OstUdpSocketLink.h"
#include "OstUdpSocketLinkConfig.h"
#include "TestSupport.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <thread>

using testsupport::LogCapture;
using testsupport::waitUntil;

namespace {

class TeleFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        dataDir = testsupport::makeTempDir("data");
        GcsSettings::getInstance()->init(testsupport::makeTempDir("cache"), dataDir);
        timers = std::make_shared<OstTimerTaskManager>();
        linkMgr = std::make_shared<LinkManager>();
        QSignalSpy open(linkMgr.get(), &LinkManager::udpLinkOpenResp);
        linkMgr->openUdpSocketLink(std::make_shared<OstUdpSocketLinkConfig>(testsupport::freeUdpPort(), 0));
        ASSERT_TRUE(waitUntil([&] { return open.count() == 1; }));
        vehicle = std::make_shared<VehicleController>(6, linkMgr, nullptr);
        vehicle->setAddress(peer.address());
        VehicleController::Services services;
        services.timerTaskMgr = timers;
        vehicle->setServices(services);
        vehicle->setup();
        tele = vehicle->teleCtrler();
        ASSERT_TRUE(tele && tele->teleReqEnabled());
    }

    MavPFramePtr frame(uint8_t cmd, size_t len, uint8_t from = 6)
    {
        auto f = std::make_shared<_MavPFrame_t>();
        MavProtoHelper::packMavProtoFrame(*f, from, 0x81, 0, cmd, std::vector<uint8_t>(len, 0));
        return f;
    }

    MavPFramePtr flightStatus(uint8_t flightMode)
    {
        _MavProtoFlightStatusData_t r{};
        r.flightMode = flightMode;
        r.armedState = 1;  // armed: every sample is a row (disarmed on the ground writes one a second)
        r.totalFlightTime = 3725;
        auto f = std::make_shared<_MavPFrame_t>();
        MavProtoTeleProcesser::packFlightStatusDataPFrame(*f, 6, 0, r);
        return f;
    }

    QString dataDir;
    testsupport::UdpPeer peer;
    std::shared_ptr<OstTimerTaskManager> timers;
    std::shared_ptr<LinkManager> linkMgr;
    std::shared_ptr<VehicleController> vehicle;
    std::shared_ptr<MavTelemetryController> tele;
};

}  // namespace

TEST_F(TeleFixture, LossDetectionAliveAndStatisticsWindows)
{
    QSignalSpy state(tele.get(), &MavTelemetryController::teleDataReportStateChanged);
    QSignalSpy alive(vehicle.get(), &VehicleController::vehicleAliveChanged);
    ASSERT_TRUE(peer.waitForDatagrams(1)) << "enabling sends the first request at once";
    EXPECT_EQ(uint8_t(peer.datagrams().at(0).at(5)), 0x20);

    tele->feedTeleDataPFrame(frame(0x21, 52), linkMgr->udpSocketLink());
    EXPECT_EQ(tele->teleReportState(), 2);
    EXPECT_TRUE(vehicle->alive());

    // Interval 200: three silent ticks reach the allowed 600 ms.
    for (int tick = 1; tick <= 3; ++tick) {
        tele->onTeleReqPeriodicTick();
        EXPECT_EQ(tele->currentTeleFrameRecvOk(), tick < 3) << "tick " << tick;
    }
    ASSERT_TRUE(waitUntil([&] { return tele->teleReportState() == 1; }));
    EXPECT_FALSE(vehicle->alive());
    tele->feedTeleDataPFrame(frame(0x25, 36), linkMgr->udpSocketLink());
    EXPECT_EQ(tele->teleReportState(), 2);
    EXPECT_TRUE(vehicle->alive());
    QList<int> seen;
    for (const auto& args : state)
        seen << args.at(0).toInt();
    EXPECT_EQ(seen, (QList<int>{2, 1, 2}));
    EXPECT_EQ(alive.count(), 3);

    // Windows: one per sent request. The first saw a frame, the next two did not (the third was
    // settled after the vehicle went not alive and still counts); the open fourth is not settled.
    auto s = vehicle->linkLossStats();
    EXPECT_EQ(s.telemetryWindowCount, 4u);
    EXPECT_EQ(s.telemetryActiveWindowCount, 1u);
    EXPECT_EQ(s.telemetrySilentWindowCount, 2u);
    EXPECT_DOUBLE_EQ(s.telemetrySilentRate, 0.5);
    ASSERT_TRUE(peer.waitForDatagrams(4));

    // A vehicle that answers nothing any more (heartbeats only) is a lossy link, not a perfect one.
    for (int tick = 0; tick < 30; ++tick)
        tele->onTeleReqPeriodicTick();
    s = vehicle->linkLossStats();
    EXPECT_EQ(s.telemetryActiveWindowCount + s.telemetrySilentWindowCount + 1, s.telemetryWindowCount);
    EXPECT_GT(s.telemetrySilentRate, 0.9);

    // Disabling keeps the report state and resets the counters.
    const auto states = state.count();
    vehicle->setTeleReqEnable(false);
    EXPECT_EQ(state.count(), states);
    EXPECT_TRUE(tele->currentTeleFrameRecvOk());
}

// A station busy elsewhere reads its socket late: silence counts in the link's time, so a
// vehicle whose datagrams wait unread is not lost yet; once they are read, silence counts again.
TEST_F(TeleFixture, AVehicleIsNotLostNorAskedAgainWhileItsDatagramsWaitUnread)
{
    tele->feedTeleDataPFrame(frame(0x21, 52), linkMgr->udpSocketLink());
    ASSERT_TRUE(vehicle->alive());
    testsupport::UdpPeer late;
    ASSERT_TRUE(late.sendTo("late", linkMgr->udpSocketLink()->boundPort()));
    std::this_thread::sleep_for(std::chrono::milliseconds(800));  // older than the allowed 600 ms
    for (int tick = 0; tick < 3; ++tick)
        tele->onTeleReqPeriodicTick();
    EXPECT_TRUE(vehicle->alive()) << "its answer may be among the unread datagrams";
    EXPECT_EQ(tele->deferredRequests(), 3u) << "no request joins a backlog";
    testsupport::pumpEvents(100);  // read now: nothing from the vehicle was there
    ASSERT_EQ(linkMgr->receiveLagMs(), 0);
    tele->onTeleReqPeriodicTick();
    EXPECT_FALSE(vehicle->alive());
}
TEST_F(TeleFixture, OnlyThisVehiclesTelemetryCounts)
{
    QSignalSpy changed(tele.get(), &MavTelemetryController::teleDataChanged);
    tele->feedTeleDataPFrame(frame(0x21, 52, 7), linkMgr->udpSocketLink());
    tele->feedTeleDataPFrame(frame(0x27, 52), linkMgr->udpSocketLink());
    tele->feedTeleDataPFrame(frame(0x81, 1), linkMgr->udpSocketLink());
    tele->feedTeleDataPFrame(nullptr, linkMgr->udpSocketLink());
    EXPECT_EQ(changed.count(), 0);
    EXPECT_EQ(tele->teleReportState(), 0);

    // Too short for its record: still telemetry, the item takes the zero-filled record.
    auto shortAhrs = frame(0x21, 40);
    shortAhrs->data[30] = 0x00;
    tele->feedTeleDataPFrame(shortAhrs, linkMgr->udpSocketLink());
    EXPECT_EQ(changed.count(), 1);
    EXPECT_EQ(tele->teleReportState(), 2);
    EXPECT_EQ(tele->ahrsDataItem()->presAlt(), 0.0f);
}

TEST_F(TeleFixture, IntervalLimitsAndSendFailureWarnings)
{
    struct Case {
        int ms;
        int interval;
        int allowed;
    };
    for (const auto& c : std::vector<Case>{{49, 200, 600}, {1001, 200, 600}, {1000, 1000, 3000}, {50, 50, 150}}) {
        tele->setTeleReqInterval(c.ms);
        EXPECT_EQ(tele->teleReqInterval(), c.interval) << c.ms;
        EXPECT_EQ(tele->allowedLossDurationMs(), c.allowed) << c.ms;
    }

    linkMgr->closeUdpSocketLink();
    ASSERT_TRUE(waitUntil([&] { return !linkMgr->linkIsOpen(); }));
    LogCapture::instance().clear();
    const std::string warning =
        "telemetry loss stats: tele request send failed repeatedly, window denominator will not grow";
    for (int i = 0; i < 24; ++i)
        tele->onTeleReqPeriodicTick();
    EXPECT_EQ(LogCapture::instance().count(spdlog::level::warn, warning), 0);
    tele->onTeleReqPeriodicTick();
    EXPECT_EQ(LogCapture::instance().count(spdlog::level::warn, warning), 1);
    for (int i = 0; i < 24; ++i)
        tele->onTeleReqPeriodicTick();
    EXPECT_EQ(LogCapture::instance().count(spdlog::level::warn, warning), 1) << "once per 25 failures";
}

// Each flight status frame becomes one row with every element of the vehicle.
TEST_F(TeleFixture, FlightStatusFramesBecomeFlightDataRows)
{
    EXPECT_EQ(tele->dataFileTitle().count('\t') + 1, 1 + 126);
    for (int i = 0; i < 5; ++i)
        tele->feedTeleDataPFrame(flightStatus(6), linkMgr->udpSocketLink());
    tele->finishFlightData();
    // The settings keep the first data directory of the process, which earlier cases in it also
    // logged vehicle 6 into: this case's log is the one written last.
    const QString logs = GcsSettings::getInstance()->userDataPath() + "/flightData/";
    const auto files = QDir(logs).entryList({"Flight_6_*.xlsx"}, QDir::Files, QDir::Time);
    ASSERT_FALSE(files.isEmpty());
    QFile f(logs + files.first());
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const auto lines = QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 6);
    const auto cells = lines.last().split('\t');
    EXPECT_EQ(cells.size(), 1 + 126);
    EXPECT_TRUE(cells.contains("返航模式"));
    EXPECT_TRUE(cells.contains("1:02:05"));
}
