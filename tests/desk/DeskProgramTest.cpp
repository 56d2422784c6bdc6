// velmora-desk as a process (offscreen platform, software Qt Quick) against velmora-vehicle-sim
// with three vehicles: the window is read and pressed through its CLI methods (window.items,
// window.press, window.screenshot) while velmora-cli plays the station's other clients.

#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <cmath>
#include <csignal>

using nlohmann::json;
using testsupport::waitUntil;

namespace {

int runCli(const QStringList& args, json* out = nullptr)
{
    QProcess cli;
    cli.start(VELMORA_CLI_BIN, QStringList{"--json"} + args);
    cli.waitForFinished(30000);
    if (out)
        *out = json::parse(cli.readAllStandardOutput().toStdString(), nullptr, false);
    return cli.exitCode();
}

// The window's named items under a prefix, by name.
std::map<std::string, json> items(const QString& prefix)
{
    json reply;
    std::map<std::string, json> byName;
    if (runCli({"window.items", QStringLiteral(R"({"prefix": "%1"})").arg(prefix)}, &reply) != 0)
        return byName;
    for (const auto& item : reply["data"]["items"])
        byName[item["objectName"].get<std::string>()] = item;
    return byName;
}

// Where the map draws (lat, lon): the window's own projection, read from its map item.
QPointF onMap(const json& map, double lat, double lon)
{
    constexpr double r = 6378137.0, rad = M_PI / 180.0;
    const double refLat = map["refLat"], refLon = map["refLon"], mpp = map["mpp"];
    const double x = (lon - refLon) * rad * r * std::cos(refLat * rad), y = (lat - refLat) * rad * r;
    return {map["x"].get<double>() + map["width"].get<double>() / 2 + (x - map["centerX"].get<double>()) / mpp,
            map["y"].get<double>() + map["height"].get<double>() / 2 - (y - map["centerY"].get<double>()) / mpp};
}

bool press(const QString& name)
{
    return runCli({"window.press", QStringLiteral(R"({"objectName": "%1"})").arg(name)}) == 0;
}

}  // namespace

