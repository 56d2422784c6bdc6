// Stations publishing to one mosquitto (password file and ACL), read by velmora-fleetview: the
// programs as processes, as an operator runs them.

#include "MosquittoBroker.h"
#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTcpSocket>

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <csignal>
#include <map>
#include <memory>

using nlohmann::json;
using testsupport::waitUntil;

namespace {

constexpr int kStations = 4;
constexpr int kVehicles = 60;
// Each station writes only below its own id (its user name); the viewer only reads.
const char* kAcl = "pattern write velmora/fleet/%u/#\nuser fleetview\ntopic read velmora/fleet/#\n";

struct Site {
    QString id;
    QString dataDir;
    quint16 udpPort = testsupport::freeUdpPort();
    std::unique_ptr<QProcess> sim;
    std::unique_ptr<QProcess> station;
};

class FleetBroker : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (int i = 1; i <= kStations; ++i)
            broker.addUser(QStringLiteral("site-%1").arg(i), QStringLiteral("pw-%1").arg(i));
        broker.addUser("fleetview", "view-pw");
        broker.setAcl(kAcl);
        ASSERT_TRUE(broker.start()) << broker.log().toStdString();
    }

    void TearDown() override
    {
        for (QProcess* p : processes()) {
            p->terminate();
            if (!p->waitForFinished(5000))
                p->kill();
            p->waitForFinished(2000);
        }
    }

    std::vector<QProcess*> processes()
    {
        std::vector<QProcess*> list;
        for (auto& s : sites)
            for (QProcess* p : {s.station.get(), s.sim.get()})
                if (p)
                    list.push_back(p);
        if (viewer)
            list.push_back(viewer.get());
        return list;
    }

    // A station polling each vehicle once a second (the machine runs four of them), with
    // `user` as its broker account.
    void startStation(Site& site, const QString& user, const QString& password)
    {
        if (site.dataDir.isEmpty()) {
            site.dataDir = testsupport::makeTempDir(site.id);
            QDir().mkpath(site.dataDir + "/config/Brel");
            QFile conf(site.dataDir + "/config/Brel/Velmora.conf");
            ASSERT_TRUE(conf.open(QIODevice::WriteOnly));
            conf.write("[tele]\nteleReqInterval=1000\n");
        }
        site.station = std::make_unique<QProcess>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("VELMORA_FLEET_PASSWORD", password);
        site.station->setProcessEnvironment(env);
        site.station->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        site.station->start(VELMORA_STATION_BIN,
                            {"--data-dir", site.dataDir, "--endpoint-dir", site.dataDir, "--no-cloud", "--log-level",
                             "warn", "--udp", QString::number(site.udpPort), "--fleet-broker",
                             QStringLiteral("mqtt://127.0.0.1:%1").arg(broker.port()), "--station-id", site.id,
                             "--fleet-user", user});
        ASSERT_TRUE(site.station->waitForStarted(5000));
    }

    void startSite(int n)
    {
        Site& site = sites.emplace_back();
        site.id = QStringLiteral("site-%1").arg(n);
        ASSERT_NO_FATAL_FAILURE(startStation(site, site.id, QStringLiteral("pw-%1").arg(n)));
        site.sim = std::make_unique<QProcess>();
        site.sim->start(VELMORA_SIM_BIN, {"--udp", QStringLiteral("127.0.0.1:%1").arg(site.udpPort), "--listen", "0",
                                          "--count", QString::number(kVehicles), "--fix-after-s", "0", "--step-ms",
                                          "200", "--home", QStringLiteral("22.5%1,113.9").arg(n)});
        ASSERT_TRUE(site.sim->waitForStarted(5000));
    }

    void startViewer()
    {
        viewer = std::make_unique<QProcess>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("VELMORA_FLEET_PASSWORD", "view-pw");
        viewer->setProcessEnvironment(env);
        viewer->start(VELMORA_FLEETVIEW_BIN, {"--broker", QStringLiteral("mqtt://127.0.0.1:%1").arg(broker.port()),
                                              "--user", "fleetview", "--http", "0"});
        ASSERT_TRUE(waitUntil([&] { return viewer->canReadLine(); }, 5000));
        const QString line = QString::fromUtf8(viewer->readLine()).trimmed();
        ASSERT_TRUE(line.startsWith("fleet page: http://127.0.0.1:")) << line.toStdString();
        viewerPort = quint16(line.section(':', -1).remove('/').toUInt());
    }

    json get(const char* path)
    {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, viewerPort);
        if (!socket.waitForConnected(2000))
            return nullptr;
        socket.write(
            QStringLiteral("GET %1 HTTP/1.1\r\nHost: 127.0.0.1:%2\r\n\r\n").arg(path).arg(viewerPort).toUtf8());
        QByteArray reply;
        while (socket.waitForReadyRead(2000))
            reply += socket.readAll();
        const qsizetype body = reply.indexOf("\r\n\r\n");
        return body < 0 ? json(nullptr) : json::parse(reply.mid(body + 4).toStdString(), nullptr, false);
    }

    // Vehicles per station, counting only those for which `pick` holds.
    std::map<std::string, int> count(const json& fleet, const std::function<bool(const json&)>& pick)
    {
        std::map<std::string, int> n;
        for (const auto& v : fleet.value("vehicles", json::array()))
            if (pick(v))
                ++n[v["station"].get<std::string>()];
        return n;
    }

    testsupport::MosquittoBroker broker;
    std::vector<Site> sites;
    std::unique_ptr<QProcess> viewer;
    quint16 viewerPort = 0;
};

}  // namespace

