#define VELMORA_TEST_GCS_APPLICATION
// The fleet page's server in process with the station and the simulator: its documents against
// the CLI router's answers, the WebSocket stream, bad requests, many clients, a stalled client.

#include "StationWithSim.h"

#include "LogCapture.h"

#include "automation/GcsCliCommandRouter.h"
#include "automation/GcsCliServiceContext.h"
#include "settings/GcsSettings.h"
#include "web/GcsFleetHttpGuard.h"
#include "fleet/FleetReadModel.h"
#include "fleet/StationFleetSource.h"
#include "web/GcsFleetWebServer.h"

#include "NfzZoneManager.h"

#include <QDir>
#include <QElapsedTimer>
#include <QTcpSocket>
#include <QWebSocket>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <set>

using nlohmann::json;
using testsupport::LogCapture;
using testsupport::waitUntil;

namespace {

json cli(const std::string& method, json params = json::object())
{
    const json r = GcsCliCommandRouter::dispatch(GcsCliServiceContext{gcsApp()->appCtrler(), nullptr}, {{"method", method}, {"params", params}});
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
Reply raw(quint16 port, const QByteArray& request, const QHostAddress& from = {})
{
    QTcpSocket s;
    if (!from.isNull())
        s.bind(from);
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
            largest = std::max(largest, text.size());
            json m = json::parse(text.toStdString());
            if (m["type"] == "snapshot") {
                for (const auto& v : m["fleet"]["vehicles"])
                    fleet[v["key"]] = v;
            } else if (m["type"] == "part") {
                std::string& doc = docs[m["key"]];
                doc = m["index"] == 0 ? "" : doc;
                doc += m["data"].get<std::string>();
                partsLeft = m["count"].get<int>() - 1 - m["index"].get<int>();
            } else {
                for (const auto& v : m["vehicles"])
                    fleet[v["key"]].update(v);
                for (const auto& key : m["removed"])
                    fleet.erase(key.get<std::string>());
                afterTick[m["time"]] = fleet;
            }
            messages.push_back(std::move(m));
        });
        socket.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/ws").arg(port)));
    }
    QWebSocket socket;
    std::vector<json> messages;
    std::map<std::string, json> fleet;
    std::map<int64_t, std::map<std::string, json>> afterTick;
    std::map<std::string, std::string> docs;  // large documents put together from their parts
    int partsLeft = -1;
    qsizetype largest = 0;
};

}  // namespace

