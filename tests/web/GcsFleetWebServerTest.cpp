#define VELMORA_TEST_GCS_APPLICATION
// The fleet page's server in process with the station and the simulator: its documents against
// the CLI router's answers, the WebSocket stream, bad requests, many clients, a stalled client.

#include "StationWithSim.h"

#include "LogCapture.h"

#include "automation/GcsCliCommandRouter.h"
#include "automation/GcsCliServiceContext.h"
#include "settings/GcsSettings.h"
#include "web/GcsFleetHttpGuard.h"
#include "web/GcsFleetJson.h"
#include "web/GcsFleetWebServer.h"

#include "NfzZoneManager.h"

#include <QTcpSocket>
#include <QWebSocket>

#include <map>

using nlohmann::json;
using testsupport::LogCapture;
using testsupport::waitUntil;

namespace {

json cli(const std::string& method, json params = json::object())
{
    const json r = GcsCliCommandRouter::dispatch({gcsApp(), nullptr}, {{"method", method}, {"params", params}});
    EXPECT_EQ(r["ok"], true) << method << ": " << r.dump();
    return r["data"];
}

struct Reply {
    int status = 0;
    QByteArray head;
    QByteArray body;
};

// One request over a fresh connection; the server closes it after its answer (an accepted
// WebSocket stays open: its head is enough).
Reply raw(quint16 port, const QByteArray& request)
{
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    EXPECT_TRUE(s.waitForConnected(3000));
    s.write(request);
    QByteArray got;
    waitUntil([&] {
        got += s.readAll();
        return s.state() == QAbstractSocket::UnconnectedState ||
               (got.startsWith("HTTP/1.1 101") && got.contains("\r\n\r\n"));
    });
    got += s.readAll();
    const qsizetype end = got.indexOf("\r\n\r\n");
    return {got.mid(9, 3).toInt(), got.left(end), end < 0 ? QByteArray() : got.mid(end + 4)};
}

const QByteArray kHandshake = "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
                              "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";

// A WebSocket client that keeps every message it gets, and the fleet as the page keeps it (the
// snapshot's V's with each tick's entries merged in) after each tick.
struct Client {
    explicit Client(quint16 port)
        : socket(QStringLiteral("http://127.0.0.1:%1").arg(port))
    {
        QObject::connect(&socket, &QWebSocket::textMessageReceived, [this](const QString& text) {
            json m = json::parse(text.toStdString());
            if (m["type"] == "snapshot") {
                for (const auto& v : m["fleet"]["vehicles"])
                    fleet[v["vehicleId"]] = v;
            } else {
                for (const auto& v : m["vehicles"])
                    fleet[v["vehicleId"]].update(v);
                for (const auto& id : m["removed"])
                    fleet.erase(id.get<int>());
                afterTick[m["time"]] = fleet;
            }
            messages.push_back(std::move(m));
        });
        socket.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/ws").arg(port)));
    }
    QWebSocket socket;
    std::vector<json> messages;
    std::map<int, json> fleet;
    std::map<int64_t, std::map<int, json>> afterTick;
};

}  // namespace

class FleetWebTest : public StationWithSim {
protected:
    void startAll(int vehicles, int rateHz, SimOptions options = SimOptions())
    {
        GcsSettings::getInstance()->setTeleReqInterval(100);
        options.count = vehicles;
        options.fixAfterMs = 0;
        ASSERT_NO_FATAL_FAILURE(startAlive(options, vehicles));
        GcsFleetWebServer::Options web;
        web.rateHz = rateHz;
        web.mapTiles = QStringLiteral("https://tiles.test/{z}/{x}/{y}.png");
        server = std::make_unique<GcsFleetWebServer>(app->ctrl, web);
        ASSERT_TRUE(server->start());
        port = server->port();
    }
    json get(const QByteArray& path)
    {
        const QByteArray host = "Host: 127.0.0.1:" + QByteArray::number(port);
        const Reply r = raw(port, "GET " + path + " HTTP/1.1\r\n" + host + "\r\n\r\n");
        EXPECT_EQ(r.status, 200) << path.toStdString();
        EXPECT_TRUE(r.head.contains("Content-Type: application/json")) << r.head.toStdString();
        EXPECT_TRUE(r.head.contains("'; img-src 'self' data: https://tiles.test\r\n"));
        return json::parse(r.body.toStdString(), nullptr, false);
    }
    void TearDown() override
    {
        server.reset();
        StationWithSim::TearDown();
    }
    std::unique_ptr<GcsFleetWebServer> server;
    quint16 port = 0;
};

