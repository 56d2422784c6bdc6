// velmora-cli alone against velmora-station and the simulator: a route created from the command
// line is uploaded and downloaded with --wait and flown with mission.start.

#include "TestSupport.h"

#include <QProcess>

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

using nlohmann::json;
using testsupport::waitUntil;

namespace {

int runCli(const QStringList& args, json* out = nullptr)
{
    QProcess cli;
    cli.start(VELMORA_CLI_BIN, QStringList{"--json"} + args);
    cli.waitForFinished(60000);
    const QByteArray text = cli.readAllStandardOutput();
    if (out)
        *out = json::parse(text.toStdString(), nullptr, false);
    return cli.exitCode();
}

}  // namespace

TEST(CliMissionProgram, CreatesUploadsDownloadsAndFliesARoute)
{
    const quint16 stationPort = testsupport::freeUdpPort();
    QProcess sim;
    // A third waypoint is refused: the survey's upload fails, the two-point route's passes.
    sim.start(VELMORA_SIM_BIN, {"--udp", QStringLiteral("127.0.0.1:%1").arg(stationPort), "--heartbeat-ms", "200",
                                "--fix-after-s", "0", "--wp-result", "3=9"});
    ASSERT_TRUE(sim.waitForReadyRead(10000));
    QProcess station;
    station.start(VELMORA_STATION_BIN, {"--data-dir", testsupport::makeTempDir("station"), "--udp",
                                        QString::number(stationPort), "--no-cloud"});
    ASSERT_TRUE(station.waitForStarted(5000));
    json reply;
    ASSERT_TRUE(waitUntil([&] { return runCli({"vehicle.list"}, &reply) == 0 && reply["data"]["count"] == 1; }, 15000));

    const char* survey = R"({"name": "survey", "number": 2, "area": {"polygon": [{"lat": 22.5, "lon": 113.9},
        {"lat": 22.5, "lon": 113.9008}, {"lat": 22.5008, "lon": 113.9008}, {"lat": 22.5008, "lon": 113.9}],
        "lineSpacing": 30}})";
    ASSERT_EQ(runCli({"route.create", survey}, &reply), 0) << reply.dump();
    EXPECT_GE(reply["data"]["wayPointCount"].get<int>(), 3);
    EXPECT_EQ(runCli({"mission.download", "--wait"}, &reply), 1) << "the vehicle holds no route: " << reply.dump();
    EXPECT_EQ(reply["data"]["download"]["lastResult"], 0);
    EXPECT_EQ(reply["data"]["download"]["wayPointCount"], 0);
    EXPECT_EQ(runCli({"mission.upload", "--wait", "--timeout-s", "20"}, &reply), 1) << reply.dump();
    EXPECT_EQ(reply["data"]["upload"]["lastResult"], 9);

    const char* points = R"({"name": "short", "number": 3, "points": [{"lat": 22.5, "lon": 113.9, "alt": 12, "vel": 12},
        {"lat": 22.5004, "lon": 113.9, "alt": 12, "vel": 12}]})";
    ASSERT_EQ(runCli({"route.create", points}, &reply), 0) << reply.dump();
    const json routeId = reply["data"]["id"];
    EXPECT_EQ(runCli({"mission.upload", "--verify", "--wait"}, &reply), 0) << reply.dump();
    EXPECT_EQ(reply["data"]["upload"]["verify"]["state"], "verified");
    EXPECT_EQ(runCli({"mission.download", R"({"routeId": )" + QString::fromStdString(routeId.dump()) + "}", "--wait"},
                     &reply),
              0)
        << reply.dump();
    EXPECT_EQ(reply["data"]["download"]["lastRouteId"], routeId);

    ASSERT_EQ(runCli({"telemetry.snapshot"}, &reply), 0);
    const json startPosition = reply["data"]["position"];
    ASSERT_EQ(runCli({"mission.start"}, &reply), 0) << reply.dump();
    EXPECT_TRUE(waitUntil(
        [&] { return runCli({"telemetry.snapshot"}, &reply) == 0 && reply["data"]["position"] != startPosition; },
        15000))
        << "the vehicle flies the route";

    station.terminate();
    sim.terminate();
    EXPECT_TRUE(station.waitForFinished(10000));
    sim.waitForFinished(5000);
}
