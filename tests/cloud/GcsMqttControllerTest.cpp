#include "cloud/GcsMqttController.h"

#include "LogCapture.h"
#include "MosquittoBroker.h"
#include "TestSupport.h"

#include <QSignalSpy>

#include <gtest/gtest.h>

using testsupport::LogCapture;
using testsupport::waitUntil;
using State = OstMqttClient::State;

namespace {

class GcsMqttControllerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        broker.addUser("station", "s3cret");
        broker.addUser("other", "pa55");
        ASSERT_TRUE(broker.start()) << broker.log().toStdString();
    }

    bool connectedWith(const QString& clientId, const QString& user, const QString& password)
    {
        mqtt.connectToServer(broker.uri(), clientId, user, password);
        return waitUntil([&] { return mqtt.clientState() == State::Connected; });
    }

    testsupport::MosquittoBroker broker;
    GcsMqttController mqtt;
};

TEST_F(GcsMqttControllerTest, ConnectKeepsReplacesOrReconnectsTheClientByWhatChanged)
{
    LogCapture::instance().clear();
    mqtt.subscribeVehiclePosition("VC-1");
    EXPECT_TRUE(LogCapture::instance().contains(
        spdlog::level::warn, "<mqttCtrler> <mqtt> subscribeVehiclePosition failed, client is null, vehicleCode: VC-1"));
    mqtt.connectToServer("", "id-1", "station", "s3cret");
    EXPECT_FALSE(mqtt.client());

    ASSERT_TRUE(connectedWith("id-1", "station", "s3cret"));
    const auto first = mqtt.client();
    QSignalSpy states(first.get(), &OstMqttClient::stateChanged);

    // Same four values while connected: nothing happens.
    mqtt.connectToServer(broker.uri(), "id-1", "station", "s3cret");
    EXPECT_EQ(mqtt.client(), first);
    EXPECT_EQ(states.size(), 0);

    // Other credentials: the same client goes down and up again.
    ASSERT_TRUE(connectedWith("id-1", "other", "pa55"));
    EXPECT_EQ(mqtt.client(), first);
    EXPECT_GE(states.size(), 2);
    EXPECT_EQ(states.first().at(0).value<State>(), State::Disconnected);
    EXPECT_EQ(mqtt.userName(), "other");

    // Another client id: a new client (and receiver); the old one is gone.
    std::weak_ptr<OstMqttClient> old = first;
    states.clear();
    ASSERT_TRUE(connectedWith("id-2", "other", "pa55"));
    EXPECT_NE(mqtt.client(), old.lock());
    EXPECT_TRUE(old.expired() || old.lock()->state() == State::Disconnected);
    EXPECT_EQ(mqtt.clientId(), "id-2");

    mqtt.disconnectFromServer();
    EXPECT_EQ(mqtt.clientState(), State::Disconnected);
    EXPECT_TRUE(mqtt.client());  // kept for the next connect
    for (const auto& line : LogCapture::instance().lines())
        EXPECT_EQ(line.text.find("s3cret"), std::string::npos) << line.text;
}

TEST_F(GcsMqttControllerTest, NewCredentialsReachAClientStillConnecting)
{
    // A wrong password first: the client ends refused; the right one must still get through.
    mqtt.connectToServer(broker.uri(), "id-1", "station", "wrong");
    ASSERT_TRUE(waitUntil([&] { return mqtt.clientState() == State::Refused; }));
    EXPECT_TRUE(mqtt.lastConnackCode() == 4 || mqtt.lastConnackCode() == 5);
    ASSERT_TRUE(connectedWith("id-1", "station", "s3cret"));

    // Broker away: the client keeps trying; new credentials given meanwhile are the ones used.
    broker.stop();
    ASSERT_TRUE(waitUntil([&] { return mqtt.clientState() == State::Connecting; }));
    mqtt.connectToServer(broker.uri(), "id-1", "other", "pa55");
    ASSERT_TRUE(broker.start());
    ASSERT_TRUE(waitUntil([&] { return mqtt.clientState() == State::Connected; }, 15000));
    EXPECT_EQ(mqtt.userName(), "other");
}

TEST_F(GcsMqttControllerTest, ReportsArePublishedAsOneJsonObject)
{
    ASSERT_TRUE(connectedWith("id-1", "station", "s3cret"));
    OstMqttClient listener(broker.uri().toStdString(), "listener");
    auto receiver = std::make_shared<OstMqttMessageReceiver>();
    std::vector<QByteArray> got;
    QObject::connect(receiver.get(), &OstMqttMessageReceiver::messageReceived,
                     [&](const QString&, const QByteArray& payload) { got.push_back(payload); });
    listener.registerMessageReceiver(receiver);
    listener.subscribe(GcsMqttController::kReportTopic, 1);
    ASSERT_TRUE(listener.connectToServer("other", "pa55", 60));
    ASSERT_TRUE(waitUntil([&] { return listener.isConnected(); }));

    VehicleMessage message;
    message.clientId = "cid";
    message.vehicleId = "VC-9";
    message.uid = "u1";
    message.token = "t1";
    message.messageType = "status";
    message.timestamp = 1700000000123;
    message.payload = {{"roll", 1.5}, {"pitch", -2}, {"yaw", 90}};
    ASSERT_TRUE(waitUntil([&] {
        mqtt.publishVehicleReport(message);
        return !got.empty();
    }));
    const auto doc = nlohmann::json::parse(got.front().toStdString());
    EXPECT_EQ(doc, message.toJson());
    EXPECT_EQ(doc["clientType"], 1);
}

// A code that would widen or break the topic is refused with a warning before any client use.
TEST(GcsMqttController, VehicleCodesThatBreakTopicsAreNotSubscribed)
{
    GcsMqttController mqtt;
    const struct {
        QString code;
        bool refused;
    } cases[] = {{"VC-1", false},
                 {"VC+", true},
                 {"#", true},
                 {"VC/1", true},
                 {QString("VC") + QChar(0x1b), true},
                 {QString("VC") + QChar(0x200e), true},
                 {"", true}};
    for (const auto& c : cases) {
        LogCapture::instance().clear();
        mqtt.subscribeVehicleStatus(c.code);
        EXPECT_EQ(LogCapture::instance().countContaining(spdlog::level::warn, "subscribeVehicleStatus refused"),
                  c.refused ? 1 : 0)
            << c.code.toStdString();
    }
}

}  // namespace