class FleetWebTest : public StationWithSim {
protected:
    void startAll(int vehicles, int rateHz, SimOptions options = SimOptions(), int perPeer = 8,
                  qint64 maxPending = GcsFleetWebServer::kMaxPendingOutputBytes)
    {
        GcsSettings::getInstance()->setTeleReqInterval(100);
        options.count = vehicles;
        options.fixAfterMs = 0;
        ASSERT_NO_FATAL_FAILURE(startAlive(options, vehicles));
        GcsFleetWebServer::Options web;
        web.rateHz = rateHz;
        web.perPeer = perPeer;
        web.answerDeadlineMs = 1000;
        web.maxPendingOutputBytes = maxPending;
        web.stalledReaderMs = stalledReaderMs;
        web.mapTiles = QStringLiteral("https://tiles.test/{z}/{x}/{y}.png");
        server = std::make_unique<GcsFleetWebServer>(app->ctrl->fleetPageSource(), web);
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
    // 10,000 small polygons: a zones document of about 1.4 MB.
    void loadManyZones()
    {
        json zones = json::array();
        for (int i = 0; i < 10000; ++i) {
            const double lat = 20 + i * 0.001;
            zones.push_back({{"id", i + 1},
                             {"type", "polygon"},
                             {"points", {{lat, 113.9}, {lat + 0.0005, 113.9005}, {lat, 113.901}}}});
        }
        ASSERT_TRUE(app->ctrl->nfzZoneManager()->reloadFromJsonUtf8(QByteArray::fromStdString(zones.dump())));
    }
    // A WebSocket client that never reads: tiny buffers, so the station's output backs up.
    void openStalledWebSocket(QTcpSocket& stalled)
    {
        stalled.setReadBufferSize(4096);  // Qt stops taking bytes from the kernel once it holds these
        stalled.connectToHost(QHostAddress::LocalHost, port);
        ASSERT_TRUE(stalled.waitForConnected(3000));
        stalled.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4096);
        const QByteArray host = "127.0.0.1:" + QByteArray::number(port);
        stalled.write("GET /ws HTTP/1.1\r\nHost: " + host + "\r\n" + kHandshake + "Origin: http://" + host +
                      "\r\n\r\n");
    }
    // Connections from `from` that send half a request head and wait.
    void holdHalfHeads(const QHostAddress& from, int n, std::vector<std::unique_ptr<QTcpSocket>>& held)
    {
        for (int i = 0; i < n; ++i) {
            auto s = std::make_unique<QTcpSocket>();
            s->bind(from);
            s->connectToHost(QHostAddress::LocalHost, port);
            ASSERT_TRUE(s->waitForConnected(3000));
            s->write("GET / HTTP/1.1\r\nHost: 127.0.0.1");
            s->flush();
            held.push_back(std::move(s));
            testsupport::pumpEvents(5);
        }
    }
    static int stillOpen(const std::vector<std::unique_ptr<QTcpSocket>>& held)
    {
        testsupport::pumpEvents(200);
        return int(std::count_if(held.begin(), held.end(),
                                 [](const auto& s) { return s->state() == QAbstractSocket::ConnectedState; }));
    }
    std::unique_ptr<GcsFleetWebServer> server;
    quint16 port = 0;
    int stalledReaderMs = 30000;
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
    const json fleet = FleetReadModel::fleet(app->ctrl->fleetSources());
    const json link = cli("connection.status");
    ASSERT_EQ(fleet["count"], 2);
    EXPECT_EQ(fleet["activeVehicleId"], link["activeVehicleId"]);
    for (const json& v : fleet["vehicles"]) {
        const json id = {{"vehicleId", v["vehicleId"]}};
        const json snap = cli("telemetry.snapshot", id);
        const json& pos = snap["position"];
        const json& status = snap["flightStatus"];
        const json expected = {{"lat", pos["lat"]},
                               {"lon", pos["lon"]},
                               {"alt", pos["alt"]},
                               {"northSpd", pos["northSpd"]},
                               {"eastSpd", pos["eastSpd"]},
                               {"upSpd", pos["upSpd"]},
                               {"posSatNum", pos["posSatNum"]},
                               {"heading", snap["ahrs"]["yaw"]},
                               {"fcuVol", status["fcuVol"]},
                               {"batteryState", status["batteryState"]},
                               {"flightMode", status["flightMode"]},
                               {"flightState", status["flightState"]},
                               {"vehicleCode", snap["vehicleCode"]},
                               {"alive", true},
                               {"controllerType", "Local"},
                               {"worstAlertLevel", 3},
                               {"active", v["vehicleId"] == link["activeVehicleId"]},
                               {"linkStats", cli("vehicle.linkStats", id)["linkStats"]}};
        for (const auto& [key, value] : expected.items())
            EXPECT_EQ(v[key], value) << key;
        EXPECT_EQ(v["batteryStateText"], snap["display"]["flightStatus"]["batteryState"]);
        EXPECT_EQ(v["flightStateText"], snap["display"]["flightStatus"]["flightState"]);
    }

