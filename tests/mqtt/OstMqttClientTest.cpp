#include "OstMqttClient.h"

#include "LogCapture.h"
#include "MosquittoBroker.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <tuple>

using testsupport::LogCapture;
using testsupport::waitUntil;
using State = OstMqttClient::State;
using ms = std::chrono::milliseconds;

namespace {

struct Received {
    QString topic;
    QByteArray payload;
    bool onMainThread;
};

// A receiver that records what arrives and on which thread.
std::shared_ptr<OstMqttMessageReceiver> recorder(std::vector<Received>& out)
{
    auto receiver = std::make_shared<OstMqttMessageReceiver>();
    QObject::connect(receiver.get(), &OstMqttMessageReceiver::messageReceived,
                     [&out](const QString& topic, const QByteArray& payload) {
                         out.push_back({topic, payload, QThread::currentThread() == qApp->thread()});
                     });
    return receiver;
}

bool contains(const std::vector<Received>& got, const QString& topic, const QByteArray& payload)
{
    return std::any_of(got.begin(), got.end(),
                       [&](const Received& r) { return r.topic == topic && r.payload == payload; });
}

// The broker acknowledges a subscription shortly after the connect that makes it, so the first
// publish may come too early; publish again until it arrives.
bool publishUntilReceived(OstMqttClient& pub, const std::string& topic, const std::string& payload,
                          const std::vector<Received>& got, int attempts = 20)
{
    for (int i = 0; i < attempts; ++i) {
        pub.publish(topic, payload, 1);
        if (waitUntil([&] { return contains(got, QString::fromStdString(topic), QByteArray::fromStdString(payload)); },
                      300))
            return true;
    }
    return false;
}

class OstMqttClientTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_broker.addUser("gcsagent", "pw-one");
        m_broker.addUser("watcher", "pw-two");
    }

    void startBroker() { ASSERT_TRUE(m_broker.start()) << m_broker.log().toStdString(); }

    // The publisher as gcsagent and the subscriber as watcher, both connected.
    static void connectBoth(OstMqttClient& pub, OstMqttClient& sub)
    {
        ASSERT_TRUE(pub.connectToServer("gcsagent", "pw-one", 60));
        ASSERT_TRUE(sub.connectToServer("watcher", "pw-two", 60));
        ASSERT_TRUE(waitState(pub, State::Connected) && waitState(sub, State::Connected));
    }

    static bool waitState(const OstMqttClient& c, State s, int ms = 15000)
    {
        return waitUntil([&] { return c.state() == s; }, ms);
    }

    testsupport::MosquittoBroker m_broker;
};

TEST_F(OstMqttClientTest, PublishAndSubscribeRoundTrip)
{
    startBroker();
    const std::string uri = m_broker.uri().toStdString();
    OstMqttClient pub(uri, "velmora-pub");
    OstMqttClient sub(uri, "velmora-sub");
    std::vector<Received> got;
    sub.registerMessageReceiver(recorder(got));

    EXPECT_FALSE(pub.publish("gcs/test", "early", 1));  // not connected
    EXPECT_TRUE(sub.subscribe("gcs/notify/vehicle/+/position", 1));  // recorded, made on connect
    ASSERT_NO_FATAL_FAILURE(connectBoth(pub, sub));
    EXPECT_TRUE(pub.connectToServer("gcsagent", "pw-one", 60));  // already connected: nothing changes
    EXPECT_TRUE(pub.isConnected());

    ASSERT_TRUE(publishUntilReceived(pub, "gcs/notify/vehicle/VM1/position", R"({"latitude":30.5})", got));
    EXPECT_TRUE(got.front().onMainThread);
    EXPECT_EQ(got.front().payload, R"({"latitude":30.5})");

    // After unsubscribing, only the other topic still arrives. The broker handles one
    // connection's packets in order, so the subscriber's own marker coming back proves that
    // the unsubscribe is in effect.
    ASSERT_TRUE(sub.subscribe("gcs/notify/vehicle/VM1/status", 1));
    ASSERT_TRUE(publishUntilReceived(pub, "gcs/notify/vehicle/VM1/status", "s1", got));
    ASSERT_TRUE(sub.unsubscribe("gcs/notify/vehicle/+/position"));
    ASSERT_TRUE(sub.publish("gcs/notify/vehicle/VM1/status", "marker", 1));
    ASSERT_TRUE(waitUntil([&] { return contains(got, "gcs/notify/vehicle/VM1/status", "marker"); }));
    got.clear();
    ASSERT_TRUE(pub.publish("gcs/notify/vehicle/VM1/position", "gone", 1));
    ASSERT_TRUE(pub.publish("gcs/notify/vehicle/VM1/status", "s2", 1));
    ASSERT_TRUE(waitUntil([&] { return contains(got, "gcs/notify/vehicle/VM1/status", "s2"); }));
    EXPECT_FALSE(contains(got, "gcs/notify/vehicle/VM1/position", "gone"));

    struct Bad {
        const char* topic;
        int qos;
    };
    for (const Bad& b : {Bad{"a/#/b", 1}, Bad{"", 1}, Bad{"a/b", 3}, Bad{"a/b", -1}}) {
        EXPECT_FALSE(sub.subscribe(b.topic, b.qos)) << b.topic << " " << b.qos;
    }
    for (const Bad& b : {Bad{"a/+", 1}, Bad{"a/#", 0}, Bad{"", 1}, Bad{"a/b", 3}}) {
        EXPECT_FALSE(pub.publish(b.topic, "x", b.qos)) << b.topic << " " << b.qos;
    }
}

