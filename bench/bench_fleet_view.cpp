// velmora-fleetview under a large fleet: a mosquitto of its own, synthetic stations publishing
// --vehicles vehicles over --stations stations at --rate-hz each (as FleetPublisher does:
// retained, QoS 1, the station's vehicle fields), the viewer as a process, and --clients page
// WebSockets in this process. Prints the broker's message rate, the viewer's CPU (share of one
// core) and memory, and the ticks each client got against the page's rate.
// Goals on this machine: CPU under 0.3 of a core, memory under 100 MiB, no client dropped and
// no tick missing.
//
//   bench_fleet_view [--seconds 20] [--vehicles 1000] [--stations 10] [--rate-hz 2] [--clients 5]

#include "BenchSupport.h"

#include "OstMqttClient.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QWebSocket>

#include <nlohmann/json.hpp>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <numeric>
#include <unistd.h>

using nlohmann::json;

namespace {

quint16 freeTcpPort()
{
    QTcpServer s;
    s.listen(QHostAddress::LocalHost, 0);
    return s.serverPort();
}

bool waitFor(const std::function<bool()>& done, int ms)
{
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < ms)
        bench::pump(20);
    return done();
}

// CPU seconds and resident KiB (now and peak) of another process.
struct ProcUsage {
    double cpu = 0;
    long rssKiB = 0;
    long peakKiB = 0;
};

ProcUsage usageOf(qint64 pid)
{
    ProcUsage u;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (stat.open(QIODevice::ReadOnly)) {
        const QByteArray text = stat.readAll();
        const QList<QByteArray> f = text.mid(text.lastIndexOf(')') + 2).split(' ');
        // utime and stime are fields 14 and 15 of the line, 12 and 13 after the name.
        if (f.size() > 13)
            u.cpu = double(f[11].toLongLong() + f[12].toLongLong()) / double(sysconf(_SC_CLK_TCK));
    }
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (line.startsWith("VmRSS:"))
                u.rssKiB = line.mid(6).trimmed().split(' ').first().toLong();
            if (line.startsWith("VmHWM:"))
                u.peakKiB = line.mid(6).trimmed().split(' ').first().toLong();
        }
    }
    return u;
}

json httpGet(quint16 port, const char* path)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(2000))
        return nullptr;
    socket.write(QStringLiteral("GET %1 HTTP/1.1\r\nHost: 127.0.0.1:%2\r\n\r\n").arg(path).arg(port).toUtf8());
    QByteArray reply;
    while (socket.waitForReadyRead(2000))
        reply += socket.readAll();
    const qsizetype body = reply.indexOf("\r\n\r\n");
    return body < 0 ? json(nullptr) : json::parse(reply.mid(body + 4).toStdString(), nullptr, false);
}