TEST_F(FleetWebTest, DocumentsAgreeWithTheCliRouter)
{
    SimOptions options;
    options.batteryState = 2;  // a critical alert on every vehicle
    ASSERT_NO_FATAL_FAILURE(startAll(2, 5, options));
    ASSERT_TRUE(waitUntil([&] { return cli("alerts.active", {{"vehicleId", 2}})["count"] > 0; }));
    const json points = {{{"lat", 22.5}, {"lon", 113.9}, {"alt", 30}}, {{"lat", 22.51}, {"lon", 113.91}, {"alt", 40}}};
    const json created = cli("route.create", {{"name", "web"}, {"number", 1}, {"points", points}});
    ASSERT_TRUE(app->ctrl->nfzZoneManager()->reloadFromJsonUtf8(
        R"([{"id": 7, "type": "circle", "center": [22.5, 113.9], "radius": 150},
            {"id": 8, "type": "polygon", "points": [[22.6, 113.9], [22.61, 113.91], [22.6, 113.92]]}])"));

    // The builder and the router read the same values in one turn of the event loop.
    const json fleet = GcsFleetJson::fleet(app->ctrl);
    const json link = cli("connection.status");
    ASSERT_EQ(fleet["count"], 2);
    EXPECT_EQ(fleet["activeVehicleId"], link["activeVehicleId"]);
    for (const json& v : fleet["vehicles"]) {
        const json id = {{"vehicleId", v["vehicleId"]}};
        const json snap = cli("telemetry.snapshot", id);
        const json& pos = snap["position"];
        const json& status = snap["flightStatus"];
        const json expected = {{"lat", pos["lat"]}, {"lon", pos["lon"]}, {"alt", pos["alt"]},
                               {"northSpd", pos["northSpd"]}, {"eastSpd", pos["eastSpd"]}, {"upSpd", pos["upSpd"]},
                               {"posSatNum", pos["posSatNum"]}, {"heading", snap["ahrs"]["yaw"]},
                               {"fcuVol", status["fcuVol"]}, {"batteryState", status["batteryState"]},
                               {"flightMode", status["flightMode"]}, {"flightState", status["flightState"]},
                               {"vehicleCode", snap["vehicleCode"]}, {"alive", true},
                               {"controllerType", "Local"}, {"worstAlertLevel", 3},
                               {"active", v["vehicleId"] == link["activeVehicleId"]},
                               {"linkStats", cli("vehicle.linkStats", id)["linkStats"]}};
        for (const auto& [key, value] : expected.items())
            EXPECT_EQ(v[key], value) << key;
        EXPECT_EQ(v["batteryStateText"], snap["display"]["flightStatus"]["batteryState"]);
        EXPECT_EQ(v["flightStateText"], snap["display"]["flightStatus"]["flightState"]);
    }

    EXPECT_EQ(get("/api/v1/link"), cli("connection.status"));
    json alerts = json::array();
    for (int id : {1, 2}) {
        const json data = cli("alerts.active", {{"vehicleId", id}});
        for (json a : data["alerts"]) {
            a["vehicleId"] = id;
            a["vehicleCode"] = data["vehicleCode"];
            alerts.push_back(a);
        }
    }
    EXPECT_EQ(get("/api/v1/alerts"), json({{"alerts", alerts}, {"count", alerts.size()}}));
    const json route = cli("route.get", {{"id", created["id"]}})["route"];
    EXPECT_EQ(get("/api/v1/routes/active"),
              json({{"route", {{"id", created["id"]}, {"name", "web"}, {"waypointCount", 2},
                               {"waypoints", route["points"]}, {"area", nullptr}}}}));
    EXPECT_EQ(get("/api/v1/zones"),
              json::parse(R"({"count": 2, "zones": [
                  {"id": "7", "name": "Zone 7", "shape": "circle", "center": [22.5, 113.9], "radius": 150.0},
                  {"id": "8", "name": "Zone 8", "shape": "polygon",
                   "points": [[22.6, 113.9], [22.61, 113.91], [22.6, 113.92]]}]})"));
    const json overHttp = get("/api/v1/fleet");
    EXPECT_EQ(overHttp["count"], 2);
    EXPECT_EQ(overHttp["vehicles"][1]["vehicleId"], fleet["vehicles"][1]["vehicleId"]);
    for (const char* file : {"/static/leaflet.js", "/static/dygraph.min.css", "/static/images/marker-icon.png"}) {
        const Reply r = raw(port, QByteArray("GET ") + file + " HTTP/1.1\r\nHost: localhost\r\n\r\n");
        EXPECT_EQ(r.status, 200) << file;
        EXPECT_GT(r.body.size(), 100) << file;
    }
}