TEST_F(OstMqttClientTest, CredentialsAreCheckedOnEveryConnect)
{
    startBroker();
    OstMqttClient client(m_broker.uri().toStdString(), "velmora-creds");
    struct Case {
        const char* user;
        const char* password;
        State result;
    };
    const Case cases[] = {
        {"gcsagent", "wrong", State::Refused},
        {"gcsagent", "pw-one", State::Connected},
        {"nobody", "pw-one", State::Refused},
        {"watcher", "pw-two", State::Connected},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.user) + ":" + c.password);
        LogCapture::instance().clear();
        client.disconnectFromServer();
        EXPECT_EQ(client.state(), State::Disconnected);
        ASSERT_TRUE(client.connectToServer(c.user, c.password, 60));
        ASSERT_TRUE(waitUntil([&] { return client.state() == State::Connected || client.state() == State::Refused; }));
        EXPECT_EQ(client.state(), c.result);
        EXPECT_EQ(LogCapture::instance().countContaining(spdlog::level::err, "refused the connection"),
                  c.result == State::Refused ? 1 : 0);
    }
}

TEST_F(OstMqttClientTest, WaitsForABrokerThatIsNotRunningYet)
{
    // Until the broker starts, a listener on its port drops every connection, counting attempts.
    QTcpServer dropper;
    ASSERT_TRUE(dropper.listen(QHostAddress::LocalHost, m_broker.port()));
    int attempts = 0;
    QObject::connect(&dropper, &QTcpServer::newConnection, [&] {
        while (QTcpSocket* s = dropper.nextPendingConnection()) {
            ++attempts;
            s->abort();
            s->deleteLater();
        }
    });
    OstMqttClient client(m_broker.uri().toStdString(), "velmora-early");
    client.setBackoff(OstMqttBackoff(ms(200), ms(1000), ms(1000)));
    OstMqttClient giveUp(m_broker.uri().toStdString(), "velmora-give-up");
    QObject context;
    std::vector<State> states;
    QObject::connect(&client, &OstMqttClient::stateChanged, &context, [&](State s) { states.push_back(s); });
    ASSERT_TRUE(client.connectToServer("gcsagent", "pw-one", 60));
    ASSERT_TRUE(giveUp.connectToServer("gcsagent", "pw-one", 60));
    EXPECT_EQ(client.state(), State::Connecting);
    EXPECT_FALSE(client.isConnected());

    // Giving up while the client waits between attempts ends at once.
    giveUp.disconnectFromServer();
    EXPECT_EQ(giveUp.state(), State::Disconnected);

    // Both clients tried at once, then `client` alone, again and again.
    ASSERT_TRUE(waitUntil([&] { return attempts >= 4; }, 8000)) << attempts;
    dropper.close();
    startBroker();
    EXPECT_TRUE(waitState(client, State::Connected, 6000));
    EXPECT_EQ(giveUp.state(), State::Disconnected);
    EXPECT_TRUE(waitUntil([&] { return !states.empty() && states.back() == State::Connected; }));
    EXPECT_EQ(states, (std::vector<State>{State::Connecting, State::Connected}));
}