// One vehicle as a station publishes it, at step `n` of its flight.
std::string vehicleMessage(int id, int n)
{
    const double a = double(n) * 0.01 + id;
    return json({{"id", id},
                 {"code", "V-" + std::to_string(id)},
                 {"alive", true},
                 {"lat", 22.5 + 0.001 * std::sin(a)},
                 {"lon", 113.9 + 0.001 * std::cos(a)},
                 {"alt", 30.0 + std::round(10 * std::sin(a) * 10) / 10},
                 {"heading", std::fmod(a * 57.3, 360.0)},
                 {"northSpd", 2.5},
                 {"eastSpd", 1.5},
                 {"upSpd", 0.0},
                 {"groundSpeed", 2.92},
                 {"fcuVol", 25.2},
                 {"batteryState", 0},
                 {"batteryStateText", "Normal"},
                 {"posSatNum", 18},
                 {"flightMode", 3},
                 {"flightModeText", "Auto mode"},
                 {"flightState", 3},
                 {"flightStateText", "Cruising"},
                 {"lastTelemetryAgeMs", 0},
                 {"lastHeartbeatAgeMs", 0},
                 {"alerts", json::array()},
                 {"time", QDateTime::currentMSecsSinceEpoch()}})
        .dump();
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    spdlog::set_level(spdlog::level::warn);
    QCommandLineParser parser;
    parser.addOptions({{"seconds", "measured seconds", "N", "20"},
                       {"vehicles", "vehicles in all", "N", "1000"},
                       {"stations", "stations they are spread over", "N", "10"},
                       {"rate-hz", "messages per vehicle and second", "HZ", "2"},
                       {"clients", "page WebSocket clients", "N", "5"}});
    parser.process(app);
    const int seconds = std::max(1, parser.value("seconds").toInt());
    const int stations = std::clamp(parser.value("stations").toInt(), 1, 256);
    const int perStation = std::clamp(parser.value("vehicles").toInt() / stations, 1, 255);
    const double rateHz = std::clamp(parser.value("rate-hz").toDouble(), 0.1, 20.0);
    const int clients = std::clamp(parser.value("clients").toInt(), 0, 8);
    const int pageHz = 5;

    QTemporaryDir dir;
    const quint16 port = freeTcpPort();
    QFile conf(dir.path() + "/mosquitto.conf");
    conf.open(QIODevice::WriteOnly);
    conf.write(
        QStringLiteral("listener %1 127.0.0.1\nallow_anonymous true\nmax_queued_messages 100000\n").arg(port).toUtf8());
    conf.close();
    QProcess broker;
    broker.setStandardOutputFile(QProcess::nullDevice());
    broker.setStandardErrorFile(QProcess::nullDevice());
    broker.start("mosquitto", {"-c", conf.fileName()});
    if (!waitFor(
            [&] {
                QTcpSocket s;
                s.connectToHost(QHostAddress::LocalHost, port);
                return s.waitForConnected(100);
            },
            10000)) {
        std::fprintf(stderr, "mosquitto did not start\n");
        return 1;
    }
    const std::string uri = "mqtt://127.0.0.1:" + std::to_string(port);

    // The synthetic stations.
    std::vector<std::unique_ptr<OstMqttClient>> publishers;
    for (int s = 0; s < stations; ++s) {
        auto c = std::make_unique<OstMqttClient>(uri, "bench-station-" + std::to_string(s));
        c->connectToServer("", "", 10);
        publishers.push_back(std::move(c));
    }
    if (!waitFor(
            [&] {
                return std::all_of(publishers.begin(), publishers.end(),
                                   [](const auto& c) { return c->isConnected(); });
            },
            10000)) {
        std::fprintf(stderr, "the publishers did not connect\n");
        return 1;
    }
    auto topic = [](int s, const std::string& leaf) { return "velmora/fleet/bench-" + std::to_string(s) + "/" + leaf; };
    // Each station's status every second, with its time and vehicles, as a live station sends it.
    std::vector<int> ids(static_cast<size_t>(perStation));
    std::iota(ids.begin(), ids.end(), 1);
    auto publishStatuses = [&] {
        for (int s = 0; s < stations; ++s)
            publishers[size_t(s)]->publish(topic(s, "status"),
                                           json({{"online", true},
                                                 {"version", "bench"},
                                                 {"vehicles", perStation},
                                                 {"vehicleIds", ids},
                                                 {"startedAt", "2000-01-01T00:00:00.000Z"},
                                                 {"time", QDateTime::currentMSecsSinceEpoch()},
                                                 {"statusEveryS", 1}})
                                               .dump(),
                                           1, true);
    };
    publishStatuses();
    QTimer statusTimer;
    statusTimer.setInterval(1000);
    QObject::connect(&statusTimer, &QTimer::timeout, publishStatuses);
    statusTimer.start();
    // Every vehicle rateHz times a second, spread over 20 slices of each period.
    const int total = stations * perStation;
    const int slices = 20;
    uint64_t published = 0;
    int step = 0;
    QTimer publishTimer;
    publishTimer.setInterval(int(1000.0 / rateHz / slices));
    QObject::connect(&publishTimer, &QTimer::timeout, [&] {
        const int slice = step % slices;
        for (int k = slice; k < total; k += slices) {
            const int s = k / perStation;
            const int id = k % perStation + 1;
            published += publishers[size_t(s)]->publish(topic(s, "vehicle/" + std::to_string(id)),
                                                        vehicleMessage(id, step / slices), 1, true);
        }
        ++step;
    });
    publishTimer.start();

    QProcess viewer;
    viewer.setStandardErrorFile(dir.path() + "/viewer.log");
    viewer.start(VELMORA_FLEETVIEW_BIN, {"--broker", QString::fromStdString(uri), "--http", "0", "--http-rate-hz",
                                         QString::number(pageHz), "--log-level", "warn"});
    if (!waitFor([&] { return viewer.canReadLine(); }, 10000)) {
        std::fprintf(stderr, "velmora-fleetview did not start\n");
        return 1;
    }
    const quint16 viewPort =
        quint16(QString::fromUtf8(viewer.readLine()).trimmed().section(':', -1).remove('/').toUInt());
    if (!waitFor([&] { return httpGet(viewPort, "/api/v1/fleet").value("count", 0) == total; }, 15000)) {
        std::fprintf(stderr, "the viewer did not list %d vehicles\n", total);
        return 1;
    }

    std::vector<std::unique_ptr<QWebSocket>> sockets;
    std::vector<int> ticks(size_t(clients), 0);
    int closed = 0;
    bool counting = false;
    for (int i = 0; i < clients; ++i) {
        auto ws = std::make_unique<QWebSocket>(QStringLiteral("http://127.0.0.1:%1").arg(viewPort));
        QObject::connect(ws.get(), &QWebSocket::textMessageReceived, [&, i](const QString& text) {
            if (counting && text.startsWith(QLatin1String("{\"type\":\"tick\"")))
                ++ticks[size_t(i)];
        });
        QObject::connect(ws.get(), &QWebSocket::disconnected, [&] { closed += counting; });
        ws->open(QUrl(QStringLiteral("ws://127.0.0.1:%1/ws").arg(viewPort)));
        sockets.push_back(std::move(ws));
    }
    bench::pump(2000);  // the snapshots, and the viewer settled

    const json link0 = httpGet(viewPort, "/api/v1/link");
    const ProcUsage u0 = usageOf(viewer.processId());
    const uint64_t published0 = published;
    counting = true;
    QElapsedTimer wall;
    wall.start();
    bench::pump(seconds * 1000);
    counting = false;
    const double elapsed = double(wall.elapsed()) / 1000.0;
    const ProcUsage u1 = usageOf(viewer.processId());
    const json link1 = httpGet(viewPort, "/api/v1/link");

    const double received =
        double(link1["messages"]["received"].get<uint64_t>() - link0["messages"]["received"].get<uint64_t>());
    const int expectedTicks = int(elapsed * pageHz);
    const int fewest = ticks.empty() ? 0 : *std::min_element(ticks.begin(), ticks.end());
    std::printf("fleet view: %d vehicles over %d stations at %.1f Hz, %d page clients at %d Hz, %d s\n", total,
                stations, rateHz, clients, pageHz, seconds);
    std::printf("broker messages/s     published %.0f, received by the viewer %.0f\n",
                double(published - published0) / elapsed, received / elapsed);
    std::printf("viewer CPU            %.3f of a core (goal < 0.3)\n", (u1.cpu - u0.cpu) / elapsed);
    std::printf("viewer memory         %.1f MiB resident, %.1f MiB peak (goal < 100)\n", double(u1.rssKiB) / 1024,
                double(u1.peakKiB) / 1024);
    std::printf("page ticks per client fewest %d of %d expected, clients dropped %d\n", fewest, expectedTicks, closed);
    std::printf("viewer drops          inbox %s, malformed %s\n", link1.value("inboxDropped", json(0)).dump().c_str(),
                link1["messages"]["malformed"].dump().c_str());

    publishTimer.stop();
    sockets.clear();
    viewer.terminate();
    viewer.waitForFinished(5000);
    publishers.clear();
    broker.terminate();
    broker.waitForFinished(5000);
    return 0;
}
