// velmora-cli's readable answers against velmora-station and two simulated vehicles: what a pilot
// reads per method, errors on stderr, and --json anywhere on the line giving back the envelope.

#include "TestSupport.h"

#include <QProcess>
#include <QRegularExpression>

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

using nlohmann::json;
using testsupport::waitUntil;

namespace {

struct Answer {
    int exitCode = -1;
    QString out;
    QString err;
};

Answer runCli(const QStringList& args)
{
    QProcess cli;
    cli.start(VELMORA_CLI_BIN, args);
    cli.waitForFinished(30000);
    return {cli.exitCode(), QString::fromUtf8(cli.readAllStandardOutput()),
            QString::fromUtf8(cli.readAllStandardError())};
}

}  // namespace

TEST(CliReadableProgram, AnswersInLinesAndTablesAndJsonOnRequest)
{
    const quint16 stationPort = testsupport::freeUdpPort();
    QProcess sim;
    // Vehicle 1 refuses a take-off; both land when told.
    sim.start(VELMORA_SIM_BIN, {"--udp", QStringLiteral("127.0.0.1:%1").arg(stationPort), "--count", "2",
                                "--heartbeat-ms", "200", "--fix-after-s", "0", "--ack-result", "0x81=2"});
    ASSERT_TRUE(sim.waitForReadyRead(10000));
    QProcess station;
    station.start(VELMORA_STATION_BIN, {"--data-dir", testsupport::makeTempDir("station"), "--udp",
                                        QString::number(stationPort), "--no-cloud"});
    ASSERT_TRUE(station.waitForStarted(5000));
    ASSERT_TRUE(waitUntil([] { return runCli({"vehicle.list"}).out.count(QRegularExpression(" yes ")) == 2; }, 15000));

    enum Stream { Out, Err, Envelope };
    const struct {
        QStringList args;
        int exitCode;
        Stream stream;
        const char* pattern;  // a line of the stream; for Envelope the method's "code"
    } cases[] = {
        {{"vehicle.list"}, 0, Out, R"(^1 +\S+ +yes +\d+\.\d s +[^- ].*$)"},
        {{"vehicle.list"}, 0, Out, R"(^2 +\S+ +yes +\d+\.\d s +[^- ].*$)"},
        {{"telemetry.snapshot", R"({"vehicleId": 2})"}, 0, Out, R"(^alt +-?[0-9.]+ m$)"},
        {{"telemetry.snapshot", R"({"vehicleId": 2})"}, 0, Out, R"(^vehicle 2, telemetry \d+\.\d s ago$)"},
        {{"telemetry.snapshot", R"({"vehicleId": 2})"}, 0, Out, R"(^imuSensorState +Normal$)"},
        {{"telemetry.snapshot", R"({"vehicleId": 2})"}, 0, Out, R"(^integratedNavigationState +Ready$)"},
        {{"control.command", R"({"action": "takeoff", "alt": 20, "vel": 5, "vehicleId": 1})", "--wait"},
         1,
         Out,
         R"(^takeoff refused by 1: .+ \(2\), requestId \d+$)"},
        {{"control.command", R"({"action": "land", "vehicleId": 2})", "--wait"},
         0,
         Out,
         R"(^land accepted by 2, requestId \d+$)"},
        {{"control.command", R"({"action": "land", "vehicleId": 2})"},
         0,
         Out,
         R"(^land sent to vehicle 2 \(requestId \d+\)$)"},
        {{"system.ping", R"({"x": 1})"}, 1, Err, "^error InvalidArgs: Unknown field: x$"},
        {{"--endpoint", "/nonexistent/endpoint", "system.ping"}, 2, Err, "^error NoServer: "},
        {{"connection.status"}, 0, Out, "^connected: +yes$"},
        {{"route.create",
          R"({"name": "line", "number": 2, "points": [{"lat": 22.5, "lon": 113.9, "alt": 12, "vel": 5}]})"},
         0,
         Out,
         "^wayPointCount: +1$"},
        {{"route.list"}, 0, Out, "^  yes +[0-9a-f-]+ +line +2 +0 +- +waypoints +1$"},
        {{"vehicle.lst"}, 1, Err, R"(^error InvalidArgs: Unknown method vehicle.lst; did you mean vehicle.list\?$)"},
        // A link that does not open fails the call (the station goes back to its UDP link).
        {{"connection.connect", R"({"type": "serial", "port": "/dev/ttyVelmoraMissing", "baudrate": 9600})"},
         1,
         Err,
         "^error CommandRejected: Cannot open serial port /dev/ttyVelmoraMissing: no such device$"},
        {{"--json", "system.ping"}, 0, Envelope, ""},
        {{"vehicle.list", "--json"}, 0, Envelope, ""},
        {{"system.ping", "--json", R"({"x": 1})"}, 1, Envelope, "InvalidArgs"},
        {{"--endpoint", "/nonexistent/endpoint", "system.ping", "--json"}, 2, Envelope, "NoServer"},
    };
    for (const auto& c : cases) {
        const Answer r = runCli(c.args);
        const std::string trace = c.args.join(' ').toStdString() + "\n" + r.out.toStdString() + r.err.toStdString();
        EXPECT_EQ(r.exitCode, c.exitCode) << trace;
        if (c.stream == Envelope) {
            const json envelope = json::parse(r.out.toStdString(), nullptr, false);
            EXPECT_EQ(envelope.value("ok", false), c.exitCode == 0) << trace;
            EXPECT_EQ(envelope.value("code", json()), *c.pattern ? json(c.pattern) : json()) << trace;
            continue;
        }
        const QRegularExpression line(c.pattern, QRegularExpression::MultilineOption);
        EXPECT_TRUE((c.stream == Out ? r.out : r.err).contains(line)) << trace;
        EXPECT_TRUE(c.stream == Out ? r.err.isEmpty() : r.out.isEmpty()) << trace;
        EXPECT_FALSE(r.out.contains('{')) << "no JSON without --json: " << trace;
    }

    station.terminate();
    sim.terminate();
    EXPECT_TRUE(station.waitForFinished(10000));
    sim.waitForFinished(5000);
}