TEST_F(OstMqttClientTest, RefusedClientRetriesQuietlyUntilTheBrokerAdmitsIt)
{
    startBroker();
    OstMqttClient client(m_broker.uri().toStdString(), "velmora-late");
    client.setRefusedRetryIntervalMs(300);
    EXPECT_FALSE(client.lastConnackCode().has_value());
    LogCapture::instance().clear();
    ASSERT_TRUE(client.connectToServer("late", "pw-late", 60));
    ASSERT_TRUE(waitState(client, State::Refused));
    const std::map<int, std::string> reasons = {{4, "Connection Refused: bad user name or password."},
                                                {5, "Connection Refused: not authorised."}};
    const int code = client.lastConnackCode().value_or(-1);
    ASSERT_TRUE(reasons.count(code)) << code;

    // The broker sees the retries; the log has one line for all of them.
    ASSERT_TRUE(waitUntil([&] { return m_broker.log().count("not authorised") >= 4; }, 10000))
        << m_broker.log().toStdString();
    EXPECT_EQ(client.state(), State::Refused);
    const std::string line = "<mqtt> broker refused the connection: " + reasons.at(code) +
                             ", code: " + std::to_string(code) + ", serverUri: " + m_broker.uri().toStdString() +
                             ", username: late";
    EXPECT_EQ(LogCapture::instance().count(spdlog::level::err, line), 1);
    EXPECT_EQ(LogCapture::instance().countContaining(spdlog::level::err, "refused"), 1);

    // Once the account exists the client gets in by itself.
    m_broker.addUser("late", "pw-late");
    startBroker();
    EXPECT_TRUE(waitState(client, State::Connected));
    EXPECT_EQ(client.lastConnackCode(), 0);
    EXPECT_EQ(client.userName(), "late");
    EXPECT_EQ(LogCapture::instance().countContaining(spdlog::level::err, "refused"), 1);
    for (const auto& l : LogCapture::instance().lines())
        EXPECT_EQ(l.text.find("pw-late"), std::string::npos) << l.text;
}

// Subscriptions changed in a tight loop while the connect completes all take effect: the loop
// runs on through the switch to Connected, and the connect itself makes thousands of
// subscriptions, so the moment between its copy of the list and that switch is wide.
TEST_F(OstMqttClientTest, SubscriptionsChangedWhileConnectingTakeEffect)
{
    startBroker();
    const std::string uri = m_broker.uri().toStdString();
    OstMqttClient pub(uri, "velmora-pub");
    OstMqttClient sub(uri, "velmora-sub");
    std::vector<Received> got;
    sub.registerMessageReceiver(recorder(got));
    ASSERT_TRUE(pub.connectToServer("gcsagent", "pw-one", 60));
    ASSERT_TRUE(waitState(pub, State::Connected));

    // Each step subscribes a new kept topic, and drops a topic subscribed kAhead steps before,
    // so that the connect's copy of the list always holds topics that are about to be dropped.
    constexpr int kAhead = 3000;
    const auto kept = [](int i) { return "race/kept/" + std::to_string(i); };
    const auto dropped = [](int i) { return "race/dropped/" + std::to_string(i); };
    for (int i = 0; i < kAhead; ++i)
        sub.subscribe(dropped(i), 1);
    sub.subscribe("race/end", 1);
    ASSERT_TRUE(sub.connectToServer("watcher", "pw-two", 60));
    int n = 0;
    for (int after = 0; after < 50 && n < 1000000; ++n) {
        after += sub.isConnected() ? 1 : 0;
        sub.subscribe(kept(n), 1);
        sub.subscribe(dropped(n + kAhead), 1);
        sub.unsubscribe(dropped(n));
    }
    ASSERT_TRUE(waitState(sub, State::Connected));
    // The broker handles one connection's packets in order: its own message back means every
    // change made before it is in effect.
    ASSERT_TRUE(sub.publish("race/end", "changes made", 1));
    ASSERT_TRUE(waitUntil([&] { return contains(got, "race/end", "changes made"); }));

    // Only topics near the switch can go wrong; check the last few hundred.
    const int first = std::max(0, n - 300);
    for (int i = first; i < n; ++i) {
        pub.publish(kept(i), "k", 1);
        pub.publish(dropped(i), "d", 1);
    }
    pub.publish("race/end", "all sent", 1);
    const auto keptCount = [&] {
        return std::count_if(got.begin(), got.end(),
                             [](const Received& r) { return r.topic.startsWith("race/kept/"); });
    };
    EXPECT_TRUE(waitUntil([&] { return contains(got, "race/end", "all sent") && keptCount() == n - first; }, 10000))
        << keptCount() << " of " << n - first << " kept topics received";
    for (const auto& r : got)
        EXPECT_FALSE(r.topic.startsWith("race/dropped/")) << r.topic.toStdString();
}

