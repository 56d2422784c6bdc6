#include "OstUdpSocketLink.h"
#include "OstUdpSocketLinkConfig.h"
#include "OstSerialPortLinkConfig.h"

#include "LogCapture.h"
#include "LoopbackPeers.h"
#include "TestSupport.h"

#include <QSignalSpy>
#include <QTimer>
#include <QUdpSocket>
#include "OstDatagramSocket.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <unistd.h>

#include <thread>

using testsupport::LogCapture;
using testsupport::UdpPeer;
using testsupport::waitUntil;

namespace {

bool openLink(OstUdpSocketLink& link, std::shared_ptr<OstLinkAbstractConfig> config)
{
    QSignalSpy spy(&link, &OstAbstractLink::openLinkResp);
    link.open(std::move(config));
    EXPECT_EQ(spy.count(), 0) << "open answers asynchronously";
    if (!waitUntil([&] { return spy.count() == 1; }))
        return false;
    return spy.at(0).at(0).toBool();
}

}  // namespace

TEST(OstUdpSocketLink, ReceivesWithSenderAndAnswersTheRightPeer)
{
    OstUdpSocketLink link;
    QStringList senders;
    QList<QByteArray> datagrams;
    link.registerRecvdDatagramHandleFunc(
        [&](QString sender, QByteArray data) { senders << sender, datagrams << data; });
    const quint16 port = testsupport::freeUdpPort();
    ASSERT_TRUE(openLink(link, std::make_shared<OstUdpSocketLinkConfig>(port, 0)));
    EXPECT_TRUE(link.isOpen());
    EXPECT_EQ(link.boundPort(), port);

    // No peer heard and no broadcast address: nowhere to send.
    LogCapture::instance().clear();
    EXPECT_FALSE(link.broadcastData("x", ""));
    EXPECT_EQ(LogCapture::instance().countContaining(spdlog::level::warn, "<Link> UDP send skipped"), 1);

    UdpPeer vehicle;
    UdpPeer other;
    ASSERT_TRUE(vehicle.sendTo("hello", port));
    ASSERT_TRUE(waitUntil([&] { return datagrams.size() == 1; }));
    EXPECT_EQ(senders, QStringList{vehicle.address()}) << "IPv4 sender in host:port form";
    EXPECT_EQ(datagrams, QList<QByteArray>{"hello"});

    EXPECT_TRUE(link.broadcastData("to-last-peer", ""));
    EXPECT_TRUE(link.sendData("send-data"));
    EXPECT_TRUE(link.broadcastData("to-other", other.address()));
    ASSERT_TRUE(vehicle.waitForDatagrams(2));
    ASSERT_TRUE(other.waitForDatagrams(1));
    EXPECT_EQ(vehicle.datagrams(), (QList<QByteArray>{"to-last-peer", "send-data"}));
    EXPECT_EQ(other.datagrams(), (QList<QByteArray>{"to-other"}));

    for (const char* bad : {"nonsense", "127.0.0.1:0", "127.0.0.1:70000", "127.0.0.1:abc"}) {
        EXPECT_FALSE(link.broadcastData("x", bad)) << bad;
    }

    // Written from a foreign thread: handed over to the link's thread and still delivered.
    std::thread writer([&] {
        for (int i = 0; i < 5; ++i)
            link.broadcastData(QByteArray("t") + QByteArray::number(i), other.address());
    });
    writer.join();
    ASSERT_TRUE(other.waitForDatagrams(6));
    EXPECT_EQ(other.datagrams().mid(1), (QList<QByteArray>{"t0", "t1", "t2", "t3", "t4"}));

    // A close asked for by the caller emits nothing and stops sending.
    QSignalSpy closed(&link, &OstAbstractLink::linkClosed);
    link.close();
    EXPECT_FALSE(link.isOpen());
    EXPECT_FALSE(link.sendData("late"));
    EXPECT_EQ(closed.count(), 0);
}

