// The telemetry controller of a real vehicle controller whose link is a UDP socket to a local
// peer. The tool box's timer thread is never started, so the test drives the periodic tick
// itself, deterministically.

#include "app/GcsServerConfig.h"
#include "app/GcsSettings.h"
#include "app/GcsToolBox.h"
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
#include "OstUdpSocketLink.h"
#include "OstUdpSocketLinkConfig.h"
#include "TestSupport.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QSignalSpy>

#include <gtest/gtest.h>

using testsupport::LogCapture;
using testsupport::waitUntil;

namespace {

class TeleFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        dataDir = testsupport::makeTempDir("data");
        GcsSettings::getInstance()->init(testsupport::makeTempDir("cache"), dataDir);
        toolBox = std::make_shared<GcsToolBox>(GcsServerConfig::instance());
        linkMgr = std::make_shared<LinkManager>();
        QSignalSpy open(linkMgr.get(), &LinkManager::udpLinkOpenResp);
        linkMgr->openUdpSocketLink(std::make_shared<OstUdpSocketLinkConfig>(testsupport::freeUdpPort(), 0));
        ASSERT_TRUE(waitUntil([&] { return open.count() == 1; }));
        vehicle = std::make_shared<VehicleController>(6, linkMgr, nullptr);
        vehicle->setAddress(peer.address());
        vehicle->setup(toolBox);
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
        r.totalFlightTime = 3725;
        auto f = std::make_shared<_MavPFrame_t>();
        MavProtoTeleProcesser::packFlightStatusDataPFrame(*f, 6, 0, r);
        return f;
    }

    QString dataDir;
    testsupport::UdpPeer peer;
    std::shared_ptr<GcsToolBox> toolBox;
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
    const std::string warning = "telemetry loss stats: tele request send failed repeatedly, window denominator will not grow";
    for (int i = 0; i < 24; ++i)
        tele->onTeleReqPeriodicTick();
    EXPECT_EQ(LogCapture::instance().count(spdlog::level::warn, warning), 0);
    tele->onTeleReqPeriodicTick();
    EXPECT_EQ(LogCapture::instance().count(spdlog::level::warn, warning), 1);
    for (int i = 0; i < 24; ++i)
        tele->onTeleReqPeriodicTick();
    EXPECT_EQ(LogCapture::instance().count(spdlog::level::warn, warning), 1) << "once per 25 failures";
}

TEST_F(TeleFixture, FlightDataRowsAreWrittenInBatchesOfFive)
{
    const QString title = tele->dataFileTitle();
    const int columns = int(title.count('\t')) + 1;
    EXPECT_EQ(columns, 1 + 126);

    QString path;
    auto fileLines = [&] {
        const auto files = QDir(dataDir + "/flightData").entryList({"Flight_6_*.xlsx"}, QDir::Files);
        if (files.size() != 1)
            return QStringList();
        path = dataDir + "/flightData/" + files.first();
        QFile f(path);
        f.open(QIODevice::ReadOnly);
        return QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
    };
    ASSERT_TRUE(waitUntil([&] { return fileLines().size() == 1; })) << "the title is written at once";

    for (int i = 0; i < 4; ++i)
        tele->feedTeleDataPFrame(flightStatus(6), linkMgr->udpSocketLink());
    EXPECT_EQ(tele->batchedRowCount(), 4);
    testsupport::pumpEvents(50);
    EXPECT_EQ(fileLines().size(), 1);
    tele->feedTeleDataPFrame(flightStatus(6), linkMgr->udpSocketLink());
    EXPECT_EQ(tele->batchedRowCount(), 0);
    ASSERT_TRUE(waitUntil([&] { return fileLines().size() == 6; }));
    const auto lines = fileLines();
    for (int i = 1; i < lines.size(); ++i) {
        const auto cells = lines.at(i).split('\t');
        ASSERT_EQ(cells.size(), columns) << "row " << i;
        EXPECT_TRUE(cells.contains("返航模式"));
        EXPECT_TRUE(cells.contains("1:02:05"));
    }
}

