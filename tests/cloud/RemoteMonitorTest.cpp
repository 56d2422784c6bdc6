#define VELMORA_TEST_GCS_APPLICATION
#include "StationWithSim.h"

#include "CloudSimProcess.h"
#include "MosquittoBroker.h"

#include "cloud/GcsMqttController.h"
#include "cloud/MyVehicleController.h"
#include "params/MavParamsController.h"
#include "telemetry/MavAhrsDataItem.h"
#include "telemetry/MavPosDataItem.h"
#include "telemetry/MavTelemetryController.h"

#include "GcsLoginManager.h"

#include <cmath>

using testsupport::waitUntil;
using State = OstMqttClient::State;

namespace {

// The station logged in to the cloud simulator, its broker a real mosquitto; a second MQTT
// client plays the cloud side (publishes notify topics, listens to reports).
class RemoteMonitor : public StationWithSim {
protected:
    void SetUp() override
    {
        broker.addUser("station", "s3cret");
        broker.addUser("cloud", "c1oud");
        ASSERT_TRUE(broker.start()) << broker.log().toStdString();
        ASSERT_TRUE(cloud.start(QStringList{"--account", "pilot@example.com:pw"} + cloudExtraArgs()))
            << cloud.errorOutput().toStdString();
        GcsServerConfig::instance()->setMqttServerUri(broker.uri());
        GcsServerConfig::instance()->setMqttCredentials("station", "s3cret");
        app = std::make_unique<testsupport::AppHarness>(cloud.baseUrl());

        cloudSide = std::make_unique<OstMqttClient>(broker.uri().toStdString(), "cloud-side");
        auto receiver = std::make_shared<OstMqttMessageReceiver>();
        QObject::connect(receiver.get(), &OstMqttMessageReceiver::messageReceived,
                         [this](const QString& topic, const QByteArray& payload) {
                             heard.push_back({topic, payload});
                         });
        cloudSide->registerMessageReceiver(receiver);
        m_receiver = receiver;
        ASSERT_TRUE(cloudSide->connectToServer("cloud", "c1oud", 60));
        ASSERT_TRUE(waitUntil([&] { return cloudSide->isConnected(); }));
    }

    void login()
    {
        auto login = app->ctrl->loginMgr();
        ASSERT_EQ(login->passwordLogin("pilot@example.com", "pw"), GcsAccountEnums::Started);
        ASSERT_TRUE(waitUntil([&] { return mqtt()->clientState() == State::Connected; }));
    }

    // Publishes until the remote vehicle shows `lat` (the station subscribes asynchronously).
    bool publishPositionUntilShown(const QString& code, double lat)
    {
        const std::string payload = nlohmann::json{{"latitude", lat}, {"longitude", 113.25}, {"altitude", 42.5}}.dump();
        return waitUntil([&] {
            cloudSide->publish(GcsMqttController::positionTopic(code).toStdString(), payload, 1);
            const auto v = mvm()->findVehicleControllerByCode(code);
            return v && !v->isLocal() && v->teleCtrler()->posDataItem()->lat() == lat;
        });
    }

    std::shared_ptr<GcsMqttController> mqtt() const { return app->ctrl->mqttController(); }
    std::shared_ptr<MyVehicleController> my() const { return app->ctrl->myVehicleCtrler(); }

    testsupport::MosquittoBroker broker;
    testsupport::CloudSimProcess cloud{VELMORA_CLOUD_SIM_BIN};
    virtual QStringList cloudExtraArgs() const { return {}; }

