// Remote monitoring load: a mosquitto of its own, a velmora-vehicle-sim process publishing 49
// codes at 5 Hz over MQTT (no link), and this process as the station watching one more code
// that the bench publishes itself (sequence number and send time known), its MQTT controller
// also subscribed to the other 49 so that their records load the receive path and are dropped.
// Prints CPU per wall second, peak RSS, records lost for the watched code and publish-to-item
// latency p50/p99; then the RSS growth over watch switches across the 50 codes.
// With --corrupt P, the simulator and the bench replace that share of messages by malformed
// payloads (the soak): every valid record of the watched code must still arrive.
//
//   cmake --build build --target bench_remote_monitor velmora-vehicle-sim && build/bench/bench_remote_monitor
//   build/bench/bench_remote_monitor --seconds 60 --switches 1000 --corrupt 0.3

#include "BenchSupport.h"
#include "app/GcsAppController.h"
#include "app/GcsApplication.h"
#include "app/GcsServerConfig.h"
#include "cloud/GcsMqttController.h"
#include "cloud/MyVehicleController.h"
#include "settings/GcsSettings.h"
#include "telemetry/MavPosDataItem.h"
#include "telemetry/MavTelemetryController.h"
#include "vehicle/MultiVehicleManager.h"
#include "vehicle/VehicleController.h"

#include "OstMqttClient.h"

#include <QCommandLineParser>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLoggingCategory>
#include <QProcess>
#include <QRandomGenerator>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <nlohmann/json.hpp>
#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <vector>

using bench::cpuSeconds;
using bench::peakRssKiB;
using bench::pump;

namespace {

constexpr int kSimCodes = 49;
constexpr double kRateHz = 5.0;

long currentRssKiB()
{
    QFile f("/proc/self/statm");
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const auto fields = f.readAll().split(' ');
    return fields.size() > 1 ? fields[1].toLong() * (sysconf(_SC_PAGESIZE) / 1024) : -1;
}

quint16 freeTcpPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

bool waitFor(const std::function<bool()>& cond, int ms)
{
    QDeadlineTimer deadline(ms);
    while (!cond()) {
        if (deadline.hasExpired())
            return false;
        pump(20);
    }
    return true;
}

// Malformed payloads the bench mixes into its own stream.
const std::vector<QByteArray>& badPayloads()
{
    static const std::vector<QByteArray> bad = {"not json",
                                                "",
                                                "[1]",
                                                "42",
                                                R"({"latitude":"x"})",
                                                R"({"latitude":1e999})",
                                                QByteArray(200000, '['),
                                                "{\"latitude\":\"" + QByteArray(1 << 20, 'a'),
                                                "\xC3\x28\xFF"};
    return bad;
}

}  // namespace