TEST_F(TeleFixture, FlightLogsNeverOverwriteAndKeepTheirLastRows)
{
    const QString dir = dataDir + "/flightData";
    auto logs = [&] { return QDir(dir).entryList({"Flight_6_*.xlsx"}, QDir::Files, QDir::Name); };
    auto lineCount = [&](const QString& name) {
        QFile f(dir + "/" + name);
        return f.open(QIODevice::ReadOnly) ? int(QString::fromUtf8(f.readAll()).count('\n')) : -1;
    };
    ASSERT_TRUE(waitUntil([&] { return logs().size() == 1; }));
    // Whatever second the next vehicle's log starts in, a file of that name already exists.
    const QDateTime now = QDateTime::currentDateTime();
    QStringList placeholders;
    for (int s = 0; s < 3; ++s) {
        const QString name = QStringLiteral("Flight_6_%1.xlsx").arg(now.addSecs(s).toString("yyyyMMdd_hhmmss"));
        QFile f(dir + "/" + name);
        if (!f.exists() && f.open(QIODevice::WriteOnly)) {
            f.write("keep\n");
            placeholders << name;
        }
    }
    for (int i = 0; i < 3; ++i)
        tele->feedTeleDataPFrame(flightStatus(6), linkMgr->udpSocketLink());
    const QString first = logs().first();

    // The same id again (a reconnect, an id change back).
    auto again = std::make_shared<VehicleController>(6, linkMgr, nullptr);
    again->setup(toolBox);
    vehicle->retire();
    EXPECT_EQ(lineCount(first), 1 + 3) << "the rows still batched are written at teardown";
    again->retire();
    const auto all = logs();
    EXPECT_EQ(all.size(), 2 + placeholders.size());
    for (const auto& name : placeholders)
        EXPECT_EQ(lineCount(name), 1) << name.toStdString() << " was overwritten";
    const auto second = std::find_if(all.begin(), all.end(), [](const QString& n) { return n.endsWith("_2.xlsx"); });
    ASSERT_NE(second, all.end());
    EXPECT_EQ(lineCount(*second), 1) << "its title";
}

// No data directory (settings never initialised) or a file where the folder belongs: telemetry
// goes on, nothing is written, and the log says why.
TEST(TelemetryController, WithoutAFlightDataDirectoryOnlyTheWriterStops)
{
    for (const bool blocked : {false, true}) {
        if (blocked) {
            const QString dataDir = testsupport::makeTempDir("data");
            QFile blocker(dataDir + "/flightData");  // CI runs as root: a file, not a permission, blocks it
            ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
            GcsSettings::getInstance()->init(testsupport::makeTempDir("cache"), dataDir);
        }
        LogCapture::instance().clear();
        auto vehicle = std::make_shared<VehicleController>(2, nullptr, nullptr);
        vehicle->setup(std::make_shared<GcsToolBox>(GcsServerConfig::instance()));
        EXPECT_TRUE(waitUntil([&] {
            return blocked ? LogCapture::instance().countContaining(spdlog::level::warn, "flightData filePath dir is not exist") == 1
                           : LogCapture::instance().countContaining(spdlog::level::err, "flight data of vehicle 2 is not recorded") == 1;
        })) << blocked;
        auto f = std::make_shared<_MavPFrame_t>();
        MavProtoTeleProcesser::packFlightStatusDataPFrame(*f, 2, 0, _MavProtoFlightStatusData_t{});
        for (int i = 0; i < 6; ++i)
            vehicle->teleCtrler()->feedTeleDataPFrame(f, nullptr);
        EXPECT_EQ(vehicle->teleCtrler()->teleReportState(), 2) << "telemetry goes on";
        EXPECT_FALSE(QDir("/flightData").exists());
    }
}