TEST(OstUdpSocketLink, BroadcastAddressAndDeviceRecvPortDecideEmptyDestinations)
{
    UdpPeer device;
    auto config = std::make_shared<OstUdpSocketLinkConfig>(testsupport::freeUdpPort(), device.port());
    config->setBroadcastAddress("127.0.0.1");
    OstUdpSocketLink link;
    ASSERT_TRUE(openLink(link, config));
    EXPECT_TRUE(link.sendData("bare-host"));
    config->setBroadcastAddress(device.address());
    EXPECT_TRUE(link.broadcastData("host-port", ""));
    ASSERT_TRUE(device.waitForDatagrams(2));
    EXPECT_EQ(device.datagrams(), (QList<QByteArray>{"bare-host", "host-port"}));
}

TEST(OstUdpSocketLink, OpenFailuresAnswerFalseWithAnErrorLine)
{
    QUdpSocket holder;
    ASSERT_TRUE(holder.bind(QHostAddress::AnyIPv4, 0));

    struct Case {
        const char* name;
        std::shared_ptr<OstLinkAbstractConfig> config;
        const char* log;
    };
    auto multicastBadGroup = std::make_shared<OstUdpSocketLinkConfig>(testsupport::freeUdpPort(), 0);
    multicastBadGroup->setLinkMode(OstUdpSocketLinkConfig::Multicast);
    multicastBadGroup->setMulticastGroupAddress("10.1.2.3");
    const std::vector<Case> cases = {
        {"port in use", std::make_shared<OstUdpSocketLinkConfig>(holder.localPort(), 0),
         "<Link> UDP bind failed on port"},
        {"serial config", std::make_shared<OstSerialPortLinkConfig>("/dev/null", 9600),
         "<Link> UDP open failed: no UDP socket config"},
        {"no config", nullptr, "<Link> UDP open failed: no UDP socket config"},
        {"group is not multicast", multicastBadGroup, "<Link> UDP join of multicast group '10.1.2.3' failed"},
    };
    for (const auto& c : cases) {
        LogCapture::instance().clear();
        OstUdpSocketLink link;
        EXPECT_FALSE(openLink(link, c.config)) << c.name;
        EXPECT_FALSE(link.isOpen()) << c.name;
        EXPECT_EQ(LogCapture::instance().countContaining(spdlog::level::err, c.log), 1) << c.name;
    }
}

TEST(OstUdpSocketLink, MulticastModeJoinsTheGroupAndSharesThePort)
{
    const quint16 port = testsupport::freeUdpPort();
    auto config = std::make_shared<OstUdpSocketLinkConfig>(port, 0);
    config->setLinkMode(OstUdpSocketLinkConfig::Multicast);
    config->setMulticastGroupAddress("239.255.43.21");
    OstUdpSocketLink first;
    OstUdpSocketLink second;
    if (!openLink(first, config))
        GTEST_SKIP() << "this machine has no multicast-capable interface";
    // Delivery depends on the machine's multicast routing; the join and the shared port are checked.
    ASSERT_TRUE(openLink(second, config)) << "multicast links share their port";
}

TEST(OstUdpSocketLink, OnlyASocketThatStopsBeingUsableClosesTheLink)
{
    OstUdpSocketLink link;
    ASSERT_TRUE(openLink(link, std::make_shared<OstUdpSocketLinkConfig>(testsupport::freeUdpPort(), 0)));
    auto* socket = link.findChild<OstDatagramSocket*>();
    ASSERT_TRUE(socket);
    const int fd = socket->descriptor();
    QSignalSpy closed(&link, &OstAbstractLink::linkClosed);
    QSignalSpy readErrors(socket, &OstDatagramSocket::passingError);
    int sendErrors = 0;

    // A vehicle that is off answers with ICMP port unreachable; Linux reports it on a socket
    // without a fixed peer only with IP_RECVERR (as Windows always does).
    const int on = 1;
    ASSERT_EQ(::setsockopt(fd, IPPROTO_IP, IP_RECVERR, &on, sizeof on), 0);
    const QString nobody = QStringLiteral("127.0.0.1:%1").arg(testsupport::freeUdpPort());
    LogCapture::instance().clear();
    ASSERT_TRUE(waitUntil([&] {
        sendErrors += link.broadcastData("ping", nobody) ? 0 : 1;
        return readErrors.size() + sendErrors >= 3;
    }));
    EXPECT_TRUE(link.isOpen());
    EXPECT_EQ(closed.count(), 0);
    EXPECT_EQ(LogCapture::instance().countContaining(spdlog::level::warn, "<Link> UDP"), 1) << "no flood";

    // The descriptor stops being a socket.
    const int devNull = ::open("/dev/null", O_RDWR);
    ASSERT_GE(::dup2(devNull, fd), 0);
    ::close(devNull);
    EXPECT_FALSE(link.broadcastData("ping", nobody));
    EXPECT_FALSE(link.isOpen());
    EXPECT_FALSE(link.sendData("late"));
    EXPECT_EQ(closed.count(), 1);
}