// A flood while the client's thread is busy keeps the newest messages; oversized ones never queue.
TEST_F(OstMqttClientTest, FloodKeepsTheNewestMessagesAndDropsOversizedPayloads)
{
    startBroker();
    const std::string uri = m_broker.uri().toStdString();
    OstMqttClient pub(uri, "velmora-pub");
    OstMqttClient sub(uri, "velmora-sub");
    std::vector<Received> got;
    sub.registerMessageReceiver(recorder(got));
    sub.subscribe("flood/#", 1);
    ASSERT_NO_FATAL_FAILURE(connectBoth(pub, sub));
    ASSERT_TRUE(publishUntilReceived(pub, "flood/warm", "up", got));
    got.clear();
    // No event loop: nothing leaves the inbox. The oversized payload, sent last, arrives last.
    constexpr int kSent = 300;
    for (int i = 0; i < kSent; ++i)
        ASSERT_TRUE(pub.publish("flood/m", std::to_string(i), 1));
    ASSERT_TRUE(pub.publish("flood/big", std::string(OstMqttClient::kMostPayloadBytes + 1, 'x'), 1));
    for (int i = 0; i < 2000 && sub.oversizedCount() == 0; ++i)
        QThread::msleep(10);
    ASSERT_EQ(sub.oversizedCount(), 1u);
    EXPECT_EQ(sub.droppedCount(), kSent - OstMqttClient::kMostQueuedMessages);
    ASSERT_TRUE(waitUntil([&] { return got.size() == OstMqttClient::kMostQueuedMessages; }));
    EXPECT_EQ(got.front().payload, QByteArray::number(int(kSent - OstMqttClient::kMostQueuedMessages)));
    EXPECT_EQ(got.back().payload, QByteArray::number(kSent - 1));
}

// A protocol error ends the library's network thread; the client still tries again.
TEST_F(OstMqttClientTest, RetriesAfterAProtocolError)
{
    QTcpServer fake;  // answers every CONNECT with a PINGREQ, which no broker sends to a client
    ASSERT_TRUE(fake.listen(QHostAddress::LocalHost, m_broker.port()));
    int connections = 0;
    QObject::connect(&fake, &QTcpServer::newConnection, [&] {
        while (QTcpSocket* s = fake.nextPendingConnection()) {
            ++connections;
            QObject::connect(s, &QTcpSocket::readyRead, s, [s] { s->readAll(), s->write(QByteArray("\xC0\x00", 2)); });
        }
    });
    OstMqttClient client(m_broker.uri().toStdString(), "velmora-protocol");
    client.setBackoff(OstMqttBackoff(ms(200), ms(1000), ms(1000)));
    LogCapture::instance().clear();
    ASSERT_TRUE(client.connectToServer("gcsagent", "pw-one", 60));
    EXPECT_TRUE(waitUntil([&] { return connections >= 3; }, 10000)) << connections;
    EXPECT_EQ(LogCapture::instance().countContaining(spdlog::level::warn, "protocol error"), 1);
}

