#include "OstMqttClient.h"

#include "LogCapture.h"
#include "MosquittoBroker.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QThread>

#include <gtest/gtest.h>

using testsupport::LogCapture;
using testsupport::waitUntil;
using State = OstMqttClient::State;

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
    return std::any_of(got.begin(), got.end(), [&](const Received& r) { return r.topic == topic && r.payload == payload; });
}

// The broker acknowledges a subscription shortly after the connect that makes it, so the first
// publish may come too early; publish again until it arrives.
bool publishUntilReceived(OstMqttClient& pub, const std::string& topic, const std::string& payload,
                          const std::vector<Received>& got, int attempts = 20)
{
    for (int i = 0; i < attempts; ++i) {
        pub.publish(topic, payload, 1);
        if (waitUntil([&] { return contains(got, QString::fromStdString(topic), QByteArray::fromStdString(payload)); }, 300))
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
    ASSERT_TRUE(pub.connectToServer("gcsagent", "pw-one", 60));
    ASSERT_TRUE(sub.connectToServer("watcher", "pw-two", 60));
    ASSERT_TRUE(waitState(pub, State::Connected));
    ASSERT_TRUE(waitState(sub, State::Connected));
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
    OstMqttClient client(m_broker.uri().toStdString(), "velmora-early");
    OstMqttClient giveUp(m_broker.uri().toStdString(), "velmora-give-up");
    ASSERT_TRUE(client.connectToServer("gcsagent", "pw-one", 60));
    ASSERT_TRUE(giveUp.connectToServer("gcsagent", "pw-one", 60));
    EXPECT_EQ(client.state(), State::Connecting);
    EXPECT_FALSE(client.isConnected());

    // Giving up while the client waits between attempts ends at once.
    giveUp.disconnectFromServer();
    EXPECT_EQ(giveUp.state(), State::Disconnected);

    startBroker();
    EXPECT_TRUE(waitState(client, State::Connected));
    EXPECT_EQ(giveUp.state(), State::Disconnected);
}

TEST_F(OstMqttClientTest, ReconnectsAndResubscribesAfterABrokerRestart)
{
    startBroker();
    const std::string uri = m_broker.uri().toStdString();
    OstMqttClient pub(uri, "velmora-pub");
    OstMqttClient sub(uri, "velmora-sub");
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
}

}  // namespace