TEST(DeskProgram, FliesASurveyFromTheWindowAndShowsWhatTheModelsSay)
{
    const QString dir = testsupport::makeTempDir("desk");
    const quint16 stationPort = testsupport::freeUdpPort();
    QProcess sim;
    sim.start(VELMORA_SIM_BIN, {"--udp", QStringLiteral("127.0.0.1:%1").arg(stationPort), "--count", "3",
                                "--heartbeat-ms", "200", "--fix-after-s", "0"});
    ASSERT_TRUE(sim.waitForReadyRead(10000));
    QProcess desk;
    desk.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("QT_QUICK_BACKEND", "software");
    desk.setProcessEnvironment(env);
    desk.start(VELMORA_DESK_BIN, {"--data-dir", dir, "--udp", QString::number(stationPort), "--no-cloud", "--geometry",
                                  "1280x800", "--lang", "en"});
    ASSERT_TRUE(desk.waitForStarted(5000));
    json reply;
    ASSERT_TRUE(waitUntil([&] { return runCli({"vehicle.list"}, &reply) == 0 && reply["data"]["count"] == 3; }, 20000))
        << reply.dump();

    // A zone beside the survey; vehicle 2 selected in the fleet list; a survey from an area.
    QFile zones(dir + "/zones.json");
    ASSERT_TRUE(zones.open(QIODevice::WriteOnly));
    zones.write(R"([{"id": 7, "type": "circle", "center": [22.5446, 113.9484], "radius": 40}])");
    zones.close();
    ASSERT_EQ(runCli({"nfz.import", QStringLiteral(R"({"path": "%1"})").arg(zones.fileName())}, &reply), 0)
        << reply.dump();
    ASSERT_TRUE(press("selectVehicle_2"));
    ASSERT_EQ(runCli({"connection.status"}, &reply), 0);
    EXPECT_EQ(reply["data"]["activeVehicleId"], 2) << "the fleet list's click selects on the station";
    const char* survey = R"({"name": "survey", "number": 1, "area": {"polygon": [{"lat": 22.5431, "lon": 113.9468},
        {"lat": 22.5431, "lon": 113.9476}, {"lat": 22.5438, "lon": 113.9476}, {"lat": 22.5438, "lon": 113.9468}],
        "lineSpacing": 20}})";
    ASSERT_EQ(runCli({"route.create", survey}, &reply), 0) << reply.dump();
    const int wayPointCount = reply["data"]["wayPointCount"];
    const std::string routeId = reply["data"]["id"];
    ASSERT_TRUE(press("uploadButton"));
    ASSERT_TRUE(waitUntil(
        [&] {
            if (runCli({"mission.status", R"({"vehicleId": 2})"}, &reply) != 0)
                return false;
            const json& last = reply["data"]["lastUpload"];
            return last.is_object() && last["result"] == 0 && last["verify"] == "verified";
        },
        30000))
        << reply.dump();
    ASSERT_TRUE(press("startButton"));
    ASSERT_TRUE(press("startConfirm"));
    ASSERT_TRUE(waitUntil(
        [&] {
            return runCli({"telemetry.snapshot", R"({"vehicleId": 2})"}, &reply) == 0 &&
                   reply["data"]["position"]["alt"].get<double>() > 3;
        },
        20000))
        << "vehicle 2 takes off into the survey: " << reply.dump();

    // The window's tree against the models: markers, waypoints and the zone where they are.
    ASSERT_TRUE(press("fitButton"));
    auto map = items("map")["map"];
    ASSERT_TRUE(map.contains("mpp")) << map.dump();
    auto markers = items("vehicleMarker_");
    for (int id = 1; id <= 3; ++id) {
        const std::string name = "vehicleMarker_" + std::to_string(id);
        ASSERT_TRUE(markers.count(name)) << name;
        ASSERT_EQ(runCli({"telemetry.snapshot", QStringLiteral(R"({"vehicleId": %1})").arg(id)}, &reply), 0);
        markers = items("vehicleMarker_");
        const QPointF at = onMap(map, reply["data"]["position"]["lat"], reply["data"]["position"]["lon"]);
        EXPECT_TRUE(markers[name]["visible"].get<bool>()) << name;
        // The vehicle moves between the two reads: a few pixels at most.
        EXPECT_NEAR(markers[name]["x"].get<double>(), at.x(), 6) << name;
        EXPECT_NEAR(markers[name]["y"].get<double>(), at.y(), 6) << name;
    }
    ASSERT_EQ(runCli({"route.get", QString::fromStdString(json{{"id", routeId}}.dump())}, &reply), 0) << reply.dump();
    const auto points = reply["data"]["route"]["points"];
    const auto wayPoints = items("waypoint_");
    ASSERT_EQ(int(wayPoints.size()), wayPointCount);
    for (const auto& p : points) {
        const std::string name = "waypoint_" + std::to_string(p["number"].get<int>());
        const QPointF at = onMap(map, p["lat"], p["lon"]);
        EXPECT_NEAR(wayPoints.at(name)["x"].get<double>(), at.x(), 0.5) << name;
        EXPECT_NEAR(wayPoints.at(name)["y"].get<double>(), at.y(), 0.5) << name;
    }
    // The zone list looks at the zone set once a second: the import may not be drawn yet.
    json zone;
    ASSERT_TRUE(waitUntil(
        [&] {
            zone = items("zoneCircle_7")["zoneCircle_7"];
            return zone.contains("width");
        },
        5000))
        << "the zone is drawn";
    const QPointF centre = onMap(map, 22.5446, 113.9484);
    EXPECT_NEAR(zone["x"].get<double>() + zone["width"].get<double>() / 2, centre.x(), 0.5);
    EXPECT_NEAR(zone["y"].get<double>() + zone["height"].get<double>() / 2, centre.y(), 0.5);
    EXPECT_NEAR(zone["width"].get<double>() / 2, 40 / map["mpp"].get<double>(), 0.5);

    // The telemetry table shows vehicle 2's altitude as the station has it (the position item's
    // altitude, element 104).
    ASSERT_TRUE(waitUntil(
        [&] {
            const auto cell = items("teleCell_104_1")["teleCell_104_1"];
            if (!cell.contains("text") || runCli({"telemetry.snapshot", R"({"vehicleId": 2})"}, &reply) != 0)
                return false;
            return std::abs(std::stod(cell["text"].get<std::string>()) -
                            reply["data"]["position"]["alt"].get<double>()) < 0.6;
        },
        10000))
        << reply.dump();

    // A start on vehicle 3, which holds no route of this station, is refused in words.
    ASSERT_TRUE(press("selectVehicle_3"));
    ASSERT_TRUE(press("startButton"));
    ASSERT_TRUE(press("startConfirm"));
    const std::string status = items("statusLine")["statusLine"].value("text", "");
    EXPECT_NE(status.find("No route was uploaded to vehicle 3"), std::string::npos) << status;

    // The screenshot the README shows.
    const QString shot =
        qEnvironmentVariableIsSet("VELMORA_DESK_SHOT") ? qEnvironmentVariable("VELMORA_DESK_SHOT") : dir + "/desk.png";
    ASSERT_TRUE(press("selectVehicle_2"));
    ASSERT_EQ(runCli({"window.screenshot", QStringLiteral(R"({"path": "%1"})").arg(shot)}, &reply), 0) << reply.dump();
    const QImage image(shot);
    EXPECT_EQ(image.size(), QSize(1280, 800));
    EXPECT_EQ(runCli({"window.screenshot", R"({"path": "relative.png"})"}, &reply), 1) << "a relative path is refused";

    ::kill(desk.processId(), SIGTERM);
    EXPECT_TRUE(desk.waitForFinished(15000));
    EXPECT_EQ(desk.exitCode(), 0);
    sim.kill();
    sim.waitForFinished(5000);
}
