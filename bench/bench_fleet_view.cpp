// velmora-fleetview under a large fleet: a mosquitto of its own, synthetic stations publishing
// --vehicles vehicles over --stations stations at --hz each (as FleetPublisher does: retained,
// QoS 1, the station's vehicle fields rounded as it rounds them), the viewer as a process, and
// --clients page WebSockets in a child process (so their reading is not this process's
// publishing). Prints the broker's message rate, the viewer's CPU (share of one core) and memory,
// its memory per vehicle (over the viewer's own with no vehicle), the ticks and bytes each client
// got, and the time a client that joins during the measurement waits for its first snapshot
// holding every vehicle.
//
//   bench_fleet_view                           1,000 vehicles, 10 stations, 2 Hz, 5 clients
//   bench_fleet_view --stations 40 --vehicles 10000 --hz 1 --clients 20
//   bench_fleet_view --growth ...              the same at --growth-from vehicles (1,000) first,
//                                              then how CPU and memory grow (an exponent)
//   bench_fleet_view --serve ...               only the feed: prints "fleet page: URL" and runs
//                                              until --seconds pass or SIGTERM (the browser test)
//
// The default stays the 1,000-vehicle run so its figures compare with earlier ones; the goals
// printed are those of the fleet size asked (see Goals).

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
#include <csignal>
#include <cstdio>
#include <map>
#include <memory>
#include <numeric>
#include <sys/prctl.h>
#include <unistd.h>

using nlohmann::json;

namespace {

volatile std::sig_atomic_t g_stop = 0;

// Up to 1,000 vehicles the goals of the first viewer; beyond, those of a 10,000-vehicle fleet.
struct Goals {
    double cpuCores;
    double memoryMiB;
    double firstDocumentS = 2.0;
    double clientMBps = 2.0;
};
Goals goalsFor(int vehicles)
{
    return vehicles <= 1000 ? Goals{0.3, 100} : Goals{1.0, 500};
}

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
    while (!done() && t.elapsed() < ms && !g_stop)
        bench::pump(20);
    return done();
}

