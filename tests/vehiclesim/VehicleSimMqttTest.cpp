// The simulator's MQTT publishing, against a real broker, with the program as a process.

#include "MosquittoBroker.h"
#include "OstMqttClient.h"
#include "SimVehicleParams.h"
#include "TestSupport.h"
#include "VehicleSimulator.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <cmath>
#include <map>

using testsupport::waitUntil;

namespace {

// A valid message is an object with exactly these members, all finite numbers.
bool isValid(const QByteArray& payload, const QStringList& keys)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(payload, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject() || doc.object().keys() != keys)
        return false;
    const QJsonObject o = doc.object();
    return std::all_of(o.begin(), o.end(),
                       [](const QJsonValue& v) { return v.isDouble() && std::isfinite(v.toDouble()); });
}

const QStringList kPositionKeys = {"altitude", "latitude", "longitude"};
const QStringList kStatusKeys = {"pitch", "roll", "speed", "yaw"};

struct PerCode {
    QList<QByteArray> positions;  // valid ones, in arrival order
    int statuses = 0;  // valid ones
    int malformed = 0;
};

}  // namespace

// With more than one vehicle, each gets its own code on the link too.
TEST(VehicleSimMqtt, VehiclesOfOneRunGetNumberedCodes)
{
    SimOptions options;
    options.code = "VM";
    options.count = 2;
    options.stationPort = testsupport::freeUdpPort();
    VehicleSimulator sim(options);
    ASSERT_TRUE(sim.start());
    EXPECT_EQ(sim.vehicle(1)->params().params().code, "VM-1");
    EXPECT_EQ(sim.vehicle(2)->params().params().code, "VM-2");
}

// No malformed payload passes for a valid one, whichever topic it replaces.
TEST(VehicleSimMqtt, MalformedPayloadsNeverPassForValidOnes)
{
    const QByteArray position = R"({"altitude":50,"latitude":22.5,"longitude":113.9})";
    const QByteArray status = R"({"pitch":-3,"roll":6.4,"speed":10.5,"yaw":90})";
    ASSERT_TRUE(isValid(position, kPositionKeys) && isValid(status, kStatusKeys));
    for (int kind = 0; kind < SimMqttPublisher::malformedKinds(); ++kind) {
        EXPECT_FALSE(isValid(SimMqttPublisher::malformed(kind, position), kPositionKeys)) << kind;
        EXPECT_FALSE(isValid(SimMqttPublisher::malformed(kind, status), kStatusKeys)) << kind;
    }
}

// Two vehicles without a link publish both topics each, some messages malformed on purpose; a
// second simulator with a wrong password is refused, says so once, and runs on.
TEST(VehicleSimMqtt, PublishesEachVehicleAndRunsOnWhenRefused)
{
    testsupport::MosquittoBroker broker;
    broker.addUser("sim", "pw-sim");
    broker.addUser("watcher", "pw-watch");
    ASSERT_TRUE(broker.start()) << broker.log().toStdString();

    OstMqttClient watcher(broker.uri().toStdString(), "velmora-sim-watcher");
    std::map<QString, PerCode> got;
    auto receiver = std::make_shared<OstMqttMessageReceiver>();
    QObject::connect(receiver.get(), &OstMqttMessageReceiver::messageReceived,
                     [&](const QString& topic, const QByteArray& payload) {
                         const QStringList parts = topic.split('/');  // gcs/notify/vehicle/CODE/kind
                         PerCode& c = got[parts.value(3)];
                         if (parts.value(4) == "position" && isValid(payload, kPositionKeys))
                             c.positions << payload;
                         else if (parts.value(4) == "status" && isValid(payload, kStatusKeys))
                             ++c.statuses;
                         else
                             ++c.malformed;
                     });
    watcher.registerMessageReceiver(receiver);
    ASSERT_TRUE(watcher.subscribe("gcs/notify/vehicle/#", 1));
    ASSERT_TRUE(watcher.connectToServer("watcher", "pw-watch", 30));
    ASSERT_TRUE(waitUntil([&] { return watcher.isConnected(); }, 10000));

    const QStringList common = {"--mqtt", broker.uri(), "--mqtt-user", "sim", "--count", "2", "--mqtt-rate-hz", "20"};
    QProcess good;
    good.start(VELMORA_VEHICLE_SIM_BIN, common + QStringList{"--mqtt-password", "pw-sim", "--vehicle-code", "VM",
                                                             "--mqtt-corrupt", "0.3", "--seed", "7"});
    QProcess refused;
    refused.start(VELMORA_VEHICLE_SIM_BIN, common + QStringList{"--mqtt-password", "pw-bad", "--code", "VX"});
    QByteArray refusedErr;
    ASSERT_TRUE(waitUntil(
        [&] {
            refusedErr += refused.readAllStandardError();
            return refusedErr.contains("<mqtt> broker refused the connection");
        },
        10000))
        << refusedErr.toStdString();
    EXPECT_TRUE(refusedErr.contains(("serverUri: " + broker.uri() + ", username: sim").toUtf8()));

    const auto enough = [&](const QString& code) {
        const PerCode& c = got[code];
        return c.positions.size() >= 5 && c.statuses >= 3 && c.malformed >= 1;
    };
    EXPECT_TRUE(waitUntil([&] { return enough("VM-1") && enough("VM-2"); }, 15000));
    EXPECT_EQ(got.count("VX-1") + got.count("VX-2"), 0u);
    for (const QString code : {"VM-1", "VM-2"}) {
        const auto& positions = got[code].positions;
        for (qsizetype i = 1; i < positions.size(); ++i)
            EXPECT_NE(positions[i - 1], positions[i]) << code.toStdString() << " position " << i;
    }

    // Both stop on SIGTERM; the refused one has kept its timer going all along.
    for (QProcess* p : {&good, &refused}) {
        EXPECT_EQ(p->state(), QProcess::Running);
        p->terminate();
        ASSERT_TRUE(p->waitForFinished(10000));
        EXPECT_EQ(p->exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(p->exitCode(), 0);
    }
    refusedErr += refused.readAllStandardError();
    EXPECT_EQ(refusedErr.count("broker refused the connection"), 1);
    const QString goodOut = QString::fromUtf8(good.readAllStandardOutput());
    const QString goodErr = QString::fromUtf8(good.readAllStandardError());
    EXPECT_FALSE(goodErr.contains("pw-sim") || goodOut.contains("pw-sim") || refusedErr.contains("pw-bad"));

    // The last line counts what was handed to the broker: at least what arrived.
    const QRegularExpression line(
        R"(mqtt VM-1 valid (\d+) corrupt (\d+), VM-2 valid (\d+) corrupt (\d+), dropped \d+)");
    const auto m = line.match(goodOut);
    ASSERT_TRUE(m.hasMatch()) << goodOut.toStdString();
    EXPECT_GE(m.captured(1).toInt(), got["VM-1"].positions.size() + got["VM-1"].statuses);
    EXPECT_GE(m.captured(2).toInt(), got["VM-1"].malformed);
    EXPECT_GE(m.captured(3).toInt(), got["VM-2"].positions.size() + got["VM-2"].statuses);
    EXPECT_GE(m.captured(4).toInt(), got["VM-2"].malformed);
    EXPECT_TRUE(QRegularExpression(R"(mqtt dropped [1-9]\d*)")
                    .match(QString::fromUtf8(refused.readAllStandardOutput()))
                    .hasMatch());
}