TEST_F(FleetWebTest, SnapshotThenTicksCarryTheClimb)
{
    ASSERT_NO_FATAL_FAILURE(startAll(3, 10));
    Client client(port);
    ASSERT_TRUE(waitUntil([&] { return !client.messages.empty(); }));
    const json& snapshot = client.messages[0];
    EXPECT_EQ(snapshot["type"], "snapshot");
    EXPECT_EQ(snapshot["config"], json({{"rateHz", 10}, {"mapTiles", "https://tiles.test/{z}/{x}/{y}.png"}}));
    EXPECT_EQ(snapshot["route"], json({{"route", nullptr}}));
    EXPECT_EQ(snapshot["zones"], json({{"zones", json::array()}, {"count", 0}}));
    EXPECT_EQ(snapshot["link"], cli("connection.status"));
    ASSERT_EQ(snapshot["fleet"]["count"], 3);
    std::map<int, double> ground, latest;
    for (const auto& v : snapshot["fleet"]["vehicles"])
        ground[v["vehicleId"]] = latest[v["vehicleId"]] = v["alt"];

    for (const auto& v : mvm()->vehicleList())
        v->takeoff(30, 5);
    size_t seen = 1;
    const bool climbed = waitUntil(
        [&] {
            for (; seen < client.messages.size(); ++seen) {
                const json& tick = client.messages[seen];
                EXPECT_EQ(tick["type"], "tick");
                EXPECT_GE(tick["time"], client.messages[seen - 1]["time"]);
                EXPECT_EQ(tick["removed"], json::array());
                for (const auto& v : tick["vehicles"]) {
                    // Only what changed: the climb, never the unchanged code, never an empty entry.
                    EXPECT_FALSE(v.contains("vehicleCode")) << v.dump();
                    EXPECT_GT(v.size(), 1u) << v.dump();
                    if (v.contains("alt"))
                        latest[v["vehicleId"]] = v["alt"];
                }
            }
            return std::all_of(ground.begin(), ground.end(),
                               [&](const auto& g) { return latest[g.first] > g.second + 5; });
        },
        20000);
    EXPECT_TRUE(climbed) << json(latest).dump();

    // A client joining mid-climb holds, after its first tick, what the first client holds.
    Client late(port);
    int64_t first = 0;
    ASSERT_TRUE(waitUntil([&] {
        first = late.afterTick.empty() ? 0 : late.afterTick.begin()->first;
        return first && client.afterTick.count(first);
    }));
    EXPECT_EQ(late.afterTick[first], client.afterTick[first]);
}

