#define VELMORA_TEST_GCS_APPLICATION
#include "AppHarness.h"

#include "LogCapture.h"
#include "OstUdpSocketLinkConfig.h"
#include "vehicle/MultiVehicleManager.h"

#include <QSignalSpy>
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
        {R"({"type": "udp", "sendPort": 1.5, "recvPort": 2})", "udp connect requires integer field: sendPort"},
        {R"({"type": "udp", "sendPort": 0})", "udp connect requires integer field: recvPort"},
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
