#include "OstSerialPortLink.h"
#include "OstSerialPortLinkConfig.h"

#include "LogCapture.h"
#include "LoopbackPeers.h"
#include "TestSupport.h"

#include <QSerialPort>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <thread>

using testsupport::LogCapture;
using testsupport::waitUntil;

namespace {

bool openLink(OstSerialPortLink& link, std::shared_ptr<OstLinkAbstractConfig> config)
{
    QSignalSpy spy(&link, &OstAbstractLink::openLinkResp);
    link.open(std::move(config));
    if (!waitUntil([&] { return spy.count() == 1; }))
        return false;
    return spy.at(0).at(0).toBool();
}

QByteArray readUntil(QSerialPort& port, int n)
{
    QByteArray got;
    waitUntil([&] {
        got += port.readAll();
        return got.size() >= n;
    });
    return got;
}

}  // namespace

TEST(OstSerialPortLink, TalksOverAPseudoTerminalFromAnyThreadAndReopens)
{
    testsupport::SocatPty pty;
    ASSERT_TRUE(pty.start()) << "socat is needed for serial tests";

    QSerialPort peer(pty.endB());
    ASSERT_TRUE(peer.open(QIODevice::ReadWrite));

    OstSerialPortLink link;
    QByteArray received;
    link.registerRecvdDataHandleFunc([&](QByteArray d) { received += d; });
    auto config = std::make_shared<OstSerialPortLinkConfig>(pty.endA(), 115200);

    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round == 0 ? "first open" : "reopen");
        received.clear();
        ASSERT_TRUE(openLink(link, config));

        peer.write("\xEB\x90 from vehicle");
        ASSERT_TRUE(waitUntil([&] { return received.size() >= 15; }));
        EXPECT_EQ(received, QByteArray("\xEB\x90 from vehicle"));

        EXPECT_TRUE(link.sendData("main thread;"));
        EXPECT_EQ(readUntil(peer, 12), QByteArray("main thread;"));

        // A QSerialPort written from a foreign thread sends nothing; the link must hand over.
        std::thread writer([&] { EXPECT_TRUE(link.sendData("worker thread;")); });
        writer.join();
        EXPECT_EQ(readUntil(peer, 14), QByteArray("worker thread;"));

        link.close();
        EXPECT_FALSE(link.isOpen());
        EXPECT_FALSE(link.sendData("closed"));
    }
}

TEST(OstSerialPortLink, MissingDeviceOrWrongConfigAnswersFalse)
{
    struct Case {
        const char* name;
        std::shared_ptr<OstLinkAbstractConfig> config;
        const char* log;
    };
    const std::vector<Case> cases = {
        {"missing device", std::make_shared<OstSerialPortLinkConfig>("/dev/does-not-exist-velmora", 57600),
         "<Link> serial open failed: /dev/does-not-exist-velmora"},
        {"no config", nullptr, "<Link> serial open failed: no serial port config"},
    };
    for (const auto& c : cases) {
        LogCapture::instance().clear();
        OstSerialPortLink link;
        EXPECT_FALSE(openLink(link, c.config)) << c.name;
        EXPECT_FALSE(link.isOpen()) << c.name;
        EXPECT_EQ(LogCapture::instance().countContaining(spdlog::level::err, c.log), 1) << c.name;
    }
}