TEST_F(FleetWebTest, RefusesBadRequestsAndLogsEach)
{
    ASSERT_NO_FATAL_FAILURE(startAll(1, 5));
    const QByteArray host = "Host: 127.0.0.1:" + QByteArray::number(port) + "\r\n";
    const struct {
        QByteArray request;
        int status;
    } cases[] = {
        {"GET /api/v1/link HTTP/1.1\r\nHost: LOCALHOST\r\n\r\n", 200},
        {"GET / HTTP/1.1\r\n" + host + "\r\n", 200},
        {"POST /api/v1/link HTTP/1.1\r\n" + host + "Content-Length: 0\r\n\r\n", 405},
        {"DELETE /api/v1/zones HTTP/1.1\r\n" + host + "\r\n", 405},
        {"GET /api/v1/link HTTP/1.1\r\n" + host + "Content-Length: 4\r\n\r\nabcd", 413},
        {"GET / HTTP/1.1\r\n" + host + "Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n", 413},
        {"GET / HTTP/1.1\r\nHost: rebind.example\r\n\r\n", 421},
        {"GET / HTTP/1.1\r\nHost: 127.0.0.1:1\r\n\r\n", 421},
        {"GET / HTTP/1.1\r\n\r\n", 421},
        {"GET /static/../index.html HTTP/1.1\r\n" + host + "\r\n", 404},
        {"GET /static/%2e%2e/index.html HTTP/1.1\r\n" + host + "\r\n", 404},
        {"GET /static/..%2f..%2fetc/passwd HTTP/1.1\r\n" + host + "\r\n", 404},
        {"GET /static/images/ HTTP/1.1\r\n" + host + "\r\n", 404},
        {"GET /api/v1/fleet/ HTTP/1.1\r\n" + host + "\r\n", 404},
        {"GET /ws HTTP/1.1\r\n" + host + "\r\n", 404},
        {"GET / HTTP/1.1\r\n" + host + "X-Pad: " + QByteArray(17000, 'a') + "\r\n\r\n", 431},
        {"GET / HTTP/1.1\r\n" + host + QByteArray(17000, 'b'), 431},
        {"HELLO\r\n\r\n", 400},
        {"GET /ws HTTP/1.1\r\n" + host + "Upgrade: h2c\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\n" + host + kHandshake + "\r\n", 404},
        {"GET /ws HTTP/1.1\r\n" + host + kHandshake + "Origin: http://rebind.example\r\n\r\n", 403},
        {"GET /ws HTTP/1.1\r\n" + host + kHandshake + "Origin: http://127.0.0.1\r\n\r\n", 403},
        {"GET /ws HTTP/1.1\r\n" + host + kHandshake + "Origin: http://localhost:" + QByteArray::number(port) +
             "\r\n\r\n", 403},
        {"GET /ws HTTP/1.1\r\nHost: localhost\r\n" + kHandshake + "Origin: http://localhost\r\n\r\n", 403},
        {"GET /ws HTTP/1.1\r\n" + host + kHandshake + "Origin: null\r\n\r\n", 403},
        {"GET /ws HTTP/1.1\r\n" + host + kHandshake + "\r\n", 403},
        {"GET /api/v1/fleet HTTP/1.1\r\n" + host + "Sec-Fetch-Site: cross-site\r\n\r\n", 403},
        {"GET /api/v1/fleet HTTP/1.1\r\n" + host + "Sec-Fetch-Site: same-origin\r\n\r\n", 200},
        {"GET / HTTP/1.1\r\n" + host + "Sec-Fetch-Site: cross-site\r\n\r\n", 200},
        {"GET /ws HTTP/1.1\r\n" + host + kHandshake + "Origin: http://127.0.0.1:" + QByteArray::number(port) +
             "\r\n\r\n",
         101},
    };
    LogCapture::instance().clear();
    int refusals = 0;
    for (const auto& c : cases) {
        const Reply r = raw(port, c.request);
        EXPECT_EQ(r.status, c.status) << c.request.left(120).toStdString();
        refusals += c.status >= 400;
        if (c.status != 101)
            for (const char* h : {"Content-Security-Policy: default-src 'self'; script-src 'self'; object-src 'none'; "
                                  "frame-ancestors 'none'", "X-Content-Type-Options: nosniff",
                                  "Referrer-Policy: no-referrer"})
                EXPECT_TRUE(r.head.contains(h)) << h << " in " << r.head.toStdString();
    }
    // Past 10 a second the refusals are counted in a summary line instead.
    auto logged = [] {
        int n = LogCapture::instance().countContaining(spdlog::level::warn, "<fleet-web> refused");
        for (const auto& line : LogCapture::instance().lines())
            if (const auto at = line.text.find(" more refusals from "); at != std::string::npos)
                n += std::stoi(line.text.substr(line.text.rfind(' ', at - 1) + 1));
        return n;
    };
    EXPECT_TRUE(waitUntil([&] { return logged() == refusals; })) << logged() << " of " << refusals;
}

TEST(FleetHttpGuard, QuotesRequestBytesPrintableAndShort)
{
    const struct {
        QByteArray raw;
        std::string quoted;
    } cases[] = {
        {"GET /x", "GET /x"},
        {"a\r\n\x1b[2J\xff", "a\\x0d\\x0a\\x1b[2J\\xff"},
        {QByteArray(300, 'a'), std::string(256, 'a')},
        {QByteArray(254, 'a') + "\x01", std::string(254, 'a')},  // an escape is not cut in half
    };
    for (const auto& c : cases)
        EXPECT_EQ(GcsFleetHttpGuard::quoted(c.raw), c.quoted);
}

TEST(FleetHttpGuard, FindsTheHeadEndScanningOnlyNewBytes)
{
    const QByteArray heads[] = {"GET / HTTP/1.1\r\nHost: a\r\n\r\nbody", "\r\n\r\n", "GET /\r\n\r\r\n\r\n"};
    for (const QByteArray& head : heads) {
        for (qsizetype chunk : {1, 2, 3, 5}) {
            qsizetype scanned = 0, found = -1;
            for (qsizetype size = chunk; found < 0 && scanned < head.size(); size += chunk) {
                found = GcsFleetHttpGuard::headEnd(head.left(size), scanned);
                scanned = std::min(size, head.size());
            }
            EXPECT_EQ(found, head.indexOf("\r\n\r\n")) << head.toStdString() << " by " << chunk;
        }
    }
}

