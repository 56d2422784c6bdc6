#include "OstTcpServer.h"

#include "LogCapture.h"
#include "TestSupport.h"

#include <QTcpSocket>

#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

using testsupport::LogCapture;
using testsupport::waitUntil;

namespace {

// A reading client on 127.0.0.1 that keeps everything it receives.
struct Client {
    explicit Client(quint16 port, bool reading = true)
    {
        if (reading)
            QObject::connect(&socket, &QTcpSocket::readyRead, [this] { received += socket.readAll(); });
        socket.connectToHost(QHostAddress::LocalHost, port);
    }
    QTcpSocket socket;
    QByteArray received;
};

QByteArray message(int i)
{
    // Varying lengths, so a lost or repeated message cannot line up by accident.
    return QByteArray::number(i).rightJustified(4 + i % 7, '#') + ';';
}

}  // namespace

TEST(OstTcpServerTest, EveryClientReceivesEveryBroadcastInOrder)
{
    OstTcpServer server;
    QList<int> countChanges;
    QObject::connect(&server, &OstTcpServer::clientCountChanged, [&](int n) { countChanges.append(n); });
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0, 5));
    ASSERT_TRUE(server.isListening());
    Client a(server.serverPort());
    Client b(server.serverPort());
    ASSERT_TRUE(waitUntil([&] { return server.clientCount() == 2; }));
    EXPECT_EQ(countChanges, QList<int>({1, 2}));

    QByteArray expected;
    for (int i = 0; i < 50; ++i) {
        server.broadcastData(message(i));
        expected += message(i);
    }
    server.broadcastData(QByteArray());  // sends nothing, breaks nothing
    // From another thread: handed over to the server's thread, order kept.
    std::thread feeder([&] {
        for (int i = 50; i < 100; ++i)
            server.broadcastData(message(i));
    });
    feeder.join();
    for (int i = 50; i < 100; ++i)
        expected += message(i);
    ASSERT_TRUE(
        waitUntil([&] { return a.received.size() >= expected.size() && b.received.size() >= expected.size(); }));
    EXPECT_EQ(a.received, expected);
    EXPECT_EQ(b.received, expected);

    // A client that leaves is forgotten; the other goes on receiving.
    a.socket.disconnectFromHost();
    ASSERT_TRUE(waitUntil([&] { return server.clientCount() == 1; }));
    server.broadcastData("tail");
    ASSERT_TRUE(waitUntil([&] { return b.received.endsWith("tail"); }));

    server.stopListen();
    EXPECT_FALSE(server.isListening());
    EXPECT_EQ(server.clientCount(), 0);
    EXPECT_TRUE(waitUntil([&] { return b.socket.state() == QAbstractSocket::UnconnectedState; }));
}

TEST(OstTcpServerTest, ClientsBeyondTheLimitAreRefused)
{
    OstTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0, 2));
    const quint16 port = server.serverPort();
    auto first = std::make_unique<Client>(port);
    Client second(port);
    ASSERT_TRUE(waitUntil([&] { return server.clientCount() == 2; }));

    LogCapture::instance().clear();
    Client third(port);
    ASSERT_TRUE(waitUntil([&] { return third.socket.state() == QAbstractSocket::UnconnectedState; }));
    EXPECT_EQ(server.clientCount(), 2);
    EXPECT_EQ(LogCapture::instance().countContaining(spdlog::level::warn, "<TcpServer> refused client 127.0.0.1:"), 1);

    // A freed place is taken by the next client.
    first.reset();
    ASSERT_TRUE(waitUntil([&] { return server.clientCount() == 1; }));
    Client fourth(port);
    ASSERT_TRUE(waitUntil([&] { return server.clientCount() == 2; }));
    server.broadcastData("hello");
    ASSERT_TRUE(waitUntil([&] { return fourth.received == "hello" && second.received == "hello"; }));
    EXPECT_TRUE(third.received.isEmpty());
}

TEST(OstTcpServerTest, ListenFailuresAreReportedAndLogged)
{
    OstTcpServer holder;
    ASSERT_TRUE(holder.listen(QHostAddress::LocalHost, 0, 1));
    const quint16 busyPort = holder.serverPort();

    struct Case {
        const char* name;
        quint16 port;
        int maxClients;
        bool listenFirst;
        spdlog::level::level_enum level;
        const char* logFragment;
    };
    const Case cases[] = {
        {"port in use", busyPort, 3, false, spdlog::level::err, "<TcpServer> listen on 127.0.0.1:"},
        {"no client allowed", 0, 0, false, spdlog::level::warn, "<TcpServer> listen refused: max clients 0"},
        {"already listening", 0, 3, true, spdlog::level::warn, "<TcpServer> listen refused: already listening"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        OstTcpServer server;
        if (c.listenFirst) {
            ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0, 1));
        }
        LogCapture::instance().clear();
        EXPECT_FALSE(server.listen(QHostAddress::LocalHost, c.port, c.maxClients));
        EXPECT_EQ(server.isListening(), c.listenFirst);
        EXPECT_EQ(LogCapture::instance().countContaining(c.level, c.logFragment), 1);
    }
}

// A client that stops reading is dropped once its unsent output passes the bound; the reading
// client receives every byte.
TEST(OstTcpServerTest, StalledReaderIsDroppedWithoutHarmingOthers)
{
    constexpr qint64 bound = 256 * 1024;
    constexpr int chunkSize = 64 * 1024;
    constexpr qint64 giveUpAfter = 256LL * 1024 * 1024;

    OstTcpServer server;
    server.setMaxPendingBytesPerClient(bound);
    server.setMaxPendingBytesPerClient(0);  // ignored
    EXPECT_EQ(server.maxPendingBytesPerClient(), bound);
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0, 2));

    Client reader(server.serverPort());
    Client stalled(server.serverPort(), false);
    stalled.socket.setReadBufferSize(4096);
    ASSERT_TRUE(waitUntil([&] { return server.clientCount() == 2; }));
    stalled.socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4096);

    LogCapture::instance().clear();
    QByteArray chunk(chunkSize, Qt::Uninitialized);
    qint64 total = 0;
    for (int round = 0; server.clientCount() == 2 && total < giveUpAfter; ++round) {
        for (int i = 0; i < chunkSize; ++i)
            chunk[i] = char((round * 31 + i) & 0xff);
        server.broadcastData(chunk);
        total += chunkSize;
        ASSERT_TRUE(waitUntil([&] { return reader.received.size() >= chunkSize; }));
        ASSERT_EQ(reader.received, chunk) << "round " << round;
        reader.received.clear();
    }
    ASSERT_EQ(server.clientCount(), 1) << "stalled client never dropped";
    EXPECT_EQ(LogCapture::instance().countContaining(spdlog::level::warn, "<TcpServer> dropped client 127.0.0.1:"), 1);

    server.broadcastData("after");
    ASSERT_TRUE(waitUntil([&] { return reader.received == "after"; }));
    EXPECT_EQ(reader.socket.state(), QAbstractSocket::ConnectedState);
}