    // The simulator's known state: connected over the local link, battery critical on both.
    const json linkDoc = get("/api/v1/link");
    EXPECT_EQ(linkDoc["connectionMode"], "Local");
    EXPECT_EQ(linkDoc["connected"], true);
    EXPECT_EQ(linkDoc["activeVehicleId"], fleet["activeVehicleId"]);
    const json alerts = get("/api/v1/alerts");
    std::set<int> critical;
    for (const json& a : alerts["alerts"]) {
        if (a["id"] != "vehicle.telemetry.battery_state.critical_low")
            continue;
        EXPECT_EQ(a["level"], "Critical");
        EXPECT_EQ(a["sourceField"], "battery_state");
        EXPECT_EQ(a["currentValue"], "2");
        EXPECT_EQ(a["key"], "local:" + std::to_string(a["vehicleId"].get<int>()));
        critical.insert(a["vehicleId"].get<int>());
    }
    EXPECT_EQ(critical, (std::set<int>{1, 2}));
    EXPECT_EQ(alerts["count"], alerts["alerts"].size());
    const json route = cli("route.get", {{"id", created["id"]}})["route"];
    EXPECT_EQ(get("/api/v1/routes/active"), json({{"route",
                                                   {{"id", created["id"]},
                                                    {"name", "web"},
                                                    {"waypointCount", 2},
                                                    {"waypoints", route["points"]},
                                                    {"area", nullptr}}}}));
    EXPECT_EQ(get("/api/v1/zones"), json::parse(R"({"count": 2, "zones": [
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
    // Leaflet minified, gzipped when asked, and revalidated by its tag.
    const QByteArray leaflet = "GET /static/leaflet.js HTTP/1.1\r\nHost: localhost\r\n";
    const Reply whole = raw(port, leaflet + "\r\n");
    const Reply packed = raw(port, leaflet + "Accept-Encoding: br, gzip;q=0.8\r\n\r\n");
    EXPECT_LT(whole.body.size(), 160 * 1024);
    EXPECT_TRUE(packed.head.contains("Content-Encoding: gzip"));
    EXPECT_TRUE(packed.body.startsWith("\x1f\x8b")) << "a gzip stream";
    EXPECT_LT(packed.body.size(), whole.body.size() / 3);
    EXPECT_FALSE(raw(port, leaflet + "Accept-Encoding: gzip;q=0\r\n\r\n").head.contains("Content-Encoding"));
    const qsizetype tagAt = whole.head.indexOf("ETag: ");
    ASSERT_GT(tagAt, 0);
    const QByteArray tag = whole.head.mid(tagAt + 6, whole.head.indexOf("\r\n", tagAt) - tagAt - 6);
    const Reply again = raw(port, leaflet + "If-None-Match: " + tag + "\r\n\r\n");
    EXPECT_EQ(again.status, 304);
    EXPECT_TRUE(again.body.isEmpty());
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
    EXPECT_EQ(snapshot["link"]["connectionMode"], "Local");
    EXPECT_EQ(snapshot["link"]["connected"], true);
    ASSERT_EQ(snapshot["fleet"]["count"], 3);
    std::map<std::string, double> ground, latest;
    for (const auto& v : snapshot["fleet"]["vehicles"])
        ground[v["key"]] = latest[v["key"]] = v["alt"];

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
                        latest[v["key"]] = v["alt"];
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

// A tick builds only the vehicles that changed since they were sent; a vehicle whose telemetry
// flows is built again, its link counters with it.
TEST_F(FleetWebTest, StationSourceBuildsOnlyVehiclesThatChanged)
{
    ASSERT_NO_FATAL_FAILURE(startAll(3, 10));
    StationFleetSource source([this] { return app->ctrl->fleetSources(); });
    std::map<std::string, uint64_t> held;
    auto read = [&] {
        return source.vehiclesSince([&](const std::string& key) { return held.count(key) ? held[key] : 0; });
    };
    for (const auto& v : read()) {
        ASSERT_FALSE(v.v.is_null()) << v.key;
        ASSERT_NE(v.stamp, 0u) << v.key;
        held[v.key] = v.stamp;
    }
    ASSERT_EQ(held.size(), 3u);
    for (const auto& v : read()) {
        EXPECT_TRUE(v.v.is_null() && v.linkStats.is_null()) << v.key << " rebuilt unchanged";
        EXPECT_EQ(v.stamp, held[v.key]) << v.key;
    }
    // Telemetry keeps coming: within a second and a half each vehicle has moved, or its link
    // counters have, and comes built again.
    std::set<std::string> rebuilt;
    ASSERT_TRUE(waitUntil(
        [&] {
            for (const auto& v : read()) {
                if (v.v.is_null())
                    continue;
                EXPECT_NE(v.stamp, held[v.key]) << v.key;
                EXPECT_EQ(v.v["key"], v.key);
                held[v.key] = v.stamp;
                rebuilt.insert(v.key);
            }
            return rebuilt.size() == 3;
        },
        3000));
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
             "\r\n\r\n",
         403},
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
        if (c.status == 101)
            continue;
        for (const char* h : {"Content-Security-Policy: default-src 'self'; script-src 'self'; object-src 'none'; "
                              "frame-ancestors 'none'; base-uri 'none'; form-action 'none'",
                              "X-Content-Type-Options: nosniff", "Referrer-Policy: no-referrer"})
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
    ASSERT_NO_FATAL_FAILURE(startAll(2, 20, SimOptions(), GcsFleetWebServer::kMaxClients));
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
    const QByteArray upgrade =
        "GET /ws HTTP/1.1\r\nHost: " + origin + "\r\n" + kHandshake + "Origin: http://" + origin + "\r\n\r\n";
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

// A viewer slower than the ticks (here: one that pauses) is neither cut off nor sent more and
// more: ticks are held back while it has more than the limit unsent, and once it has taken that,
// a snapshot brings it to the fleet as it is, then ticks follow again. A soak case: TCP takes tens of
// seconds to fill a stalled reader's queues with thirty vehicles' ticks, and to empty them again.
TEST_F(FleetWebTest, ClientThatFallsBehindIsHeldBackThenCaughtUpWithASnapshotSoak)
{
    ASSERT_NO_FATAL_FAILURE(startAll(30, GcsFleetWebServer::kMaxRateHz, SimOptions(), 8, 64 * 1024));
    // Ticks carry only changes: every vehicle climbs and is polled at each step of the model.
    GcsSettings::getInstance()->setTeleReqInterval(50);
    for (const auto& v : mvm()->vehicleList())
        v->takeoff(2000, 5);
    LogCapture::instance().clear();
    Client reader(port);
    QTcpSocket paused;
    ASSERT_NO_FATAL_FAILURE(openStalledWebSocket(paused));
    ASSERT_TRUE(waitUntil(
        [&] { return LogCapture::instance().countContaining(spdlog::level::info, "fell behind") > 0; }, 60000));
    testsupport::pumpEvents(1500);
    EXPECT_EQ(server->clientCount(), 2) << "a slow client stays";
    EXPECT_EQ(LogCapture::instance().countContaining(spdlog::level::info, "fell behind"), 1);
    EXPECT_EQ(LogCapture::instance().countContaining(spdlog::level::warn, "dropped client"), 0);

    // Reading again with room: with a 4 KiB window on loopback (64 KiB segments) the kernel would
    // leave the sender to its zero-window probes, seconds apart by now.
    paused.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 1 << 20);
    paused.setReadBufferSize(0);
    QByteArray got;
    const QByteArray snapshot = "\"type\":\"snapshot\"";
    EXPECT_TRUE(waitUntil(
        [&] {
            paused.waitForReadyRead(10);
            got += paused.readAll();
            const qsizetype caughtUp = got.indexOf(snapshot, got.indexOf(snapshot) + 1);
            return caughtUp > 0 && got.indexOf("\"type\":\"tick\"", caughtUp) > 0;
        },
        60000))
        << "the joining snapshot, the backlog, a snapshot to catch up, then ticks; " << got.size() << " bytes";
    EXPECT_EQ(server->clientCount(), 2);
    const size_t before = reader.messages.size();
    EXPECT_TRUE(waitUntil([&] { return reader.messages.size() > before + 5; })) << "the other client goes on";
}

TEST_F(FleetWebTest, RemoteVehiclesKeepEntriesOfTheirOwn)
{
    ASSERT_NO_FATAL_FAILURE(startAll(1, 10));
    mvm()->addRemoteVehicle(QStringLiteral("RV-1"));
    mvm()->addRemoteVehicle(QStringLiteral("RV-2"));
    Client client(port);
    auto keys = [&] {
        std::set<std::string> k;
        for (const auto& entry : client.fleet)
            k.insert(entry.first);
        return k;
    };
    ASSERT_TRUE(waitUntil([&] {
        return keys() == std::set<std::string>{"local:1", "remote:RV-1", "remote:RV-2"};
    })) << json(keys()).dump();
    // Both have id -1: a tick for one must not land on the other.
    for (const auto& v : mvm()->vehicleList())
        if (v->vehicleCode() == QStringLiteral("RV-2"))
            v->setRemotePosition(10.5, 20.5, 30);
    ASSERT_TRUE(waitUntil([&] { return client.fleet["remote:RV-2"]["lat"] == 10.5; }));
    EXPECT_TRUE(client.fleet["remote:RV-1"]["lat"].is_null()) << "no fix: no position, not 0/0";
    mvm()->removeRemoteVehicle(QStringLiteral("RV-1"));
    EXPECT_TRUE(waitUntil([&] { return keys() == std::set<std::string>{"local:1", "remote:RV-2"}; }));
}

TEST_F(FleetWebTest, LargeDocumentGoesInPartsAndTheViewerStays)
{
    ASSERT_NO_FATAL_FAILURE(startAll(1, GcsFleetWebServer::kMaxRateHz));
    // About 1.4 MB of zones: as one message it would pass the 1 MiB of unsent output that drops
    // a client.
    ASSERT_NO_FATAL_FAILURE(loadManyZones());
    Client client(port);
    ASSERT_TRUE(waitUntil([&] { return client.partsLeft == 0; }, 20000));
    EXPECT_FALSE(client.messages[0].contains("zones")) << "the snapshot leaves it to the parts";
    EXPECT_EQ(json::parse(client.docs["zones"])["count"], 10000);
    EXPECT_EQ(json::parse(client.docs["zones"]), FleetReadModel::zones(app->ctrl->fleetSources()));
    EXPECT_LE(client.largest, 80 * 1024);
    const size_t seen = client.messages.size();
    EXPECT_TRUE(waitUntil([&] { return client.messages.size() > seen + 20; }));
    EXPECT_EQ(server->clientCount(), 1);

    // A small set again goes inline, in a tick.
    ASSERT_TRUE(app->ctrl->nfzZoneManager()->reloadFromJsonUtf8(
        R"([{"id": 7, "type": "circle", "center": [22.5, 113.9], "radius": 150}])"));
    EXPECT_TRUE(waitUntil([&] { return client.messages.back().value("zones", json())["count"] == 1; }));
}

// The connections the station itself holds on its page port: descriptors of this process that
// are TCP sockets bound locally to the port, not listening. Other objects of the process open
// descriptors of their own, and a connection waiting in the listen queue has no descriptor yet.
namespace {
int stationConnections(quint16 port)
{
    std::set<QByteArray> inodes;
    QFile tcp(QStringLiteral("/proc/self/net/tcp"));
    const QByteArray local = ":" + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    if (tcp.open(QIODevice::ReadOnly))
        for (const QByteArray& line : tcp.readAll().split('\n')) {
            const QList<QByteArray> f = line.simplified().split(' ');
            if (f.size() > 9 && f[1].endsWith(local) && f[3] != "0A" && f[9] != "0")  // 0A: listening
                inodes.insert("socket:[" + f[9] + "]");
        }
    int n = 0;
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QString& fd : fds.entryList(QDir::System | QDir::NoDotAndDotDot))
        n += int(inodes.count(QFile::symLinkTarget(fds.filePath(fd)).toUtf8()) > 0 ? 1 : 0);
    return n;
}
}  // namespace

TEST_F(FleetWebTest, PeerHoldingAnswersUnreadCannotExhaustTheStation)
{
    ASSERT_NO_FATAL_FAILURE(startAll(1, 5));
    const QByteArray host = "127.0.0.1:" + QByteArray::number(port);
    {
        std::vector<std::unique_ptr<Client>> viewers;
        for (int i = 0; i < 8; ++i)
            viewers.push_back(std::make_unique<Client>(port));
        ASSERT_TRUE(waitUntil([&] { return server->clientCount() == 8; }));
        const Reply ninth = raw(port, "GET /ws HTTP/1.1\r\nHost: " + host + "\r\n" + kHandshake + "Origin: http://" +
                                          host + "\r\n\r\n");
        EXPECT_EQ(ninth.status, 503) << "a peer's share of WebSocket clients is 8";
    }
    ASSERT_TRUE(waitUntil([&] { return server->clientCount() == 0; }));

    // 200 connections from one peer, each asking for a large document with a tiny receive window
    // and never reading: more than the kernel's buffers take, so each answer would stay unsent.
    ASSERT_NO_FATAL_FAILURE(loadManyZones());
    const QByteArray get = "GET /api/v1/zones HTTP/1.1\r\nHost: " + host + "\r\n\r\n";
    std::vector<int> stalled;
    for (int i = 0; i < 200; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        const int small = 1024;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
        ::send(fd, get.data(), size_t(get.size()), MSG_NOSIGNAL);
        stalled.push_back(fd);
        QCoreApplication::processEvents();
    }
    waitUntil([] { return false; }, 300);
    EXPECT_LE(stationConnections(port), 8) << "the station holds one peer's 8 connections at most";

    // Another peer is served at once.
    QElapsedTimer took;
    took.start();
    const Reply fleet =
        raw(port, "GET /api/v1/fleet HTTP/1.1\r\nHost: " + host + "\r\n\r\n", QHostAddress("127.0.0.2"));
    EXPECT_EQ(fleet.status, 200);
    EXPECT_LT(took.elapsed(), 1000);
    // Answers not taken within the deadline (1 s here) close their connections.
    EXPECT_TRUE(waitUntil([&] { return stationConnections(port) == 0; }, 5000))
        << stationConnections(port) << " still held";
    for (const int fd : stalled)
        ::close(fd);
}

TEST(FleetHttpGuard, CountsPeersInAddressRanges)
{
    const std::pair<const char*, const char*> cases[] = {
        {"192.168.1.77", "192.168.1.0/24"},       {"10.1.2.255", "10.1.2.0/24"},
        {"::ffff:10.1.2.3", "10.1.2.0/24"},       {"2001:db8:1:2:3:4:5:6", "2001:db8:1:2::/64"},
        {"2001:db8:1:3::1", "2001:db8:1:3::/64"}, {"::1", "::/64"},
    };
    for (const auto& [address, range] : cases)
        EXPECT_EQ(GcsFleetHttpGuard::rangeOf(QHostAddress(QString::fromLatin1(address))).toStdString(), range)
            << address;
}

// Half-sent request heads from a few addresses cannot block everyone: one range holds twice a
// peer's share, and when the whole budget is full the oldest unfinished head makes room.
TEST_F(FleetWebTest, HalfSentHeadsCannotBlockOtherClients)
{
    ASSERT_NO_FATAL_FAILURE(startAll(1, 5));
    const QByteArray host = "Host: 127.0.0.1:" + QByteArray::number(port) + "\r\n";
    std::vector<std::unique_ptr<QTcpSocket>> range;
    for (int peer = 1; peer <= 3; ++peer)
        ASSERT_NO_FATAL_FAILURE(holdHalfHeads(QHostAddress(QStringLiteral("127.0.20.%1").arg(peer)), 8, range));
    EXPECT_EQ(stillOpen(range), 16) << "a /24 holds twice a peer's 8";
    EXPECT_TRUE(std::all_of(range.end() - 16, range.end(), [](const auto& s) {
        return s->state() == QAbstractSocket::ConnectedState;
    })) << "the oldest heads went first";
    range.clear();

    std::vector<std::unique_ptr<QTcpSocket>> everyone;
    for (int net = 1; net <= 8; ++net)
        ASSERT_NO_FATAL_FAILURE(holdHalfHeads(QHostAddress(QStringLiteral("127.0.%1.1").arg(net)), 8, everyone));
    EXPECT_EQ(stillOpen(everyone), GcsFleetHttpGuard::kMaxConnections);
    EXPECT_EQ(raw(port, "GET /api/v1/fleet HTTP/1.1\r\n" + host + "\r\n", QHostAddress("127.0.9.1")).status, 200);
    const QByteArray origin = "127.0.0.1:" + QByteArray::number(port);
    EXPECT_EQ(raw(port, "GET /ws HTTP/1.1\r\n" + host + kHandshake + "Origin: http://" + origin + "\r\n\r\n",
                  QHostAddress("127.0.10.1"))
                  .status,
              101);
    EXPECT_LT(stillOpen(everyone), GcsFleetHttpGuard::kMaxConnections);
}

// Pings cost the station a pong each: a client that floods them is closed before they are
// answered, and one over its unsent limit at once.
TEST_F(FleetWebTest, PingFloodClosesTheClient)
{
    ASSERT_NO_FATAL_FAILURE(startAll(1, 5));
    Client pinger(port);
    int pongs = 0;
    QObject::connect(&pinger.socket, &QWebSocket::pong, [&] { ++pongs; });
    ASSERT_TRUE(waitUntil([&] { return !pinger.messages.empty(); }));
    LogCapture::instance().clear();
    for (int i = 0; i < 200; ++i)
        pinger.socket.ping("x");
    pinger.socket.flush();
    EXPECT_TRUE(waitUntil([&] { return server->clientCount() == 0; }, 3000));
    testsupport::pumpEvents(200);
    EXPECT_LE(pongs, GcsFleetWebServer::kMostIncomingFramesPerSecond);
    EXPECT_EQ(LogCapture::instance().countContaining(spdlog::level::warn, "(pings) in a second"), 1);

    // A raw flood that never reads: megabytes of pings in one go.
    QTcpSocket flood;
    flood.connectToHost(QHostAddress::LocalHost, port);
    ASSERT_TRUE(flood.waitForConnected(3000));
    const QByteArray origin = "127.0.0.1:" + QByteArray::number(port);
    flood.write("GET /ws HTTP/1.1\r\nHost: " + origin + "\r\n" + kHandshake + "Origin: http://" + origin + "\r\n\r\n");
    ASSERT_TRUE(waitUntil([&] { return server->clientCount() == 1; }));
    const QByteArray ping("\x89\x80\x00\x00\x00\x00", 6);  // masked, empty
    flood.write(ping.repeated(400000));
    EXPECT_TRUE(waitUntil([&] { return server->clientCount() == 0; }, 5000));
}

TEST_F(FleetWebTest, ClientThatReadsNothingIsClosed)
{
    stalledReaderMs = 1000;
    ASSERT_NO_FATAL_FAILURE(startAll(50, GcsFleetWebServer::kMaxRateHz));
    GcsSettings::getInstance()->setTeleReqInterval(50);
    for (const auto& v : mvm()->vehicleList())
        v->takeoff(2000, 5);
    Client reader(port);
    QTcpSocket stalled;
    ASSERT_NO_FATAL_FAILURE(openStalledWebSocket(stalled));
    ASSERT_TRUE(waitUntil([&] { return server->clientCount() == 2; }));
    LogCapture::instance().clear();
    EXPECT_TRUE(waitUntil([&] { return server->clientCount() == 1; }, 15000));
    EXPECT_EQ(LogCapture::instance().countContaining(spdlog::level::warn, "it took nothing for"), 1);
    testsupport::pumpEvents(1500);  // longer than stalledReaderMs
    EXPECT_EQ(server->clientCount(), 1) << "the client that reads stays";
}

// Out of descriptors the server cannot accept (QTcpServer then pauses for good); once some are
// free again it takes the client that waited meanwhile.
TEST_F(FleetWebTest, AcceptsAgainOnceDescriptorsAreFree)
{
    ASSERT_NO_FATAL_FAILURE(startAll(1, 5));
    LogCapture::instance().clear();
    // The client connects first (the kernel completes it into the backlog; the server accepts
    // only when events run), then every descriptor left is taken. Nothing is called on a new
    // object while none is free: the sanitizer's type check needs a descriptor of its own.
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, port);
    ASSERT_TRUE(client.waitForConnected(3000)) << "the kernel completes the connection into the backlog";
    EXPECT_EQ(LogCapture::instance().countContaining(spdlog::level::err, "cannot accept connections"), 0);
    std::vector<int> held;
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
        held.push_back(fd);
    ASSERT_GT(held.size(), 1u);
    const bool refused = waitUntil(
        [&] { return LogCapture::instance().countContaining(spdlog::level::err, "cannot accept connections") > 0; });
    for (const int fd : held)
        ::close(fd);
    ASSERT_TRUE(refused) << "the accept did not fail for want of descriptors";
    client.write("GET /api/v1/link HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port) + "\r\n\r\n");
    QByteArray answer;
    EXPECT_TRUE(waitUntil([&] {
        answer += client.readAll();
        return answer.contains("\r\n\r\n");
    })) << "the waiting client was never taken";
    EXPECT_TRUE(answer.startsWith("HTTP/1.1 200")) << answer.left(80).toStdString();
}