TEST(FleetHttpGuard, RefusalLogLimitsEachPeerToTenASecond)
{
    qint64 now = 0;
    GcsFleetHttpGuard::RefusalLog log([&] { return now; });
    LogCapture::instance().clear();
    for (int i = 0; i < 13; ++i, ++now)
        log.refused("10.0.0.1", "refused A");
    log.refused("10.0.0.2", "refused B");
    now = 999;
    EXPECT_TRUE(log.flush());
    EXPECT_EQ(LogCapture::instance().lines().size(), 11u);
    now = 1013;  // both seconds have ended
    EXPECT_FALSE(log.flush());
    log.refused("10.0.0.1", "refused A");
    EXPECT_EQ(LogCapture::instance().countContaining(spdlog::level::warn, "refused A"), 11);
    EXPECT_EQ(LogCapture::instance().count(spdlog::level::warn, "<fleet-web> 3 more refusals from 10.0.0.1"), 1);
    EXPECT_EQ(LogCapture::instance().lines().size(), 13u);
}

TEST_F(FleetWebTest, ClientsComeAndGoWithinTheLimit)
{
    ASSERT_NO_FATAL_FAILURE(startAll(2, 20));
    auto openAll = [&](size_t n) {
        std::vector<std::unique_ptr<Client>> clients;
        for (size_t i = 0; i < n; ++i)
            clients.push_back(std::make_unique<Client>(port));
        EXPECT_TRUE(waitUntil([&] {
            return std::all_of(clients.begin(), clients.end(), [](const auto& c) { return c->messages.size() >= 2; });
        })) << "every client has its snapshot and a tick";
        return clients;
    };
    auto full = openAll(GcsFleetWebServer::kMaxClients);
    EXPECT_EQ(server->clientCount(), GcsFleetWebServer::kMaxClients);
    const QByteArray origin = "localhost:" + QByteArray::number(port);
    const QByteArray upgrade = "GET /ws HTTP/1.1\r\nHost: " + origin + "\r\n" + kHandshake + "Origin: http://" + origin +
                               "\r\n\r\n";
    EXPECT_EQ(raw(port, upgrade).status, 503);
    full.clear();
    ASSERT_TRUE(waitUntil([&] { return server->clientCount() == 0; }));

    for (int round = 0; round < 4; ++round) {
        auto clients = openAll(25);
        clients.clear();
        ASSERT_TRUE(waitUntil([&] { return server->clientCount() == 0; })) << "round " << round;
    }
    EXPECT_EQ(raw(port, upgrade).status, 101);
}

TEST_F(FleetWebTest, ClientThatStopsReadingIsDropped)
{
    ASSERT_NO_FATAL_FAILURE(startAll(100, GcsFleetWebServer::kMaxRateHz));
    // Ticks carry only changes: every vehicle climbs and is polled at each step of the model.
    GcsSettings::getInstance()->setTeleReqInterval(50);
    for (const auto& v : mvm()->vehicleList())
        v->takeoff(2000, 5);
    Client reader(port);
    QTcpSocket stalled;
    stalled.setReadBufferSize(4096);  // Qt stops taking bytes from the kernel once it holds these
    stalled.connectToHost(QHostAddress::LocalHost, port);
    ASSERT_TRUE(stalled.waitForConnected(3000));
    stalled.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4096);
    const QByteArray host = "127.0.0.1:" + QByteArray::number(port);
    stalled.write("GET /ws HTTP/1.1\r\nHost: " + host + "\r\n" + kHandshake + "Origin: http://" + host + "\r\n\r\n");
    ASSERT_TRUE(waitUntil([&] { return server->clientCount() == 2; }));

    LogCapture::instance().clear();
    ASSERT_TRUE(waitUntil([&] { return server->clientCount() == 1; }, 60000));
    EXPECT_EQ(LogCapture::instance().countContaining(spdlog::level::warn, "dropped client"), 1);
    const size_t before = reader.messages.size();
    EXPECT_TRUE(waitUntil([&] { return reader.messages.size() > before + 5; })) << "the reading client goes on";
}
