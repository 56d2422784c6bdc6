// Stations publishing to one mosquitto with the README's recommended configuration, read by
// velmora-fleetview: the programs as processes, as an operator runs them.

#include "MosquittoBroker.h"
#include "TestSupport.h"

#include "OstMqttClient.h"
#include "OstMqttMessageReceiver.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTcpSocket>

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <set>
#include <map>
#include <memory>

using nlohmann::json;
using testsupport::waitUntil;

namespace {

constexpr int kStations = 4;
constexpr int kVehicles = 60;

// An MQTT client of the test's own, keeping what it receives.
struct Peer {
    Peer(quint16 port, const std::string& user, const std::string& clientId = {})
        : client("mqtt://127.0.0.1:" + std::to_string(port), clientId.empty() ? "test-" + user : clientId)
        , user(user)
    {
        client.setBackoff(OstMqttBackoff(std::chrono::milliseconds(50), std::chrono::milliseconds(200)));
        client.registerMessageReceiver(receiver);
        QObject::connect(receiver.get(), &OstMqttMessageReceiver::messageReceived,
                         [this](const QString& topic, const QByteArray& payload) {
                             messages.emplace_back(topic.toStdString(), payload.toStdString());
                         });
    }
    bool connect(const std::string& password)
    {
        return client.connectToServer(user, password, 10) && waitUntil([&] { return client.isConnected(); }, 5000);
    }
    bool has(const std::string& topic, const std::string& part = {}) const
    {
        return std::any_of(messages.begin(), messages.end(),
                           [&](const auto& m) { return m.first == topic && m.second.find(part) != std::string::npos; });
    }
    OstMqttClient client;
    std::string user;
    std::shared_ptr<OstMqttMessageReceiver> receiver = std::make_shared<OstMqttMessageReceiver>();
    std::vector<std::pair<std::string, std::string>> messages;
};

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
        broker.addUser("fleetview-2", "view-pw-2");
        ASSERT_TRUE(broker.useRecommendedConfig()) << "README.md has no recommended broker configuration";
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
    // `user` as its broker account, its status every second.
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
                             "--fleet-user", user, "--fleet-status-every-s", "1"});
        ASSERT_TRUE(site.station->waitForStarted(5000));
    }

    void startSite(int n, int vehicles = kVehicles)
    {
        Site& site = sites.emplace_back();
        site.id = QStringLiteral("site-%1").arg(n);
        ASSERT_NO_FATAL_FAILURE(startStation(site, site.id, QStringLiteral("pw-%1").arg(n)));
        ASSERT_NO_FATAL_FAILURE(startSim(site, n, vehicles));
    }

    void startSim(Site& site, int n, int vehicles)
    {
        site.sim = std::make_unique<QProcess>();
        site.sim->start(VELMORA_SIM_BIN, {"--udp", QStringLiteral("127.0.0.1:%1").arg(site.udpPort), "--listen", "0",
                                          "--count", QString::number(vehicles), "--fix-after-s", "0", "--step-ms",
                                          "200", "--home", QStringLiteral("22.5%1,113.9").arg(n)});
        ASSERT_TRUE(site.sim->waitForStarted(5000));
    }

    // fleet.status of a station, through velmora-cli.
    json fleetStatus(const Site& site)
    {
        QProcess cli;
        cli.start(VELMORA_CLI_BIN, {"--endpoint", site.dataDir + "/Tarnwick_CliIpc_v1", "--json", "fleet.status"});
        cli.waitForFinished(5000);
        const json r = json::parse(cli.readAllStandardOutput().toStdString(), nullptr, false);
        return r.is_object() ? r["data"] : json(nullptr);
    }

    static void killNow(QProcess& p)
    {
        ::kill(pid_t(p.processId()), SIGKILL);
        p.waitForFinished(2000);
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

    // The answer's body; empty when there is none.
    QByteArray raw(const char* path)
    {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, viewerPort);
        if (!socket.waitForConnected(2000))
            return {};
        socket.write(
            QStringLiteral("GET %1 HTTP/1.1\r\nHost: 127.0.0.1:%2\r\n\r\n").arg(path).arg(viewerPort).toUtf8());
        QByteArray reply;
        while (socket.waitForReadyRead(2000))  // the server closes after its answer
            reply += socket.readAll();
        const qsizetype body = reply.indexOf("\r\n\r\n");
        return body < 0 ? QByteArray() : reply.mid(body + 4);
    }

    json get(const char* path)
    {
        const QByteArray body = raw(path);
        return body.isEmpty() ? json(nullptr) : json::parse(body.toStdString(), nullptr, false);
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

TEST_F(FleetBroker, ViewerFollowsFourStationsThroughAStationKillAndABrokerRestartSoak)
{
    sites.reserve(kStations);
    for (int i = 1; i <= kStations; ++i)
        ASSERT_NO_FATAL_FAILURE(startSite(i));
    ASSERT_NO_FATAL_FAILURE(startViewer());
    const std::map<std::string, int> full{{"site-1", 60}, {"site-2", 60}, {"site-3", 60}, {"site-4", 60}};
    json fleet;
    auto alive = [](const json& v) { return v["alive"] == true; };
    EXPECT_TRUE(waitUntil([&] { return count(fleet = get("/api/v1/fleet"), alive) == full; }, 10000))
        << fleet.dump().substr(0, 400);
    for (const auto& v : fleet["vehicles"]) {
        EXPECT_EQ(v["key"], v["station"].get<std::string>() + "/" + std::to_string(v["vehicleId"].get<int>()));
        EXPECT_EQ(v["flightModeText"], "Position hold mode") << "English whatever the station's language";
    }
    EXPECT_EQ(get("/api/v1/stations")["count"], kStations);
    // The page as a browser shows it.
    QProcess shot;
    shot.setProcessChannelMode(QProcess::ForwardedChannels);
    shot.start("/usr/bin/python3",
               {VELMORA_BROWSER_TEST, "--shot", QStringLiteral("http://127.0.0.1:%1/").arg(viewerPort),
                "--shot-after-s", "1", "--out", VELMORA_SHOT_DIR "/fleet-view-4-stations.png", "--expect-rows", "240",
                "--expect-stations", "4"});
    ASSERT_TRUE(shot.waitForFinished(60000));
    EXPECT_EQ(shot.exitCode(), 0);

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
    // site-4 dies during the outage: no will tells anyone, yet it must not come back live.
    broker.stop();
    EXPECT_TRUE(waitUntil([&] { return count(fleet = get("/api/v1/fleet"), alive).empty(); }, 5000));
    killNow(*sites[3].station);
    ASSERT_TRUE(broker.start()) << broker.log().toStdString();
    const std::map<std::string, int> threeLeft{{"site-1", 60}, {"site-2", 60}, {"site-3", 60}};
    EXPECT_TRUE(waitUntil([&] { return count(fleet = get("/api/v1/fleet"), alive) == threeLeft; }, 20000));
    testsupport::pumpEvents(4000);  // more than 3 status intervals
    EXPECT_EQ(count(fleet = get("/api/v1/fleet"), alive), threeLeft);
    const json stations = get("/api/v1/stations");
    for (const auto& s : stations.value("stations", json::array()))
        EXPECT_EQ(s["state"], s["id"] == "site-4" ? "offline" : "online") << s.dump();
}

// A vehicle that does not come back after a station's crash leaves the viewer and the broker.
TEST_F(FleetBroker, VehiclesThatDidNotComeBackAfterACrashAreCleared)
{
    ASSERT_NO_FATAL_FAILURE(startSite(1, 4));
    ASSERT_NO_FATAL_FAILURE(startViewer());
    json fleet;
    auto alive = [](const json& v) { return v["alive"] == true; };
    ASSERT_TRUE(waitUntil([&] { return count(fleet = get("/api/v1/fleet"), alive)["site-1"] == 4; }, 10000));
    killNow(*sites[0].station);
    killNow(*sites[0].sim);
    ASSERT_NO_FATAL_FAILURE(startStation(sites[0], "site-1", "pw-1"));
    ASSERT_NO_FATAL_FAILURE(startSim(sites[0], 1, 2));
    auto listed = [&] {
        std::set<int> ids;
        const json fleet = get("/api/v1/fleet");
        for (const auto& v : fleet.value("vehicles", json::array()))
            ids.insert(v["vehicleId"].get<int>());
        return ids;
    };
    EXPECT_TRUE(waitUntil(
        [&] {
            return listed() == std::set<int>{1, 2};
        },
        10000))
        << json(listed()).dump() << get("/api/v1/stations").dump();
    // What the broker still holds: a late viewer sees no ghost either.
    Peer late(broker.port(), "fleetview-2");
    ASSERT_TRUE(late.client.subscribe("velmora/fleet/site-1/vehicle/+", 1));
    ASSERT_TRUE(late.connect("view-pw-2"));
    testsupport::pumpEvents(1000);
    EXPECT_TRUE(late.has("velmora/fleet/site-1/vehicle/1") && late.has("velmora/fleet/site-1/vehicle/2"));
    EXPECT_FALSE(late.has("velmora/fleet/site-1/vehicle/3") || late.has("velmora/fleet/site-1/vehicle/4"));
}

// The viewer's /readyz says ready once its broker is connected, and /metrics counts what it
// heard from the stations.
TEST_F(FleetBroker, ViewerServesReadinessAndMetrics)
{
    ASSERT_NO_FATAL_FAILURE(startSite(1, 3));
    ASSERT_NO_FATAL_FAILURE(startViewer());
    EXPECT_TRUE(waitUntil([&] { return get("/readyz").value("status", "") == "ready"; }, 10000))
        << get("/readyz").dump();
    EXPECT_EQ(get("/healthz").value("status", ""), "live");
    QByteArray metrics;
    EXPECT_TRUE(waitUntil(
        [&] {
            metrics = raw("/metrics");
            return metrics.contains("\nvelmora_fleetview_vehicles 3\n") &&
                   metrics.contains("\nvelmora_fleetview_stations_live 1\n");
        },
        10000))
        << metrics.toStdString();
    EXPECT_TRUE(metrics.contains("\nvelmora_fleet_broker_connected 1\n"));
    EXPECT_TRUE(metrics.contains("# TYPE velmora_fleetview_messages_received_total counter"));
}

// SIGHUP with a fleet broker added to the configuration file: the station joins the viewer;
// with it removed again: the station says goodbye (the viewer shows it offline) and publishes no
// more. The password taken from the environment at the start is kept across reloads.
TEST_F(FleetBroker, StationJoinsAndLeavesTheBrokerOnReload)
{
    Site& site = sites.emplace_back();
    site.id = QStringLiteral("site-1");
    site.dataDir = testsupport::makeTempDir(site.id);
    const QString conf = site.dataDir + "/station.conf";
    auto configure = [&](const QByteArray& text) {
        QFile file(conf);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(text) == text.size());
    };
    ASSERT_NO_FATAL_FAILURE(configure("no-cloud = true\n"));
    site.station = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("VELMORA_FLEET_PASSWORD", "pw-1");
    site.station->setProcessEnvironment(env);
    site.station->start(VELMORA_STATION_BIN,
                        {"--config", conf, "--data-dir", site.dataDir, "--endpoint-dir", site.dataDir});
    // Until the station listens, the CLI's answer is a transport error without "enabled".
    ASSERT_TRUE(waitUntil([&] { return fleetStatus(site).contains("enabled"); }, 10000));
    EXPECT_EQ(fleetStatus(site).value("enabled", true), false);
    ASSERT_NO_FATAL_FAILURE(startViewer());

    ASSERT_NO_FATAL_FAILURE(configure(QStringLiteral("no-cloud = true\nfleet-broker = \"mqtt://127.0.0.1:%1\"\n"
                                                     "station-id = \"site-1\"\nfleet-user = \"site-1\"\n"
                                                     "fleet-status-every-s = 1\n")
                                          .arg(broker.port())
                                          .toUtf8()));
    ::kill(site.station->processId(), SIGHUP);
    EXPECT_TRUE(waitUntil([&] { return fleetStatus(site).value("state", "") == "connected"; }, 10000))
        << fleetStatus(site).dump();
    json stations;
    EXPECT_TRUE(waitUntil(
        [&] {
            stations = get("/api/v1/stations");
            return stations.value("count", 0) == 1 && stations["stations"][0]["online"] == true;
        },
        10000))
        << stations.dump();

    ASSERT_NO_FATAL_FAILURE(configure("no-cloud = true\n"));
    ::kill(site.station->processId(), SIGHUP);
    EXPECT_TRUE(waitUntil([&] { return get("/api/v1/stations")["stations"][0]["online"] == false; }, 10000))
        << get("/api/v1/stations").dump();
    EXPECT_EQ(fleetStatus(site).value("enabled", true), false);
}