    std::unique_ptr<OstMqttClient> cloudSide;
    std::shared_ptr<OstMqttMessageReceiver> m_receiver;
    std::vector<std::pair<QString, QByteArray>> heard;
};

TEST_F(RemoteMonitor, LoginConnectsTheBrokerAndLogoutDisconnects)
{
    ASSERT_NO_FATAL_FAILURE(login());
    EXPECT_EQ(mqtt()->serverUri(), broker.uri());
    EXPECT_EQ(mqtt()->userName(), "station");
    EXPECT_FALSE(app->ctrl->loginMgr()->mqttClientId().isEmpty());
    EXPECT_EQ(mqtt()->clientId(), app->ctrl->loginMgr()->mqttClientId());

    my()->activateRemoteMonitor("RV-1");
    app->ctrl->loginMgr()->logout();
    EXPECT_EQ(mqtt()->clientState(), State::Disconnected);
    EXPECT_FALSE(my()->isRemoteMonitorActive());
    EXPECT_EQ(app->ctrl->connectionMode(), GcsAppController::None);
}

TEST_F(RemoteMonitor, WatchedVehicleFollowsItsTopicsUntilALocalLinkEndsTheWatch)
{
    ASSERT_NO_FATAL_FAILURE(login());
    QSignalSpy watch(my().get(), &MyVehicleController::remoteMonitorStateChanged);
    my()->activateRemoteMonitor("RV-1");
    EXPECT_EQ(app->ctrl->connectionMode(), GcsAppController::RemoteMonitor);
    auto remote = mvm()->activeVehicle();
    ASSERT_TRUE(remote);
    EXPECT_FALSE(remote->isLocal());
    EXPECT_EQ(remote->vehicleId(), -1);
    EXPECT_EQ(remote->teleCtrler()->posDataItem()->lat(), 0.0);
    EXPECT_FALSE(remote->telemetryAgeMs()) << "nothing heard from the cloud yet";

    ASSERT_TRUE(publishPositionUntilShown("RV-1", 22.125));
    ASSERT_TRUE(remote->telemetryAgeMs()) << "a message from the cloud is its telemetry";
    EXPECT_LT(*remote->telemetryAgeMs(), 5000);
    EXPECT_DOUBLE_EQ(remote->teleCtrler()->posDataItem()->alt(), 42.5);
    cloudSide->publish(GcsMqttController::statusTopic("RV-1").toStdString(),
                       R"({"roll":1.5,"pitch":-2.5,"yaw":90,"speed":4})", 1);
    auto* pos = remote->teleCtrler()->posDataItem().get();
    ASSERT_TRUE(waitUntil([&] { return remote->teleCtrler()->ahrsDataItem()->yaw() == 90.0f; }));
    EXPECT_FLOAT_EQ(remote->teleCtrler()->ahrsDataItem()->roll(), 1.5f);
    EXPECT_NEAR(std::hypot(pos->northSpd(), pos->eastSpd()), 4.0, 1e-4);
    EXPECT_NEAR(pos->eastSpd(), 4.0, 1e-4);  // yaw 90: due east
    // Another code's records, subscribed too, reach the station but not the watched vehicle.
    const auto applied = my()->remoteMessagesApplied();
    EXPECT_GE(applied, 2u);
    QSignalSpy otherCode(mqtt().get(), &GcsMqttController::remoteVehicleMessageReceived);
    mqtt()->subscribeVehiclePosition("RV-2");
    ASSERT_TRUE(waitUntil([&] {
        cloudSide->publish(GcsMqttController::positionTopic("RV-2").toStdString(), R"({"latitude":1})", 1);
        return !otherCode.isEmpty();
    }));
    EXPECT_EQ(otherCode.at(0).at(0).value<RemoteVehicleBaseMessagePtr>()->vehicleCode, "RV-2");
    QCoreApplication::processEvents();  // the watch's queued handler
    EXPECT_EQ(my()->remoteMessagesApplied(), applied);
    EXPECT_DOUBLE_EQ(remote->teleCtrler()->posDataItem()->lat(), 22.125);
    EXPECT_FALSE(mvm()->findVehicleControllerByCode("RV-2"));

    // Switching codes passes through off.
    my()->activateRemoteMonitor("RV-2");
    ASSERT_EQ(watch.size(), 3);
    EXPECT_EQ(watch.at(1).at(0).toString(), "RV-1");
    EXPECT_FALSE(watch.at(1).at(1).toBool());
    EXPECT_EQ(watch.at(2).at(0).toString(), "RV-2");
    EXPECT_TRUE(watch.at(2).at(1).toBool());
    EXPECT_FALSE(mvm()->findVehicleControllerByCode("RV-1"));
    ASSERT_TRUE(publishPositionUntilShown("RV-2", 23.5));

    // A local link ends the watch; records that still arrive are dropped.
    ASSERT_NO_FATAL_FAILURE(startAlive(SimOptions{}));
    EXPECT_EQ(app->ctrl->connectionMode(), GcsAppController::Local);
    EXPECT_FALSE(my()->isRemoteMonitorActive());
    for (const auto& v : mvm()->vehicleList())
        EXPECT_TRUE(v->isLocal());
    QSignalSpy records(mqtt().get(), &GcsMqttController::remoteVehicleMessageReceived);
    mqtt()->subscribeVehiclePosition("RV-2");
    ASSERT_TRUE(waitUntil([&] {
        cloudSide->publish(GcsMqttController::positionTopic("RV-2").toStdString(), R"({"latitude":5})", 1);
        return records.size() > 0;
    }));
    EXPECT_EQ(my()->remoteMessagesApplied(), 0u);
    EXPECT_FALSE(mvm()->findVehicleControllerByCode("RV-2"));
}

TEST_F(RemoteMonitor, LocalVehiclesWithAnActiveCodeAreReportedEveryThreeSeconds)
{
    cloudSide->subscribe(GcsMqttController::kReportTopic, 1);
    ASSERT_NO_FATAL_FAILURE(login());
    // A remote vehicle listed first: the local one joining second is still reported, the remote
    // one never.
    mvm()->addRemoteVehicle("RV-LISTED");
    SimOptions options;
    options.code = "VC-LOCAL";
    ASSERT_NO_FATAL_FAILURE(startSim(options));
    ASSERT_NO_FATAL_FAILURE(connectUdp(sim->listenPort()));
    std::shared_ptr<VehicleController> local;
    ASSERT_TRUE(waitUntil([&] { return (local = mvm()->findVehicleControllerById(options.firstId)) != nullptr; }));
    ASSERT_TRUE(waitUntil([&] { return local->vehicleCodeIsActive(); }, 10000));

    ASSERT_TRUE(waitUntil([&] { return heard.size() >= 4; }, 10000));
    std::vector<int64_t> positionTimes;
    for (const auto& [topic, payload] : heard) {
        const auto doc = nlohmann::json::parse(payload.toStdString());
        std::vector<std::string> keys;
        for (const auto& item : doc.items())
            keys.push_back(item.key());
        std::sort(keys.begin(), keys.end());
        EXPECT_EQ(keys, (std::vector<std::string>{"clientId", "clientType", "messageType", "payload", "timestamp",
                                                  "token", "uid", "vehicleId"}));
        EXPECT_EQ(doc["vehicleId"], "VC-LOCAL");
        EXPECT_EQ(doc["clientId"], app->ctrl->loginMgr()->mqttClientId().toStdString());
        EXPECT_EQ(doc["uid"], app->ctrl->loginMgr()->uid().toStdString());
        std::vector<std::string> payloadKeys;
        for (const auto& item : doc["payload"].items())
            payloadKeys.push_back(item.key());
        std::sort(payloadKeys.begin(), payloadKeys.end());
        if (doc["messageType"] == "position") {
            EXPECT_EQ(payloadKeys, (std::vector<std::string>{"altitude", "latitude", "longitude"}));
            positionTimes.push_back(doc["timestamp"].get<int64_t>());
        } else {
            EXPECT_EQ(doc["messageType"], "status");
            EXPECT_EQ(payloadKeys, (std::vector<std::string>{"pitch", "roll", "yaw"}));
        }
    }
    ASSERT_GE(positionTimes.size(), 2u);
    EXPECT_GE(positionTimes[1] - positionTimes[0], 2500);
}

class RemoteMonitorWithoutActivation : public RemoteMonitor {
protected:
    QStringList cloudExtraArgs() const override { return {"--fail", "/vehicle/mqtt/activate=403"}; }
};

// Two 3 s report periods of silence: with the soak runs.
TEST_F(RemoteMonitorWithoutActivation, AVehicleWhoseCodeIsNotActiveIsNeverReportedSoak)
{
    cloudSide->subscribe(GcsMqttController::kReportTopic, 1);
    ASSERT_NO_FATAL_FAILURE(login());
    SimOptions options;
    options.code = "VC-LOCAL";
    ASSERT_NO_FATAL_FAILURE(startAlive(options));
    QSignalSpy ticks(mvm(), &MultiVehicleManager::reportVehiclesDataTimerTriggered);
    ASSERT_TRUE(waitUntil([&] { return ticks.size() >= 2; }, 10000));
    EXPECT_FALSE(mvm()->activeVehicle()->vehicleCodeIsActive());
    // A marker of our own through the same broker: everything published before it has arrived.
    ASSERT_TRUE(waitUntil([&] {
        cloudSide->publish(GcsMqttController::kReportTopic, "marker", 1);
        return !heard.empty();
    }));
    for (const auto& [topic, payload] : heard)
        EXPECT_EQ(payload, "marker");
}

TEST_F(RemoteMonitor, WatchSurvivesABrokerRestart)
{
    ASSERT_NO_FATAL_FAILURE(login());
    my()->activateRemoteMonitor("RV-1");
    ASSERT_TRUE(publishPositionUntilShown("RV-1", 22.25));
    broker.stop();
    ASSERT_TRUE(waitUntil([&] { return mqtt()->clientState() == State::Connecting; }));
    ASSERT_TRUE(broker.start());
    ASSERT_TRUE(waitUntil([&] { return cloudSide->isConnected(); }, 10000));
    // Within 10 s of the broker taking connections again.
    EXPECT_TRUE(waitUntil(
        [&] {
            cloudSide->publish(GcsMqttController::positionTopic("RV-1").toStdString(), R"({"latitude":22.75})", 1);
            return mvm()->findVehicleControllerByCode("RV-1")->teleCtrler()->posDataItem()->lat() == 22.75;
        },
        10000));
    EXPECT_TRUE(my()->isRemoteMonitorActive());
    EXPECT_EQ(app->ctrl->connectionMode(), GcsAppController::RemoteMonitor);
}

}  // namespace