int main(int argc, char** argv)
{
    QTemporaryDir dir;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path() + "/config");
    // Warnings are formatted as in the station, but go nowhere.
    spdlog::set_default_logger(
        std::make_shared<spdlog::logger>("bench", std::make_shared<spdlog::sinks::null_sink_mt>()));
    spdlog::set_level(spdlog::level::info);
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    GcsServerConfig::instance()->setHttpBaseUrl("http://127.0.0.1:9");
    GcsSettings::getInstance()->init(dir.path() + "/cache", dir.path() + "/data");
    GcsApplication app(argc, argv);

    QCommandLineParser parser;
    parser.addOptions({{"seconds", "Measured seconds (default 60).", "N", "60"},
                       {"switches", "Watch switches for the growth figure (default 1000).", "N", "1000"},
                       {"corrupt", "Share of malformed messages, 0..1 (default 0).", "P", "0"}});
    parser.addHelpOption();
    parser.process(app);
    const int seconds = std::max(1, parser.value("seconds").toInt());
    const int switches = std::max(0, parser.value("switches").toInt());
    const double corrupt = std::clamp(parser.value("corrupt").toDouble(), 0.0, 1.0);

    app.init();
    auto* ctrl = new GcsAppController(&app);
    app.setAppCtrler(ctrl);

    // The broker.
    const quint16 port = freeTcpPort();
    QFile conf(dir.path() + "/mosquitto.conf");
    conf.open(QIODevice::WriteOnly);
    conf.write(QStringLiteral("listener %1 127.0.0.1\nallow_anonymous true\n").arg(port).toUtf8());
    conf.close();
    QProcess broker;
    broker.setProcessChannelMode(QProcess::MergedChannels);
    broker.setStandardOutputFile(QProcess::nullDevice());
    broker.start("mosquitto", {"-c", conf.fileName()});
    const bool brokerUp = waitFor(
        [&] {
            QTcpSocket s;
            s.connectToHost(QHostAddress::LocalHost, port);
            return s.waitForConnected(100);
        },
        10000);
    if (!brokerUp) {
        std::fprintf(stderr, "mosquitto did not start\n");
        return 1;
    }
    const QString uri = QStringLiteral("tcp://127.0.0.1:%1").arg(port);

    QProcess sim;
    sim.setStandardOutputFile(QProcess::nullDevice());
    sim.setStandardErrorFile(QProcess::nullDevice());
    QStringList simArgs = {"--mqtt",          uri,
                           "--mqtt-user",     "bench",
                           "--mqtt-password", "bench",
                           "--vehicle-code",  "BM",
                           "--count",         QString::number(kSimCodes),
                           "--mqtt-rate-hz",  QString::number(kRateHz)};
    if (corrupt > 0)
        simArgs << "--mqtt-corrupt" << QString::number(corrupt);
    sim.start(VELMORA_VEHICLE_SIM_BIN, simArgs);
    if (!sim.waitForStarted(5000)) {
        std::fprintf(stderr, "simulator did not start\n");
        return 1;
    }

    auto mqtt = ctrl->mqttController();
    auto my = ctrl->myVehicleCtrler();
    mqtt->connectToServer(uri, "bench-station", "bench", "bench");
    if (!waitFor([&] { return mqtt->clientState() == OstMqttClient::State::Connected; }, 10000)) {
        std::fprintf(stderr, "station did not connect to the broker\n");
        return 1;
    }
    const QString watched = "BM-WATCH";
    QStringList codes;
    for (int i = 1; i <= kSimCodes; ++i) {
        codes << QStringLiteral("BM-%1").arg(i);
        mqtt->subscribeVehiclePosition(codes.back());
        mqtt->subscribeVehicleStatus(codes.back());
    }
    my->activateRemoteMonitor(watched);
    const auto remote = ctrl->multiVehicleMgr()->findVehicleControllerByCode(watched);

    // The watched code's publisher: latitude carries the sequence number.
    OstMqttClient publisher(uri.toStdString(), "bench-publisher");
    publisher.connectToServer("bench", "bench", 60);
    if (!waitFor([&] { return publisher.isConnected(); }, 10000))
        return 1;
    std::map<int, qint64> sentNs;
    std::vector<double> latencyMs;
    std::map<int, bool> seen;
    QElapsedTimer clock;
    clock.start();
    QObject::connect(remote->teleCtrler()->posDataItem().get(), &MavTeleBaseDataItem::dataChanged, [&] {
        const int seq = int(std::lround(remote->teleCtrler()->posDataItem()->lat() * 1000.0));
        const auto it = sentNs.find(seq);
        if (it == sentNs.end() || seen[seq])
            return;
        seen[seq] = true;
        latencyMs.push_back(double(clock.nsecsElapsed() - it->second) / 1e6);
    });
    pump(2000);  // subscriptions made, simulator publishing

    QRandomGenerator rng(20240611);
    int seq = 0;
    QTimer tick;
    tick.setInterval(int(1000.0 / kRateHz));
    const std::string topic = GcsMqttController::positionTopic(watched).toStdString();
    QObject::connect(&tick, &QTimer::timeout, [&] {
        if (corrupt > 0 && rng.generateDouble() < corrupt) {
            const auto& bad = badPayloads();
            publisher.publish(topic, bad[rng.bounded(int(bad.size()))].toStdString(), 1);
            return;
        }
        ++seq;
        sentNs[seq] = clock.nsecsElapsed();
        const double lat = seq / 1000.0;
        publisher.publish(topic, nlohmann::json{{"latitude", lat}, {"longitude", 113.0}, {"altitude", 50.0}}.dump(), 1);
    });

    quint64 records = 0;
    QObject::connect(mqtt.get(), &GcsMqttController::remoteVehicleMessageReceived, [&records] { ++records; });
    const long rssStart = currentRssKiB();
    const double cpu0 = cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    tick.start();
    long rssMid = -1;
    while (wall.elapsed() < seconds * 1000LL) {
        pump(200);
        if (rssMid < 0 && wall.elapsed() >= seconds * 500LL)
            rssMid = currentRssKiB();
    }
    tick.stop();
    const double wallSec = double(wall.elapsed()) / 1000.0;
    const double cpuPerSec = (cpuSeconds() - cpu0) / wallSec;
    const double recordsPerSec = double(records) / wallSec;
    waitFor([&] { return latencyMs.size() >= sentNs.size(); }, 3000);
    const long rssEnd = currentRssKiB();
    const size_t lost = sentNs.size() - latencyMs.size();

    std::printf("watched 1 code of %d, %d s, %.0f messages/s offered\n", kSimCodes + 1, seconds,
                (kSimCodes + 1) * kRateHz * 2);
    std::printf("records decoded: %.0f per second (every code)\n", recordsPerSec);
    std::printf("cpu per wall second: %.1f %% of a core\n", cpuPerSec * 100.0);
    std::printf("peak rss: %.1f MiB; rss start/middle/end: %ld / %ld / %ld KiB\n", double(peakRssKiB()) / 1024.0,
                rssStart, rssMid, rssEnd);
    std::printf("watched records: sent %zu, applied %zu, lost %zu (corrupt share %.2f)\n", sentNs.size(),
                latencyMs.size(), lost, corrupt);
    std::sort(latencyMs.begin(), latencyMs.end());
    std::printf("publish-to-item latency: p50 %.2f ms, p99 %.2f ms\n", bench::percentile(latencyMs, 0.5),
                bench::percentile(latencyMs, 0.99));

    // Switches: watch each code in turn, letting the loop run a little between switches.
    codes << watched;
    const long rssBeforeSwitches = currentRssKiB();
    for (int i = 0; i < switches; ++i) {
        my->activateRemoteMonitor(codes[i % codes.size()]);
        pump(5);
    }
    pump(500);
    const long rssAfterSwitches = currentRssKiB();
    std::printf("rss growth over %d switches: %ld KiB (%ld -> %ld)\n", switches, rssAfterSwitches - rssBeforeSwitches,
                rssBeforeSwitches, rssAfterSwitches);

    sim.terminate();
    sim.waitForFinished(5000);
    broker.terminate();
    broker.waitForFinished(5000);
    return lost == 0 ? 0 : 2;
}