// No other account can take a station's session; two stations on one account say so.
TEST_F(FleetBroker, OnlyTheStationsOwnAccountCanTakeItsSession)
{
    sites.reserve(2);
    Site& north = sites.emplace_back();
    north.id = "site-1";
    ASSERT_NO_FATAL_FAILURE(startStation(north, "site-1", "pw-1"));
    Peer watcher(broker.port(), "fleetview");
    ASSERT_TRUE(watcher.client.subscribe("velmora/fleet/site-1/status", 1));
    ASSERT_TRUE(watcher.connect("view-pw"));
    ASSERT_TRUE(waitUntil([&] { return watcher.has("velmora/fleet/site-1/status", "\"online\":true"); }, 5000));
    // site-2's account, claiming site-1's client id, over and over.
    for (int i = 0; i < 5; ++i) {
        Peer east(broker.port(), "site-2", "velmora-station-site-1");
        ASSERT_TRUE(east.connect("pw-2"));
        testsupport::pumpEvents(300);
        east.client.disconnectFromServer();
    }
    testsupport::pumpEvents(500);
    EXPECT_FALSE(watcher.has("velmora/fleet/site-1/status", "\"online\":false")) << "site-1 was knocked offline";
    EXPECT_EQ(fleetStatus(north)["takenOver"], 0);

    // A second station started with the same id and account: both take the session in turn.
    Site& twin = sites.emplace_back();
    twin.id = "site-1";
    ASSERT_NO_FATAL_FAILURE(startStation(twin, "site-1", "pw-1"));
    json status;
    EXPECT_TRUE(waitUntil(
        [&] {
            status = fleetStatus(north);
            return status.is_object() && status["takenOver"] > 0 && !status["lastError"].is_null();
        },
        15000))
        << status.dump();
    EXPECT_NE(status["lastError"].dump().find("taken over"), std::string::npos) << status.dump();
}

