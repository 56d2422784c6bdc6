// CLI endpoint under load: a velmora-station connected to a simulated vehicle streaming telemetry
// every 50 ms, and 20 clients sending requests back to back for 30 s. Every request must be
// answered, and only requests that deserve one may get an error envelope. Prints requests per
// second and latency percentiles.
//
//   cmake --build build --target bench_cli_load velmora-station velmora-vehicle-sim && build/bench/bench_cli_load

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLocalSocket>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>
#include <QUdpSocket>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

namespace {

QString g_endpoint;  // the station's socket, in this run's own directory

// One request on its own connection; returns the parsed envelope or null on a transport failure.
nlohmann::json call(const nlohmann::json& request)
{
    QLocalSocket socket;
    socket.connectToServer(g_endpoint);
    if (!socket.waitForConnected(3000))
        return nullptr;
    const std::string body = request.dump();
    QByteArray frame(4, 0);
    const auto n = quint32(body.size());
    frame[0] = char(n & 0xFF);
    frame[1] = char((n >> 8) & 0xFF);
    frame[2] = char((n >> 16) & 0xFF);
    frame[3] = char((n >> 24) & 0xFF);
    frame += QByteArray::fromStdString(body);
    socket.write(frame);
    socket.flush();
    QByteArray in;
    while (true) {
        if (in.size() >= 4) {
            const quint32 len = quint32(uchar(in[0])) | quint32(uchar(in[1])) << 8 | quint32(uchar(in[2])) << 16 |
                                quint32(uchar(in[3])) << 24;
            if (in.size() >= qsizetype(len) + 4)
                return nlohmann::json::parse(in.mid(4, len).toStdString(), nullptr, false);
        }
        if (!socket.waitForReadyRead(5000))
            return nullptr;
        in += socket.readAll();
    }
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 30;
    const int clients = argc > 2 ? std::atoi(argv[2]) : 20;
    QTemporaryDir dir;
    g_endpoint = dir.path() + "/Tarnwick_CliIpc_v1";  // a private endpoint for this run

    QUdpSocket probe;
    probe.bind(QHostAddress::LocalHost, 0);
    const quint16 stationPort = probe.localPort();
    probe.close();

    QProcess sim;
    sim.setStandardErrorFile(QProcess::nullDevice());
    sim.start(VELMORA_VEHICLE_SIM_BIN,
              {"--udp", QStringLiteral("127.0.0.1:%1").arg(stationPort), "--fix-after-s", "0"});
    sim.waitForReadyRead(5000);
    const int simPort = sim.readLine().trimmed().toInt();

    {
        // The station reads its telemetry interval from its settings: 50 ms for this run.
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path() + "/station/config");
        QSettings settings("Brel", "Velmora");
        settings.setValue("tele/teleReqInterval", 50);
    }
    QProcess station;
    station.setStandardErrorFile(QProcess::nullDevice());
    station.start(VELMORA_STATION_BIN,
                  {"--data-dir", dir.path() + "/station", "--endpoint-dir", dir.path(), "--log-level", "err"});
    for (int i = 0; i < 100 && call({{"method", "system.ping"}}).is_null(); ++i)
        QThread::msleep(50);
    call({{"method", "connection.connect"},
          {"params", {{"type", "udp"}, {"sendPort", stationPort}, {"recvPort", simPort}}}});
    for (int i = 0; i < 100; ++i) {
        const auto list = call({{"method", "vehicle.list"}});
        if (list.is_object() && list["data"]["count"] == 1 && list["data"]["vehicles"][0]["alive"] == true)
            break;
        QThread::msleep(50);
    }

    const std::vector<nlohmann::json> requests = {
        {{"method", "system.ping"}},
        {{"method", "connection.status"}},
        {{"method", "vehicle.list"}},
        {{"method", "telemetry.snapshot"}},
        {{"method", "alerts.active"}},
        {{"method", "vehicle.linkStats"}},
        {{"method", "vehicle.resolveTarget"}, {"params", {{"vehicleId", 99}}}},  // deserves NoActiveVehicle
    };
    std::atomic<long> answered{0};
    std::atomic<long> lost{0};
    std::atomic<long> undeserved{0};
    std::mutex latMutex;
    std::vector<double> latencies;
    QElapsedTimer wall;
    wall.start();
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            std::vector<double> mine;
            size_t k = size_t(c);
            while (wall.elapsed() < seconds * 1000LL) {
                const auto& req = requests[k++ % requests.size()];
                QElapsedTimer t;
                t.start();
                const auto resp = call(req);
                mine.push_back(double(t.nsecsElapsed()) / 1e6);
                if (!resp.is_object()) {
                    ++lost;
                    continue;
                }
                ++answered;
                const bool deservesError = req["method"] == "vehicle.resolveTarget";
                if (resp.value("ok", false) == deservesError)
                    ++undeserved;
            }
            std::lock_guard lock(latMutex);
            latencies.insert(latencies.end(), mine.begin(), mine.end());
        });
    }
    for (auto& t : threads)
        t.join();
    const double elapsed = double(wall.elapsed()) / 1000.0;
    std::sort(latencies.begin(), latencies.end());
    auto pct = [&](double p) { return latencies.empty() ? 0.0 : latencies[size_t(p * double(latencies.size() - 1))]; };
    std::printf("clients %d, %.1f s: %ld answered, %ld unanswered, %ld unexpected envelopes\n", clients, elapsed,
                answered.load(), lost.load(), undeserved.load());
    std::printf("requests/s %.0f   latency ms p50 %.2f  p99 %.2f  max %.2f\n", double(answered.load()) / elapsed,
                pct(0.5), pct(0.99), latencies.empty() ? 0.0 : latencies.back());
    station.terminate();
    station.waitForFinished(5000);
    sim.terminate();
    sim.waitForFinished(3000);
    return lost.load() == 0 && undeserved.load() == 0 ? 0 : 1;
}