TEST_F(OstMqttClientTest, ReconnectsAndResubscribesAfterABrokerRestart)
{
    startBroker();
    const std::string uri = m_broker.uri().toStdString();
    OstMqttClient pub(uri, "velmora-pub");
    OstMqttClient sub(uri, "velmora-sub");
    pub.setBackoff(OstMqttBackoff(ms(200), ms(1000), ms(1000)));
    sub.setBackoff(OstMqttBackoff(ms(200), ms(1000), ms(1000)));
    std::vector<Received> got;
    sub.registerMessageReceiver(recorder(got));
    ASSERT_TRUE(sub.connectToServer("watcher", "pw-two", 60));
    ASSERT_TRUE(pub.connectToServer("gcsagent", "pw-one", 60));
    ASSERT_TRUE(waitState(sub, State::Connected));
    ASSERT_TRUE(waitState(pub, State::Connected));
    ASSERT_TRUE(sub.subscribe("gcs/notify/vehicle/VM7/status", 1));
    ASSERT_TRUE(publishUntilReceived(pub, "gcs/notify/vehicle/VM7/status", "before", got));

    LogCapture::instance().clear();
    m_broker.stop();
    ASSERT_TRUE(waitState(sub, State::Connecting));
    ASSERT_TRUE(waitState(pub, State::Connecting));
    EXPECT_FALSE(pub.publish("gcs/notify/vehicle/VM7/status", "lost", 1));
    EXPECT_EQ(LogCapture::instance().countContaining(spdlog::level::warn, "lost"), 2);

    startBroker();
    ASSERT_TRUE(waitState(sub, State::Connected));
    ASSERT_TRUE(waitState(pub, State::Connected));
    EXPECT_TRUE(publishUntilReceived(pub, "gcs/notify/vehicle/VM7/status", "after", got));
}

// Retry n waits within [0, min(cap, base * 2^n)] (longer cap after a refusal), spread over it.
TEST(OstMqttBackoff, DelaysStayUnderTheDoublingCeilingAndSpread)
{
    std::mt19937_64 engine(7);
    const std::tuple<int, bool, ms> cases[] = {{0, false, ms(1000)},    {1, false, ms(2000)},  {5, false, ms(30000)},
                                               {900, false, ms(30000)}, {8, true, ms(256000)}, {900, true, ms(300000)}};
    for (const auto& [attempt, refused, top] : cases) {
        OstMqttBackoff backoff(ms(1000), ms(30000), ms(300000), [&] { return engine(); });
        for (int i = 0; i < attempt; ++i)
            backoff.next(refused);
        std::set<long long> seen;
        for (int draw = 0; draw < 200; ++draw)
            seen.insert(OstMqttBackoff(backoff).next(refused).count());
        EXPECT_TRUE(*seen.begin() >= 0 && *seen.rbegin() <= top.count() && *seen.rbegin() > top.count() / 2 &&
                    seen.size() > 150u)
            << attempt << " " << refused;
        backoff.reset();
        EXPECT_LE(backoff.next(refused), ms(1000));
    }
}

TEST(OstMqttClient, UnresolvableHostIsRetriedLikeAnUnreachableBroker)
{
    OstMqttClient client("tcp://no-such-host.invalid:1883", "velmora-dns");
    int draws = 0;  // one per retry scheduled
    client.setBackoff(OstMqttBackoff(ms(50), ms(50), ms(50), [&] { return ++draws, std::uint64_t(50); }));
    LogCapture::instance().clear();
    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(client.connectToServer("u", "p", 60));
    EXPECT_LT(clock.elapsed(), 500);
    EXPECT_TRUE(waitUntil([&] { return draws >= 3; }, 20000)) << draws;
    EXPECT_EQ(client.state(), State::Connecting);
    EXPECT_EQ(LogCapture::instance().countContaining(spdlog::level::warn, "not reachable"), 1);
}

// A listener whose backlog of one is taken drops further SYNs, so a connect to it hangs like
// one to a black-holed address, with no network needed.
TEST(OstMqttClient, DisconnectAndDestructionDoNotWaitForAHangingConnect)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_TRUE(::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0 && ::listen(fd, 0) == 0 &&
                ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0);
    QTcpSocket filler;
    filler.connectToHost(QHostAddress::LocalHost, ntohs(addr.sin_port));
    ASSERT_TRUE(filler.waitForConnected(2000));
    const std::string uri = "tcp://127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
    for (const bool disconnectFirst : {true, false}) {
        auto client = std::make_unique<OstMqttClient>(uri, "velmora-hang");
        ASSERT_TRUE(client->connectToServer("u", "p", 60));
        QThread::msleep(300);  // the attempt is in its connect
        QElapsedTimer clock;
        clock.start();
        if (disconnectFirst)
            client->disconnectFromServer();
        client.reset();
        EXPECT_LT(clock.elapsed(), 2000) << disconnectFirst;
    }
    ::close(fd);
}

