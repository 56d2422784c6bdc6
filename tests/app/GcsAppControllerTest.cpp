#define VELMORA_TEST_GCS_APPLICATION
#include "AppHarness.h"

#include "LogCapture.h"
#include "NfzZoneManager.h"
#include "OstUdpSocketLinkConfig.h"
#include "automation/GcsCliCommandRouter.h"
#include "automation/GcsCliOutcomeRecorder.h"
#include "automation/GcsCliServiceContext.h"
#include "vehicle/MultiVehicleManager.h"

#include <QFile>

#include <QSignalSpy>
#include <QThread>
#include <QTimer>
#include <QUdpSocket>

#include <gtest/gtest.h>

using testsupport::AppHarness;
using testsupport::waitUntil;

TEST(GcsAppController, CliConnectParametersAreCheckedInOrder)
{
    AppHarness app;
    struct Case {
        const char* params;
        const char* error;
    };
    const std::vector<Case> cases = {
        {R"([1,2])", "params must be a JSON object"},
        {R"({})", "Missing required field: type (\"serial\" or \"udp\")"},
        {R"({"type": "UDP", "sendPort": 1, "recvPort": 2})",
         "Unsupported link type: only \"serial\" and \"udp\" are supported"},
        {R"({"type": "serial", "port": 5, "baudrate": 9600})", "serial connect requires string field: port"},
        {R"({"type": "serial", "port": "  ", "baudrate": 115200})", "serial port name must not be empty"},
        {R"({"type": "serial", "port": "/dev/ttyS9", "baudrate": 9600.0})",
         "serial connect requires integer field: baudrate"},
        {R"({"type": "serial", "port": "/dev/ttyS9", "baudrate": "9600"})",
         "serial connect requires integer field: baudrate"},
        {R"({"type": "serial", "port": "/dev/ttyS9", "baudrate": 0})", "baudrate must be a positive integer"},
        {R"({"type": "udp", "sendPort": 1.5, "recvPort": 2})", "udp connect requires integer field: localPort (or sendPort)"},
        {R"({"type": "udp", "sendPort": 0})", "udp connect requires integer field: vehiclePort (or recvPort)"},
        {R"({"type": "udp", "localPort": 14600, "sendPort": 14601, "vehiclePort": 2})",
         "localPort and sendPort name the same port; pass one"},
        {R"({"type": "udp", "localPort": 70000, "vehiclePort": 2})", "localPort must be in range 1-65535"},
        {R"({"type": "udp", "sendPort": 0, "recvPort": 0})", "sendPort must be in range 1-65535"},
        {R"({"type": "udp", "sendPort": 65536, "recvPort": 2})", "sendPort must be in range 1-65535"},
        {R"({"type": "udp", "sendPort": 14550, "recvPort": 99999999999})", "recvPort must be in range 1-65535"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(app.ctrl->connectToLinkFromCliParams(nlohmann::json::parse(c.params)).toStdString(), c.error)
            << c.params;
    }
    EXPECT_TRUE(LinkManagerFactory::getInstance().allLinkManagers().isEmpty()) << "nothing was connected";
    app.ctrl->disconnectFromActiveLinkMgr();  // no link manager: harmless
    EXPECT_EQ(app.ctrl->gcsCliConnectionStatusData()["connectionMode"], "None");
}

TEST(GcsAppController, UdpConnectStoresTheConnectionAndDisconnectEndsLocalMode)
{
    AppHarness app;
    app.ctrl->setSilentLinkMs(300);
    QSignalSpy mode(app.ctrl, &GcsAppController::connectionModeChanged);
    QSignalSpy resp(app.ctrl, &GcsAppController::linkConnectResp);
    const quint16 port = testsupport::freeUdpPort();
    const std::string params = R"({"type": "udp", "sendPort": )" + std::to_string(port) + R"(, "recvPort": 15000})";
    EXPECT_EQ(app.ctrl->connectToLinkFromCliParams(nlohmann::json::parse(params)), QString());
    ASSERT_TRUE(waitUntil([&] { return resp.count() == 1; }));
    EXPECT_TRUE(resp.at(0).at(1).toBool());
    EXPECT_TRUE(app.ctrl->isConnected());
    EXPECT_EQ(app.ctrl->connectionMode(), GcsAppController::Local);
    ASSERT_EQ(mode.count(), 1);

    auto* s = GcsSettings::getInstance();
    EXPECT_EQ(s->getValue("connect/type").toInt(), 3);
    EXPECT_EQ(s->getValue("connect/udp/port").toInt(), port);
    EXPECT_EQ(s->getValue("connect/udp/devicePort").toInt(), 15000);
    EXPECT_EQ(s->getValue("connect/udp/mode").toString(), "unicast");

    const auto status = app.ctrl->gcsCliConnectionStatusData();
    EXPECT_EQ(status["connectionMode"], "Local");
    EXPECT_EQ(status["connected"], true);
    EXPECT_TRUE(status["activeVehicleId"].is_null());
    // Nothing sends to the port: the status says so rather than look like a working link.
    const std::string note = "no vehicle heard on port " + std::to_string(port) +
                             " yet: check that the vehicles send to this station's address and port";
    EXPECT_TRUE(waitUntil([&] { return app.ctrl->gcsCliConnectionStatusData()["note"] == note; }));

    // Connecting again on the same key closes the open link first and reopens.
    EXPECT_EQ(app.ctrl->connectToLinkFromCliParams(nlohmann::json::parse(params)), QString());
    ASSERT_TRUE(waitUntil([&] { return resp.count() == 2; }));
    EXPECT_TRUE(resp.at(1).at(1).toBool()) << "the old socket was closed before rebinding the port";
    EXPECT_EQ(LinkManagerFactory::getInstance().allLinkManagers().size(), 1);

    app.ctrl->disconnectFromActiveLinkMgr();
    EXPECT_EQ(app.ctrl->connectionMode(), GcsAppController::Local) << "settles on the next event-loop turn";
    ASSERT_TRUE(waitUntil([&] { return app.ctrl->connectionMode() == GcsAppController::None; }));
    EXPECT_EQ(mode.count(), 2);
    EXPECT_FALSE(app.ctrl->isConnected());
}

TEST(GcsAppController, FailedOpenKeepsModeAndWritesNothing)
{
    AppHarness app;
    QUdpSocket holder;
    ASSERT_TRUE(holder.bind(QHostAddress::AnyIPv4, 0));
    QSignalSpy resp(app.ctrl, &GcsAppController::linkConnectResp);
    testsupport::LogCapture::instance().clear();
    app.ctrl->connectToLink(nullptr, "");
    EXPECT_EQ(testsupport::LogCapture::instance().count(spdlog::level::warn, "<app> connectToLink: config is null"), 1);

    app.ctrl->connectToLink(std::make_shared<OstUdpSocketLinkConfig>(holder.localPort(), 0), "");
    ASSERT_TRUE(waitUntil([&] { return resp.count() == 1; }));
    EXPECT_FALSE(resp.at(0).at(1).toBool());
    EXPECT_EQ(app.ctrl->connectionMode(), GcsAppController::None);
    EXPECT_FALSE(GcsSettings::getInstance()->getValue("connect/type").isValid());
}

namespace {

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

QByteArray zones(std::initializer_list<std::pair<int, double>> circles)
{
    nlohmann::json doc = nlohmann::json::array();
    for (const auto& [id, radius] : circles)
        doc.push_back({{"id", id}, {"type", "circle"}, {"center", {22.5 + id * 0.01, 113.9}}, {"radius", radius}});
    return QByteArray::fromStdString(doc.dump());
}

}  // namespace

// At start the zone set comes from the cache, or from its backup when the cache is broken or
// gone; nfz.status says which, when it was written, and warns when it is the backup.
TEST(GcsAppController, StartLoadsTheBackupOfABrokenOrMissingZoneCacheAndSaysSo)
{
    enum Cache { Good, Broken, Missing };
    for (const Cache cache : {Good, Broken, Missing}) {
        SCOPED_TRACE(int(cache));
        AppHarness app;
        GcsCliOutcomeRecorder outcomes(gcsApp()->appCtrler());
        const QString path = GcsSettings::getInstance()->appCachePath() + "/nfz_cache.json";
        writeFile(path + ".bak", zones({{1, 50}, {2, 50}}));
        if (cache != Missing)
            writeFile(path, cache == Good ? zones({{1, 50}, {2, 50}, {3, 50}}) : QByteArray("[{\"id\":"));
        testsupport::pumpEvents(100);
        const auto r = GcsCliCommandRouter::dispatch(GcsCliServiceContext{gcsApp()->appCtrler(), &outcomes}, {{"method", "nfz.status"}});
        ASSERT_EQ(r["ok"], true) << r.dump();
        const auto& set = r["data"]["zoneSet"];
        EXPECT_EQ(r["data"]["zoneCount"], cache == Good ? 3 : 2);
        EXPECT_EQ(set["source"], cache == Good ? "cache" : "backup") << set.dump();
        EXPECT_EQ(set["file"], (cache == Good ? path : path + ".bak").toStdString());
        EXPECT_TRUE(set["time"].is_string());
        EXPECT_EQ(set["warning"].is_string(), cache != Good) << set.dump();
    }
}

// An import that removes or shrinks zones is refused with their list unless allowed; the list
// stays in nfz.status.
TEST(GcsAppController, ZoneImportThatTakesZonesAwayIsRefusedUnlessAllowed)
{
    AppHarness app;
    GcsCliOutcomeRecorder outcomes(gcsApp()->appCtrler());
    auto call = [&](const std::string& method, nlohmann::json params) {
        return GcsCliCommandRouter::dispatch(GcsCliServiceContext{gcsApp()->appCtrler(), &outcomes}, {{"method", method}, {"params", params}});
    };
    const QString dir = testsupport::makeTempDir("zones");
    const struct {
        QByteArray doc;
        bool allowShrink;
        bool ok;
        std::vector<int> removed, smaller;
    } rows[] = {
        {zones({{1, 50}, {2, 50}, {3, 50}, {4, 50}}), false, true, {}, {}},
        {zones({{1, 50}, {2, 50}, {3, 50}, {4, 50}, {5, 60}}), false, true, {}, {}},  // more and larger
        {zones({{1, 50}}), false, false, {2, 3, 4, 5}, {}},
        {zones({{1, 50}, {2, 50}, {3, 50}, {4, 50}, {5, 40}}), false, false, {}, {5}},
        {zones({{1, 50}, {2, 50}, {3, 50}, {4, 50}, {5, 40}}), true, true, {}, {5}},
    };
    size_t held = 0;
    for (const auto& row : rows) {
        writeFile(dir + "/in.json", row.doc);
        const auto r =
            call("nfz.import", {{"path", (dir + "/in.json").toStdString()}, {"allowShrink", row.allowShrink}});
        const auto expected = NfzZoneManager::checkDocument(row.doc);
        EXPECT_EQ(r["ok"], row.ok) << r.dump();
        const auto status = call("nfz.status", nlohmann::json::object())["data"];
        if (!row.ok) {
            EXPECT_EQ(r["data"]["removedZoneIds"], nlohmann::json(row.removed)) << r.dump();
            EXPECT_EQ(r["data"]["smallerZones"].size(), row.smaller.size()) << r.dump();
            EXPECT_EQ(status["zoneCount"], held) << "the set is kept";
        } else {
            EXPECT_EQ(status["zoneCount"], *expected);
            held = *expected;
            EXPECT_EQ(status["zoneSet"]["source"], "cache");
        }
        if (!row.removed.empty() || !row.smaller.empty()) {
            EXPECT_EQ(status["lastShrink"]["applied"], row.ok) << status.dump();
            EXPECT_EQ(status["lastShrink"]["operation"], "import");
            for (const int id : row.smaller)
                EXPECT_EQ(status["lastShrink"]["smallerZones"][0]["id"], id) << status.dump();
        }
    }
}

TEST(GcsApplication, WorkThatHoldsTheMainLoopIsCountedOnceAndNamesItsOwner)
{
    AppHarness app;
    testsupport::LogCapture::instance().clear();
    GcsApplication* gcs = gcsApp();
    gcs->setStallThresholdMs(100);
    const auto before = gcs->loopStalls();
    QObject owner;
    QTimer slow(&owner);
    slow.setSingleShot(true);
    bool fastDone = false;
    bool slowDone = false;
    // The time goes in a nested delivery: it is part of the one stall, not a second.
    struct SlowReceiver : QObject {
        bool event(QEvent*) override
        {
            QThread::msleep(250);
            return true;
        }
    } nested;
    QObject::connect(&slow, &QTimer::timeout, [&] {
        QEvent event(QEvent::User);
        QCoreApplication::sendEvent(&nested, &event);
        slowDone = true;
    });
    QTimer::singleShot(0, [&] { fastDone = true; });
    slow.start(0);
    ASSERT_TRUE(waitUntil([&] { return fastDone && slowDone; }, 2000));
    QCoreApplication::processEvents();
    const auto after = gcs->loopStalls();
    EXPECT_EQ(after.count - before.count, 1u);
    EXPECT_GE(after.longestSeconds, 0.25);
    EXPECT_EQ(
        testsupport::LogCapture::instance().countContaining(spdlog::level::warn, "by event 1 to QTimer of QObject"), 1);
    gcs->setStallThresholdMs(GcsApplication::kDefaultStallThresholdMs);
}