// A backlog is read in bounded turns: a timer that falls due during one runs before the next,
// and the link says how far behind its socket it is until the backlog is read. A turn is bounded
// by count when datagrams are cheap and by time when they are not (a join costs milliseconds).
TEST(OstUdpSocketLink, ABacklogIsReadInTurnsAndShowsHowFarBehindTheLinkIs)
{
    const int perTurn = OstDatagramSocket::kReadBatch * OstDatagramSocket::kBatchesPerTurn;
    struct Case {
        int costMs;  // what handling one datagram takes
        int maxTurn;  // the most a turn may hand over
    };
    const int slowCost = 4;
    const int slowTurn = (OstDatagramSocket::kTurnBudgetMs / slowCost + 1) * OstDatagramSocket::kReadBatch;
    for (const Case c : {Case{0, perTurn}, Case{slowCost, slowTurn}}) {
        OstUdpSocketLink link;
        int handled = 0;
        int handledAtTimer = -1;
        qint64 lagAtTimer = -1;
        link.registerRecvdDatagramHandleFunc([&](QString, QByteArray) {
            if (c.costMs > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(c.costMs));
            if (++handled == 1)
                QTimer::singleShot(0, [&] {
                    handledAtTimer = handled;
                    lagAtTimer = link.receiveLagMs();
                });
        });
        const quint16 port = testsupport::freeUdpPort();
        ASSERT_TRUE(openLink(link, std::make_shared<OstUdpSocketLinkConfig>(port, 0)));
        EXPECT_EQ(link.receiveLagMs(), 0);

        UdpPeer vehicle;
        const int sent = c.costMs > 0 ? slowTurn + 8 : perTurn + 40;  // within the socket's buffer
        for (int i = 0; i < sent; ++i)
            vehicle.sendTo(QByteArray(32, 'x'), port);
        // The process was busy: the datagrams wait in the socket before the loop runs again.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        ASSERT_TRUE(waitUntil([&] { return handled == sent; })) << handled;
        // A loaded machine may end a cheap turn early by time; it never hands over more.
        EXPECT_LE(handledAtTimer, c.maxTurn) << "the timer waits for one turn, not for the backlog";
        EXPECT_GE(handledAtTimer, OstDatagramSocket::kReadBatch) << "a turn reads at least one batch";
        if (c.costMs == 0) {
            EXPECT_GE(lagAtTimer, 250) << "behind by the age of the datagrams just read";
        }
        EXPECT_EQ(link.receiveLagMs(), 0) << "caught up";
        EXPECT_EQ(link.receiveDrops(), 0u) << "a backlog within the buffer loses nothing";
    }
}

TEST(OstUdpSocketLink, DatagramsLostInAFullReceiveBufferAreCountedAndLogged)
{
    LogCapture::instance().clear();
    OstUdpSocketLink link;
    int handled = 0;
    link.registerRecvdDatagramHandleFunc([&](QString, QByteArray) { ++handled; });
    const quint16 port = testsupport::freeUdpPort();
    ASSERT_TRUE(openLink(link, std::make_shared<OstUdpSocketLinkConfig>(port, 0)));
    // More than the socket's buffer holds, sent while the link's thread does not read.
    UdpPeer vehicle;
    const int sent = 40000;
    for (int i = 0; i < sent; ++i)
        vehicle.sendTo(QByteArray(32, 'x'), port);
    ASSERT_TRUE(waitUntil([&] { return quint64(handled) + link.receiveDrops() == quint64(sent); }))
        << handled << " read, " << link.receiveDrops() << " dropped";
    EXPECT_GT(link.receiveDrops(), 0u);
    EXPECT_EQ(LogCapture::instance().countContaining(spdlog::level::warn, "datagrams dropped in the receive buffer"),
              1);
}