TEST_F(FleetBroker, ViewerFollowsFourStationsThroughAStationKillAndABrokerRestart)
{
    sites.reserve(kStations);
    for (int i = 1; i <= kStations; ++i)
        ASSERT_NO_FATAL_FAILURE(startSite(i));
    ASSERT_NO_FATAL_FAILURE(startViewer());
    const std::map<std::string, int> full{{"site-1", 60}, {"site-2", 60}, {"site-3", 60}, {"site-4", 60}};
    json fleet;
    auto alive = [](const json& v) { return v["alive"] == true; };
    EXPECT_TRUE(waitUntil([&] { return count(fleet = get("/api/v1/fleet"), alive) == full; }, 5000))
        << fleet.dump().substr(0, 400);
    for (const auto& v : fleet["vehicles"]) {
        EXPECT_EQ(v["key"], v["station"].get<std::string>() + "/" + std::to_string(v["vehicleId"].get<int>()));
        EXPECT_EQ(v["flightModeText"], "Position hold mode") << "English whatever the station's language";
    }
    EXPECT_EQ(get("/api/v1/stations")["count"], kStations);
    // The page as a browser shows it (exit 77: no chromium here).
    QProcess shot;
    shot.setProcessChannelMode(QProcess::ForwardedChannels);
    shot.start("/usr/bin/python3",
               {VELMORA_BROWSER_TEST, "--shot", QStringLiteral("http://127.0.0.1:%1/").arg(viewerPort),
                "--shot-after-s", "1", "--out", VELMORA_SHOT_DIR "/fleet-view-4-stations.png", "--expect-rows", "240",
                "--expect-stations", "4"});
    ASSERT_TRUE(shot.waitForFinished(60000));
    EXPECT_TRUE(shot.exitCode() == 0 || shot.exitCode() == 77) << shot.exitCode();

    // The broker publishes the killed station's last will: its vehicles grey out, in place.
    ::kill(sites[1].station->processId(), SIGKILL);
    sites[1].station->waitForFinished(2000);
    auto offline = [](const json& v) { return v["alive"] == false && v["stationOnline"] == false && v["lat"] != 0; };
    EXPECT_TRUE(waitUntil([&] { return count(fleet = get("/api/v1/fleet"), offline)["site-2"] == 60; }, 15000));
    EXPECT_EQ(count(fleet, alive)["site-3"], 60);

    ASSERT_NO_FATAL_FAILURE(startStation(sites[1], "site-2", "pw-2"));
    EXPECT_TRUE(waitUntil([&] { return count(fleet = get("/api/v1/fleet"), alive) == full; }, 15000));

    // A broker restarted without persistence has forgotten every retained state: the stations
    // publish all of it again once they are back, and the viewer shows nothing live meanwhile.
    broker.stop();
    EXPECT_TRUE(waitUntil([&] { return count(fleet = get("/api/v1/fleet"), alive).empty(); }, 5000));
    ASSERT_TRUE(broker.start()) << broker.log().toStdString();
    EXPECT_TRUE(waitUntil([&] { return count(fleet = get("/api/v1/fleet"), alive) == full; }, 20000));
}

TEST_F(FleetBroker, BrokerRefusesAStationWritingAnotherStationsPrefix)
{
    sites.reserve(2);
    Site& honest = sites.emplace_back();
    honest.id = "site-1";
    ASSERT_NO_FATAL_FAILURE(startStation(honest, "site-1", "pw-1"));
    // Logged in as site-3, it writes below site-4: the broker takes the messages and drops them.
    Site& impostor = sites.emplace_back();
    impostor.id = "site-4";
    ASSERT_NO_FATAL_FAILURE(startStation(impostor, "site-3", "pw-3"));
    ASSERT_NO_FATAL_FAILURE(startViewer());
    json stations;
    ASSERT_TRUE(waitUntil([&] { return (stations = get("/api/v1/stations"))["count"] == 1; }, 5000));
    json status;
    ASSERT_TRUE(waitUntil(
        [&] {
            QProcess cli;
            cli.start(VELMORA_CLI_BIN,
                      {"--endpoint", impostor.dataDir + "/Tarnwick_CliIpc_v1", "--json", "fleet.status"});
            cli.waitForFinished(5000);
            status = json::parse(cli.readAllStandardOutput().toStdString(), nullptr, false);
            return status.is_object() && status["data"]["published"] > 0;
        },
        5000));
    testsupport::pumpEvents(500);
    stations = get("/api/v1/stations");
    ASSERT_EQ(stations["count"], 1) << stations.dump();
    EXPECT_EQ(stations["stations"][0]["id"], "site-1");

    // A station that stops cleanly says so itself (a clean disconnect has no will).
    honest.station->terminate();
    ASSERT_TRUE(honest.station->waitForFinished(10000));
    EXPECT_TRUE(waitUntil([&] { return get("/api/v1/stations")["stations"][0]["online"] == false; }, 3000));
}
