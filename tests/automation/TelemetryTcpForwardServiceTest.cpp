#include "app/GcsSettings.h"
#include "automation/RawEb90FrameTranslator.h"
#include "automation/TelemetryTcpForwardService.h"
#include "protocol/MavProtocolProcesser.h"

#include "MavProtoHelper.h"
#include "OstTcpServer.h"
#include "TestSupport.h"

#include <QTcpSocket>

#include <gtest/gtest.h>

using testsupport::waitUntil;

namespace {

QByteArray wire(uint8_t cmd, std::vector<uint8_t> data, uint8_t rx = 0x81, uint8_t seq = 0)
{
    _MavPFrame_t f;
    MavProtoHelper::packMavProtoFrame(f, 3, rx, seq, cmd, data);
    std::vector<uint8_t> out;
    MavProtoHelper::mavPFrameToSendBytes(out, f);
    return QByteArray(reinterpret_cast<const char*>(out.data()), qsizetype(out.size()));
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

TEST(RawEb90FrameTranslator, OnlyTelemetryCommandsPass)
{
    RawEb90FrameTranslator t;
    struct Case {
        const char* name;
        QByteArray frame;
        bool forwarded;
    };
    QByteArray nineBytes = wire(0x25, {}).left(9);
    const std::vector<Case> cases = {
        {"heartbeat", wire(0x00, {}), false},
        {"parameter reply", wire(0x01, std::vector<uint8_t>(48, 1)), false},
        {"request all", wire(0x20, {}), true},
        {"flight status", wire(0x25, std::vector<uint8_t>(36, 7)), true},
        {"reserved data", wire(0x2F, {1}), true},
        {"route download", wire(0x40, {0}), false},
        {"nine bytes", nineBytes, false},
    };
    for (const auto& c : cases) {
        const auto out = t.translate(c.frame, nullptr);
        EXPECT_EQ(out.has_value(), c.forwarded) << c.name;
        if (out) {
            EXPECT_EQ(*out, c.frame) << c.name << " is forwarded unchanged";
        }
    }
}

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
        const QByteArray tele = wire(uint8_t(0x21 + i % 5), std::vector<uint8_t>(20 + i % 50, uint8_t(i)), 0x81, uint8_t(i));
        stream += wire(0x00, {}) + tele + wire(0x01, std::vector<uint8_t>(48, 2)) + wire(0x22, {9}, 0x05);
        expected += tele;
    }
    for (qsizetype at = 0; at < stream.size(); at += 700)
        processer.handleUdpLinkData("127.0.0.1:1", stream.mid(at, 700), nullptr);
    ASSERT_TRUE(waitUntil([&] { return a.received.size() >= expected.size() && b.received.size() >= expected.size(); }));
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