// Viewer accounts cannot publish a station, and no account can load the viewers with a huge
// message: the broker drops both.
TEST_F(FleetBroker, BrokerDropsViewerWritesAndOversizedMessages)
{
    Peer reader(broker.port(), "fleetview-2");
    ASSERT_TRUE(reader.client.subscribe("velmora/fleet/#", 1));
    ASSERT_TRUE(reader.connect("view-pw-2"));
    Peer viewer(broker.port(), "fleetview");
    ASSERT_TRUE(viewer.connect("view-pw"));
    Peer station(broker.port(), "site-1");
    ASSERT_TRUE(station.connect("pw-1"));
    const std::string fake = R"({"online": true, "time": 1})";
    for (const char* topic :
         {"velmora/fleet/fleetview/status", "velmora/fleet/site-1/status", "velmora/fleet/x/status"})
        ASSERT_TRUE(viewer.client.publish(topic, fake, 1, true));
    ASSERT_TRUE(station.client.publish("velmora/fleet/site-1/vehicle/1", std::string(20000, ' '), 1, true));
    ASSERT_TRUE(station.client.publish("velmora/fleet/site-1/alert", "{}", 1, false));  // the control
    ASSERT_TRUE(waitUntil([&] { return reader.has("velmora/fleet/site-1/alert"); }, 5000));
    testsupport::pumpEvents(300);
    EXPECT_EQ(reader.messages.size(), 1u) << reader.messages.back().first;
    EXPECT_EQ(reader.client.oversizedCount(), 0u) << "the broker passed on a message over 16 KiB";
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
    // It publishes, unaware; its check finds that its own status never comes back (3 intervals).
    json status;
    EXPECT_TRUE(waitUntil(
        [&] {
            status = fleetStatus(impostor);
            return status.is_object() && status["published"] > 0 && !status["lastError"].is_null();
        },
        8000))
        << status.dump();
    EXPECT_EQ(status["check"], "publishes are not reaching the broker") << status.dump();
    EXPECT_EQ(fleetStatus(honest)["check"], "publishes reach the broker");
    stations = get("/api/v1/stations");
    ASSERT_EQ(stations["count"], 1) << stations.dump();
    EXPECT_EQ(stations["stations"][0]["id"], "site-1");

    // A station that stops cleanly says so itself (a clean disconnect has no will).
    honest.station->terminate();
    ASSERT_TRUE(honest.station->waitForFinished(10000));
    EXPECT_TRUE(waitUntil([&] { return get("/api/v1/stations")["stations"][0]["online"] == false; }, 3000));
}

