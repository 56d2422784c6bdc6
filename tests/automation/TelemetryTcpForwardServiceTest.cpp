#include "settings/GcsSettings.h"
#include "automation/RawEb90FrameTranslator.h"
#include "automation/TelemetryTcpForwardService.h"
#include "protocol/MavProtocolProcesser.h"

#include "FrameWire.h"
#include "OstTcpServer.h"
#include "TestSupport.h"

#include <QTcpSocket>

#include <gtest/gtest.h>

using testsupport::waitUntil;

namespace {

QByteArray wire(uint8_t cmd, const std::vector<uint8_t>& data, uint8_t rx = 0x81, uint8_t seq = 0)
{
    return testsupport::wire(3, rx, seq, cmd, data);
}

// A stalled client is dropped by the server itself (OstTcpServerTest); here every client reads.
struct Client {
    QTcpSocket socket;
    QByteArray received;
    explicit Client(quint16 port)
    {
        socket.connectToHost(QHostAddress::LocalHost, port);
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] { received += socket.readAll(); });
    }
};

class ForwardFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        GcsSettings::getInstance()->init(testsupport::makeTempDir("cache"), testsupport::makeTempDir("data"));
        port = testsupport::freeTcpPort();
        GcsSettings::getInstance()->setTelemetryTcpForwardPort(port);
        GcsSettings::getInstance()->setTelemetryTcpForwardEnabled(true);
        service.setFrameTranslator(translator);
        service.attachProtocolProcesser(&processer);
        service.attachProtocolProcesser(&processer);  // twice: frames must still go out once
    }

    quint16 port = 0;
    MavProtocolProcesser processer;
    std::shared_ptr<RawEb90FrameTranslator> translator = std::make_shared<RawEb90FrameTranslator>();
    TelemetryTcpForwardService service;
};

}  // namespace

TEST_F(ForwardFixture, TwoClientsReceiveEveryTelemetryFrameInOrderAndNothingElse)
{
    service.startFromSettings();
    ASSERT_TRUE(service.server()->isListening());
    Client a(port);
    Client b(port);
    ASSERT_TRUE(waitUntil([&] { return service.server()->clientCount() == 2; }));

    QByteArray stream;
    QByteArray expected;
    for (int i = 0; i < 200; ++i) {
        // Telemetry commands 0x21..0x25 and 0x2F pass unchanged; heartbeats, parameter and route
        // replies, and frames for another receiver do not.
        const QByteArray tele = wire(uint8_t(i % 6 == 5 ? 0x2F : 0x21 + i % 6),
                                     std::vector<uint8_t>(20 + i % 50, uint8_t(i)), 0x81, uint8_t(i));
        stream +=
            wire(0x00, {}) + tele + wire(0x01, std::vector<uint8_t>(48, 2)) + wire(0x40, {0}) + wire(0x22, {9}, 0x05);
        expected += tele;
    }
    for (qsizetype at = 0; at < stream.size(); at += 700)
        processer.handleUdpLinkData("127.0.0.1:1", stream.mid(at, 700), nullptr);
    ASSERT_TRUE(
        waitUntil([&] { return a.received.size() >= expected.size() && b.received.size() >= expected.size(); }));
    testsupport::pumpEvents(50);
    EXPECT_EQ(a.received, expected);
    EXPECT_EQ(b.received, expected);
}

TEST_F(ForwardFixture, SettingsDecideListeningOnlyWhenItStarts)
{
    auto* settings = GcsSettings::getInstance();
    settings->setTelemetryTcpForwardEnabled(false);
    service.startFromSettings();
    EXPECT_FALSE(service.server()->isListening());

    settings->setTelemetryTcpForwardEnabled(true);
    service.applyFromSettings();
    ASSERT_TRUE(service.server()->isListening());
    EXPECT_EQ(service.server()->serverPort(), port);

    settings->setTelemetryTcpForwardPort(port == 50000 ? 50001 : 50000);
    service.applyFromSettings();
    EXPECT_EQ(service.server()->serverPort(), port) << "a port change waits for a restart";

    settings->setTelemetryTcpForwardEnabled(false);
    service.applyFromSettings();
    EXPECT_FALSE(service.server()->isListening());
}