TEST(OstMqttClient, TlsBrokerIsReachedOnlyWithItsCa)
{
    // scripts/setup.sh installs both: a machine without them fails here rather than skip unseen.
    ASSERT_FALSE(QStandardPaths::findExecutable("openssl").isEmpty() ||
                 QStandardPaths::findExecutable("mosquitto", {"/usr/sbin", "/usr/bin"}).isEmpty())
        << "needs openssl and mosquitto (scripts/setup.sh installs them)";
    // A CA, a server certificate for 127.0.0.1 it signed, and an unrelated CA.
    const QString dir = testsupport::makeTempDir("mqtt-tls");
    const quint16 port = testsupport::freeTcpPort();
    ASSERT_EQ(
        QProcess::execute(
            "sh", {"-ec", QStringLiteral(
                              "cd '%1'; exec 2>/dev/null; k='-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes'\n"
                              "openssl req -x509 $k -days 2 -subj /CN=ca -keyout ca.key -out ca.crt\n"
                              "openssl req -x509 $k -days 2 -subj /CN=other -keyout other.key -out other.crt\n"
                              "openssl req $k -subj /CN=127.0.0.1 -keyout server.key -out server.csr\n"
                              "echo subjectAltName=IP:127.0.0.1 >san.cnf\n"
                              "openssl x509 -req -days 2 -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial "
                              "-extfile san.cnf -out server.crt\n"
                              "printf 'listener %2 127.0.0.1\\nallow_anonymous true\\nuser root\\ncafile ca.crt\\n"
                              "certfile server.crt\\nkeyfile server.key\\n' >tls.conf")
                              .arg(dir)
                              .arg(port)}),
        0);
    QProcess broker;
    broker.setWorkingDirectory(dir);
    broker.start("mosquitto", {"-c", dir + "/tls.conf"});
    ASSERT_TRUE(broker.waitForStarted(5000));

    const std::string uri = "mqtts://127.0.0.1:" + std::to_string(port);
    OstMqttClient client(uri, "velmora-tls");
    client.setCaFile((dir + "/ca.crt").toStdString());
    client.setBackoff(OstMqttBackoff(ms(100), ms(300), ms(300)));
    std::vector<Received> got;
    client.registerMessageReceiver(recorder(got));
    ASSERT_TRUE(client.subscribe("tls/echo", 1) && client.connectToServer("", "", 60));
    ASSERT_TRUE(waitUntil([&] { return client.isConnected(); }, 15000));
    EXPECT_TRUE(publishUntilReceived(client, "tls/echo", "over tls", got));
    // Another CA, and the system's store, do not vouch for this broker.
    for (const QString& ca : {dir + "/other.crt", QString()}) {
        OstMqttClient stranger(uri, "velmora-tls-stranger");
        stranger.setCaFile(ca.toStdString());
        ASSERT_TRUE(stranger.connectToServer("", "", 60));
        EXPECT_FALSE(waitUntil([&] { return stranger.isConnected(); }, 1500)) << ca.toStdString();
        EXPECT_EQ(stranger.state(), State::Connecting) << ca.toStdString();
    }
    broker.terminate();
    broker.waitForFinished(3000);
}

TEST(OstMqttClient, UnusableServerUriOrKeepAliveIsRefused)
{
    for (const char* uri : {"", "127.0.0.1:1883", "http://127.0.0.1:1883", "tcp://"}) {
        OstMqttClient client(uri, "velmora-bad-uri");
        EXPECT_FALSE(client.connectToServer("u", "p", 60)) << uri;
        EXPECT_EQ(client.state(), State::Disconnected) << uri;
    }
    OstMqttClient client("tcp://127.0.0.1:1883", "velmora-keepalive");
    EXPECT_FALSE(client.connectToServer("u", "p", 4));
    EXPECT_EQ(client.state(), State::Disconnected);
    OstMqttClient tls("mqtts://127.0.0.1", "velmora-no-ca");
    tls.setCaFile("/nonexistent/ca.crt");
    EXPECT_FALSE(tls.connectToServer("u", "p", 60));
    EXPECT_EQ(tls.state(), State::Disconnected);
}

}  // namespace