// Out of descriptors, the page server stops accepting; it resumes once some are free.
TEST_F(FleetBroker, PageServerAcceptsAgainAfterRunningOutOfDescriptors)
{
    ASSERT_NO_FATAL_FAILURE(startViewer());
    ASSERT_TRUE(get("/api/v1/stations").is_object());
    const QString pid = QString::number(viewer->processId());
    testsupport::pumpEvents(300);
    const int open = int(QDir("/proc/" + pid + "/fd").count()) - 2;
    const QString limit = QString::number(open + 3);
    ASSERT_EQ(QProcess::execute("prlimit", {"--pid", pid, "--nofile=" + limit + ":" + limit}), 0);
    std::vector<std::unique_ptr<QTcpSocket>> held;
    for (int i = 0; i < 6; ++i) {
        auto s = std::make_unique<QTcpSocket>();
        s->connectToHost(QHostAddress::LocalHost, viewerPort);
        ASSERT_TRUE(s->waitForConnected(2000));
        s->write("GET / HTTP/1.1\r\n");
        held.push_back(std::move(s));
    }
    testsupport::pumpEvents(1500);
    held.clear();
    EXPECT_TRUE(waitUntil([&] { return get("/api/v1/stations").is_object(); }, 8000));
}

// Whatever a station account publishes is text on the viewer's page: codes, modes, alert texts
// and versions that would run script as HTML (a station id cannot: the topic layout refuses it).
TEST_F(FleetBroker, HostileTextsFromTheBrokerStayTextOnTheViewersPage)
{
    ASSERT_NO_FATAL_FAILURE(startViewer());
    Peer station(broker.port(), "site-1");
    ASSERT_TRUE(station.connect("pw-1"));
    const std::string bad = R"(<img src=x onerror="document.title='pwned'">)";
    const int64_t now = QDateTime::currentMSecsSinceEpoch();
    const json vehicle = {{"id", 7},
                          {"code", bad + "code"},
                          {"alive", true},
                          {"lat", 22.5},
                          {"lon", 113.9},
                          {"flightModeText", bad + "mode"},
                          {"flightStateText", bad + "state"},
                          {"alerts", {{{"id", "x"}, {"level", "Critical"}, {"message", bad + "alert"}}}},
                          {"time", now}};
    ASSERT_TRUE(station.client.publish("velmora/fleet/site-1/vehicle/7", vehicle.dump(), 1, true));
    // Two statuses: the viewer takes a station as live from its second one.
    for (int i = 0; i < 2; ++i) {
        const json status = {{"online", true},
                             {"version", bad + "version"},
                             {"time", now + i},
                             {"statusEveryS", 60},
                             {"vehicleIds", {7}}};
        ASSERT_TRUE(station.client.publish("velmora/fleet/site-1/status", status.dump(), 1, true));
    }
    ASSERT_TRUE(waitUntil(
        [&] { return get("/api/v1/fleet")["vehicles"].dump().find("\"alive\":true") != std::string::npos; }, 5000));
    QProcess shot;
    shot.setProcessChannelMode(QProcess::ForwardedChannels);
    QStringList args{VELMORA_BROWSER_TEST,
                     "--shot",
                     QStringLiteral("http://127.0.0.1:%1/").arg(viewerPort),
                     "--shot-after-s",
                     "1",
                     "--out",
                     VELMORA_SHOT_DIR "/fleet-view-hostile.png",
                     "--expect-rows",
                     "1",
                     "--expect-stations",
                     "1"};
    for (const char* what : {"code", "mode", "state", "alert", "version"})
        args << "--expect-text" << QString::fromStdString(bad + what);
    shot.start("/usr/bin/python3", args);
    ASSERT_TRUE(shot.waitForFinished(60000));
    EXPECT_EQ(shot.exitCode(), 0);
}