// A child dies with this process, even when it is killed.
void dieWithParent(QProcess& p)
{
    p.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
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

double rounded(double v, int decimals)
{
    const double scale = std::pow(10.0, decimals);
    return std::round(v * scale) / scale;
}

// One vehicle as a station publishes it, at step `n` of its flight: each station flies around a
// place of its own, positions rounded to 7 decimals and angles to 1, as the station rounds them.
std::string vehicleMessage(int station, int id, int n)
{
    const double a = double(n) * 0.01 + id;
    const double lat0 = 22.5 + 0.05 * double(station % 8);
    const double lon0 = 113.9 + 0.05 * double(station / 8);
    return json({{"id", id},
                 {"code", "V-" + std::to_string(id)},
                 {"alive", true},
                 {"lat", rounded(lat0 + 0.002 * std::sin(a) + 0.0002 * (id % 16), 7)},
                 {"lon", rounded(lon0 + 0.002 * std::cos(a) + 0.0002 * (id / 16), 7)},
                 {"alt", rounded(30.0 + 10 * std::sin(a), 1)},
                 {"heading", rounded(std::fmod(a * 57.3, 360.0), 1)},
                 {"northSpd", 2.5},
                 {"eastSpd", 1.5},
                 {"upSpd", 0.0},
                 {"groundSpeed", 2.92},
                 {"fcuVol", rounded(25.2 - 0.001 * n, 1)},
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

struct Config {
    int seconds = 20;
    int vehicles = 1000;
    int stations = 10;
    double rateHz = 2;
    int clients = 5;
    int pageHz = 5;
};

// What the page clients' process measured.
struct ClientFigures {
    int fewestTicks = 0;
    double mostMBps = 0;  // bytes received by the busiest client, 10^6 a second
    double lateFirstS = -1;  // connect to a snapshot with every vehicle; -1: none came
    long lateCount = 0;  // vehicles in that snapshot
    int dropped = 0;
    bool ok = false;
};

// The child: `clients` WebSockets, counted for `seconds` after `settleMs`; one more joins half way
// and is timed until its snapshot has `expect` vehicles. One JSON line on standard output.
int runClients(quint16 port, int clients, int seconds, int settleMs, long expect)
{
    std::vector<std::unique_ptr<QWebSocket>> sockets;
    std::vector<int> ticks(size_t(clients), 0);
    std::vector<double> bytes(size_t(clients), 0);
    int closed = 0;
    bool counting = false;
    const QUrl url(QStringLiteral("ws://127.0.0.1:%1/ws").arg(port));
    const QString origin = QStringLiteral("http://127.0.0.1:%1").arg(port);
    for (int i = 0; i < clients; ++i) {
        auto ws = std::make_unique<QWebSocket>(origin);
        QObject::connect(ws.get(), &QWebSocket::textMessageReceived, [&, i](const QString& text) {
            // Ticks only: a snapshot that reaches a starved client late is not its steady rate.
            if (!counting || !text.startsWith(QLatin1String("{\"type\":\"tick\"")))
                return;
            bytes[size_t(i)] += double(text.size());
            ++ticks[size_t(i)];
        });
        QObject::connect(ws.get(), &QWebSocket::disconnected, [&] { closed += counting; });
        ws->open(url);
        sockets.push_back(std::move(ws));
    }
    bench::pump(settleMs);
    counting = true;
    QElapsedTimer wall;
    wall.start();
    bench::pump(seconds * 500);
    QWebSocket late(origin);
    QElapsedTimer lateClock;
    double lateS = -1;
    long lateCount = 0;
    QObject::connect(&late, &QWebSocket::textMessageReceived, [&](const QString& text) {
        // Ticks start with their type; the snapshot is a whole document, keys in order.
        if (lateS >= 0 || text.startsWith(QLatin1String("{\"type\":")))
            return;
        const double s = double(lateClock.nsecsElapsed()) / 1e9;
        const json doc = json::parse(text.toStdString(), nullptr, false);
        if (!doc.is_object() || doc.value("type", "") != "snapshot")
            return;
        lateCount = long(doc["fleet"].value("count", 0));
        if (lateCount >= expect)
            lateS = s;
    });
    lateClock.start();
    late.open(url);
    bench::pump(seconds * 500);
    counting = false;
    const double elapsed = double(wall.elapsed()) / 1000.0;
    json out = {{"fewestTicks", ticks.empty() ? 0 : *std::min_element(ticks.begin(), ticks.end())},
                {"mostMBps", bytes.empty() ? 0.0 : *std::max_element(bytes.begin(), bytes.end()) / elapsed / 1e6},
                {"lateFirstS", lateS},
                {"lateCount", lateCount},
                {"dropped", closed}};
    std::printf("%s\n", out.dump().c_str());
    std::fflush(stdout);
    return 0;
}

struct Result {
    bool ok = false;
    int total = 0;
    double published = 0;  // a second
    double received = 0;  // a second
    double cpu = 0;  // of one core
    double rssMiB = 0;
    double peakMiB = 0;
    double idleMiB = 0;  // the viewer with no vehicle yet
    int expectedTicks = 0;
    ClientFigures clients;
    std::string drops;
};

// One run: broker, stations, viewer and clients up, measured, and down again. With `serve`, only
// the feed, until `seconds` pass or a signal.
Result runFleet(const Config& c, bool serve)
{
    Result r;
    const int perStation = std::clamp(c.vehicles / c.stations, 1, 255);
    const int total = c.stations * perStation;
    r.total = total;

    QTemporaryDir dir;
    const quint16 port = freeTcpPort();
    QFile conf(dir.path() + "/mosquitto.conf");
    conf.open(QIODevice::WriteOnly);
    conf.write(
        QStringLiteral("listener %1 127.0.0.1\nallow_anonymous true\nmax_queued_messages 100000\n").arg(port).toUtf8());
    conf.close();
    QProcess broker;
    dieWithParent(broker);
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
        return r;
    }
    const std::string uri = "mqtt://127.0.0.1:" + std::to_string(port);

    // The synthetic stations.
    std::vector<std::unique_ptr<OstMqttClient>> publishers;
    for (int s = 0; s < c.stations; ++s) {
        auto client = std::make_unique<OstMqttClient>(uri, "bench-station-" + std::to_string(s));
        client->connectToServer("", "", 10);
        publishers.push_back(std::move(client));
    }
    if (!waitFor(
            [&] {
                return std::all_of(publishers.begin(), publishers.end(),
                                   [](const auto& p) { return p->isConnected(); });
            },
            10000)) {
        std::fprintf(stderr, "the publishers did not connect\n");
        return r;
    }
    auto topic = [](int s, const std::string& leaf) { return "velmora/fleet/bench-" + std::to_string(s) + "/" + leaf; };
    // Each station's status every second, with its time and vehicles, as a live station sends it.
    std::vector<int> ids(static_cast<size_t>(perStation));
    std::iota(ids.begin(), ids.end(), 1);
    auto publishStatuses = [&] {
        for (int s = 0; s < c.stations; ++s)
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

    // The viewer first, so its memory with no vehicle is known.
    QProcess viewer;
    dieWithParent(viewer);
    viewer.setStandardErrorFile(dir.path() + "/viewer.log");
    viewer.start(VELMORA_FLEETVIEW_BIN,
                 {"--broker", QString::fromStdString(uri), "--http", "0", "--http-rate-hz", QString::number(c.pageHz),
                  "--http-per-peer", "32", "--log-level", serve ? "info" : "warn"});
    if (!waitFor([&] { return viewer.canReadLine(); }, 10000)) {
        std::fprintf(stderr, "velmora-fleetview did not start\n");
        return r;
    }
    const QString pageUrl = QString::fromUtf8(viewer.readLine()).trimmed().section(' ', -1);
    const quint16 viewPort = quint16(pageUrl.section(':', -1).remove('/').toUInt());
    if (!serve) {
        waitFor([&] { return httpGet(viewPort, "/api/v1/stations").value("count", 0) == c.stations; }, 5000);
        bench::pump(500);
        r.idleMiB = double(usageOf(viewer.processId()).rssKiB) / 1024;
    }

    // Every vehicle rateHz times a second, spread over 20 slices of each period.
    const int slices = 20;
    uint64_t published = 0;
    int step = 0;
    QTimer publishTimer;
    publishTimer.setInterval(int(1000.0 / c.rateHz / slices));
    QObject::connect(&publishTimer, &QTimer::timeout, [&] {
        const int slice = step % slices;
        for (int k = slice; k < total; k += slices) {
            const int s = k / perStation;
            const int id = k % perStation + 1;
            published += publishers[size_t(s)]->publish(topic(s, "vehicle/" + std::to_string(id)),
                                                        vehicleMessage(s, id, step / slices), 1, true);
        }
        ++step;
    });
    publishTimer.start();
    // The stations' counts: the fleet document itself is megabytes.
    auto listed = [&] {
        int n = 0;
        const json doc = httpGet(viewPort, "/api/v1/stations");
        for (const json& s : doc.is_object() ? doc["stations"] : json::array())
            n += s.value("vehicles", 0);
        return n;
    };
    if (!waitFor([&] { return listed() == total; }, 20000)) {
        std::fprintf(stderr, "the viewer did not list %d vehicles\n", total);
        return r;
    }

    auto stop = [&] {
        publishTimer.stop();
        viewer.terminate();
        viewer.waitForFinished(5000);
        publishers.clear();
        broker.terminate();
        broker.waitForFinished(5000);
    };
    if (serve) {
        std::printf("fleet page: %s\n", qPrintable(pageUrl));
        std::fflush(stdout);
        QElapsedTimer served;
        served.start();
        while (!g_stop && served.elapsed() < qint64(c.seconds) * 1000 && viewer.state() == QProcess::Running)
            bench::pump(100);
        stop();
        // What the viewer said while it served: a page test that fails shows it.
        QFile log(dir.path() + "/viewer.log");
        if (log.open(QIODevice::ReadOnly) && log.size() > 0)
            std::fprintf(stderr, "viewer log (end):\n%s\n", log.readAll().right(3000).constData());
        r.ok = true;
        return r;
    }

    const int settleMs = 2000;  // the snapshots, and the viewer settled
    QProcess clients;
    dieWithParent(clients);
    clients.setStandardErrorFile(QProcess::nullDevice());
    clients.start(QCoreApplication::applicationFilePath(),
                  {"--page-clients", QString::number(viewPort), "--clients", QString::number(c.clients), "--seconds",
                   QString::number(c.seconds), "--settle-ms", QString::number(settleMs), "--vehicles",
                   QString::number(total)});
    bench::pump(settleMs);

    const json link0 = httpGet(viewPort, "/api/v1/link");
    const ProcUsage u0 = usageOf(viewer.processId());
    const uint64_t published0 = published;
    QElapsedTimer wall;
    wall.start();
    bench::pump(c.seconds * 1000);
    const double elapsed = double(wall.elapsed()) / 1000.0;
    const ProcUsage u1 = usageOf(viewer.processId());
    const json link1 = httpGet(viewPort, "/api/v1/link");
    waitFor([&] { return clients.state() == QProcess::NotRunning; }, 15000);
    const json figures = json::parse(clients.readAllStandardOutput().toStdString(), nullptr, false);

    if (!link0.is_object() || !link1.is_object()) {
        QFile log(dir.path() + "/viewer.log");
        log.open(QIODevice::ReadOnly);
        std::fprintf(stderr, "the viewer did not answer /api/v1/link (%s); its log ends:\n%s\n",
                     viewer.state() == QProcess::Running ? "running" : "exited", log.readAll().right(2000).constData());
        stop();
        return r;
    }
    r.published = double(published - published0) / elapsed;
    r.received =
        double(link1["messages"]["received"].get<uint64_t>() - link0["messages"]["received"].get<uint64_t>()) / elapsed;
    r.cpu = (u1.cpu - u0.cpu) / elapsed;
    r.rssMiB = double(u1.rssKiB) / 1024;
    r.peakMiB = double(u1.peakKiB) / 1024;
    r.expectedTicks = int(elapsed * c.pageHz);
    r.drops =
        "inbox " + link1.value("inboxDropped", json(0)).dump() + ", malformed " + link1["messages"]["malformed"].dump();
    if (figures.is_object()) {
        r.clients = {figures.value("fewestTicks", 0), figures.value("mostMBps", 0.0), figures.value("lateFirstS", -1.0),
                     figures.value("lateCount", 0L),  figures.value("dropped", 0),    true};
    }
    stop();
    if (r.clients.dropped) {
        // Why, as the viewer logged it: each reason once, with its count.
        QFile log(dir.path() + "/viewer.log");
        log.open(QIODevice::ReadOnly);
        std::map<std::string, int> reasons;
        for (const QByteArray& line : log.readAll().split('\n'))
            if (line.contains("client"))
                ++reasons[line.mid(line.indexOf("<fleet-web>")).left(120).toStdString()];
        for (const auto& [reason, n] : reasons)
            std::fprintf(stderr, "viewer log, %d times: %s\n", n, reason.c_str());
    }
    r.ok = true;
    return r;
}

const char* met(bool ok)
{
    return ok ? "met" : "MISSED";
}

void print(const Config& c, const Result& r)
{
    const Goals g = goalsFor(r.total);
    const double perVehicleKiB = (r.rssMiB - r.idleMiB) * 1024 / std::max(1, r.total);
    std::printf("fleet view: %d vehicles over %d stations at %.1f Hz, %d page clients at %d Hz, %d s\n", r.total,
                c.stations, c.rateHz, c.clients, c.pageHz, c.seconds);
    std::printf("broker messages/s      published %.0f, received by the viewer %.0f\n", r.published, r.received);
    std::printf("viewer CPU             %.3f of a core (goal < %.1f, %s)\n", r.cpu, g.cpuCores,
                met(r.cpu < g.cpuCores));
    std::printf("viewer memory          %.1f MiB resident, %.1f MiB peak (goal < %.0f, %s)\n", r.rssMiB, r.peakMiB,
                g.memoryMiB, met(r.peakMiB < g.memoryMiB));
    std::printf("memory per vehicle     %.2f KiB (%.1f MiB over the viewer's %.1f MiB with no vehicle)\n",
                perVehicleKiB, r.rssMiB - r.idleMiB, r.idleMiB);
    if (!r.clients.ok) {
        std::printf("page clients           no figures from the client process\n");
        return;
    }
    std::printf("page ticks per client  fewest %d of %d expected, clients dropped %d\n", r.clients.fewestTicks,
                r.expectedTicks, r.clients.dropped);
    std::printf("page client received   %.2f MB/s of ticks the busiest (goal < %.1f, %s)\n", r.clients.mostMBps,
                g.clientMBps, met(r.clients.mostMBps < g.clientMBps));
    if (r.clients.lateFirstS < 0)
        std::printf("new client's snapshot  none with every vehicle (%ld of %d) (goal < %.1f s, MISSED)\n",
                    r.clients.lateCount, r.total, g.firstDocumentS);
    else
        std::printf("new client's snapshot  %.2f s to a snapshot of all %ld vehicles (goal < %.1f s, %s)\n",
                    r.clients.lateFirstS, r.clients.lateCount, g.firstDocumentS,
                    met(r.clients.lateFirstS < g.firstDocumentS));
    std::printf("viewer drops           %s\n", r.drops.c_str());
}

// How a cost grows from n0 to n1 vehicles: the exponent k of cost ~ vehicles^k.
double exponent(double cost0, double cost1, int n0, int n1)
{
    return cost0 > 0 && cost1 > 0 ? std::log(cost1 / cost0) / std::log(double(n1) / double(n0)) : std::nan("");
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    spdlog::set_level(spdlog::level::warn);
    QCommandLineParser parser;
    parser.addOptions({{"seconds", "measured seconds (--serve: how long to serve)", "N", "20"},
                       {"vehicles", "vehicles in all", "N", "1000"},
                       {"stations", "stations they are spread over", "N", "10"},
                       {{"hz", "rate-hz"}, "messages per vehicle and second", "HZ", "2"},
                       {"clients", "page WebSocket clients", "N", "5"},
                       {"growth", "run at --growth-from vehicles first and print how the costs grow"},
                       {"growth-from", "the smaller fleet of --growth", "N", "1000"},
                       {"serve", "only the stations, broker and viewer; the page's address on standard output"},
                       {"page-clients", "(internal) the client process, for the viewer on PORT", "PORT"},
                       {"settle-ms", "(internal) the client process's wait before counting", "MS", "2000"}});
    parser.process(app);
    Config c;
    c.seconds = std::max(1, parser.value("seconds").toInt());
    c.stations = std::clamp(parser.value("stations").toInt(), 1, 256);
    c.vehicles = std::max(1, parser.value("vehicles").toInt());
    c.rateHz = std::clamp(parser.value("hz").toDouble(), 0.1, 20.0);
    c.clients = std::clamp(parser.value("clients").toInt(), 0, 30);
    if (parser.isSet("page-clients"))
        return runClients(quint16(parser.value("page-clients").toUInt()), c.clients, c.seconds,
                          parser.value("settle-ms").toInt(), parser.value("vehicles").toLong());

    std::signal(SIGTERM, [](int) { g_stop = 1; });
    std::signal(SIGINT, [](int) { g_stop = 1; });
    if (parser.isSet("serve"))
        return runFleet(c, true).ok ? 0 : 1;
    Result small;
    Config first = c;
    if (parser.isSet("growth")) {
        first.vehicles = std::max(1, parser.value("growth-from").toInt());
        small = runFleet(first, false);
        if (!small.ok)
            return 1;
        print(first, small);
        std::printf("\n");
    }
    const Result large = runFleet(c, false);
    if (!large.ok)
        return 1;
    print(c, large);
    if (parser.isSet("growth")) {
        const double mem0 = small.rssMiB - small.idleMiB;
        const double mem1 = large.rssMiB - large.idleMiB;
        std::printf("\ngrowth from %d to %d vehicles (cost ~ vehicles^k; goal k <= 1, linear or better):\n",
                    small.total, large.total);
        const double kCpu = exponent(small.cpu, large.cpu, small.total, large.total);
        const double kMem = exponent(mem0, mem1, small.total, large.total);
        std::printf("viewer CPU             %.3f -> %.3f of a core, k = %.2f (%s)\n", small.cpu, large.cpu, kCpu,
                    met(kCpu <= 1.0));
        std::printf("viewer memory          %.1f -> %.1f MiB over no vehicle, k = %.2f (%s)\n", mem0, mem1, kMem,
                    met(kMem <= 1.0));
        std::printf("memory per vehicle     %.2f -> %.2f KiB\n", mem0 * 1024 / small.total, mem1 * 1024 / large.total);
    }
    return 0;
}
