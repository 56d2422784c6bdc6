// The velmora-vehicle-sim program as a separate process.

#include "SimStation.h"

#include <QCommandLineParser>
#include <QProcess>

using simtest::takeOff;
using simtest::toWire;
using testsupport::waitUntil;

namespace {

struct Finished {
    int exitCode = -1;
    QString out;
    QString err;
};

Finished runSim(const QStringList& args)
{
    QProcess p;
    p.start(VELMORA_VEHICLE_SIM_BIN, args);
    Finished f;
    if (!p.waitForFinished(10000)) {
        p.kill();
        p.waitForFinished();
        return f;
    }
    f.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    f.out = QString::fromUtf8(p.readAllStandardOutput());
    f.err = QString::fromUtf8(p.readAllStandardError());
    return f;
}

}  // namespace

TEST(VehicleSimProgram, BadArgumentsAreRefusedWithAReason)
{
    const QString udp = "--udp";
    const QString station = "127.0.0.1:14550";
    const QString mqtt = "tcp://127.0.0.1:1883";
    testsupport::UdpPeer taken;
    struct Row {
        QStringList args;
        const char* reason;
        int exitCode;
    };
    const std::vector<Row> rows = {
        {{}, "exactly one of --udp", 2},
        {{udp}, "Missing value after '--udp'", 2},
        {{udp, "127.0.0.1"}, "--udp needs HOST:PORT", 2},
        {{udp, station, "--serial", "/dev/ttyS0"}, "exactly one of --udp", 2},
        {{"--serial", "/dev/ttyS0", "--listen", "5"}, "belong to --udp", 2},
        {{"--serial", "/dev/ttyS0", "--line-rate", "-1"}, "--line-rate needs", 2},
        {{udp, station, "--recv-port", "0"}, "--recv-port", 2},
        {{udp, station, "--listen", "7000", "--recv-port", "7000"}, "must differ", 2},
        {{udp, station, "--count", "0"}, "--count", 2},
        {{udp, station, "--first-id", "129"}, "station's id", 2},
        {{udp, station, "--first-id", "200", "--count", "60"}, "do not fit", 2},
        {{udp, station, "--ack-result", "0x81"}, "--ack-result", 2},
        {{udp, station, "--loss", "1.5"}, "--loss", 2},
        {{udp, station, "--seed", "x"}, "--seed", 2},
        {{udp, station, "--telemetry", "partial"}, "--telemetry needs full or comprehensive", 2},
        {{udp, station, "--home", "91,10"}, "--home needs LAT,LON", 2},
        {{udp, station, "--step-ms", "0"}, "--step-ms", 2},
        {{udp, station, "--fix-after-s", "-1"}, "--fix-after-s", 2},
        {{udp, station, "--battery", "empty"}, "--battery needs normal, low or critical", 2},
        {{udp, station, "--emergency", "256"}, "--emergency", 2},
        {{udp, station, "--takeoff-check", "0x10000"}, "--takeoff-check", 2},
        {{udp, station, "--hdop", "300"}, "--hdop", 2},
        {{udp, station, "--code", "ABCDEFGHIJKLMNOPQRSTU"}, "--code needs at most 20 printable ASCII", 2},
        {{udp, station, "--code", "caf\u00e9"}, "--code needs at most 20 printable ASCII", 2},
        {{udp, station, "--params-file", ""}, "--params-file needs a file path", 2},
        {{udp, station, "--wp-no-ack", "0"}, "--wp-no-ack needs a waypoint number from 1 to 255: 0", 2},
        {{udp, station, "--wp-result", "2=256"}, "--wp-result needs K=R", 2},
        {{udp, station, "--dl-wrong-route", "256"}, "--dl-wrong-route needs a waypoint number", 2},
        {{udp, station, "--params-file", "/nonexistent/dir/params.json"}, "does not exist", 2},
        {{"--mqtt", "http://127.0.0.1:1883", "--vehicle-code", "VM"}, "--mqtt needs tcp://HOST:PORT", 2},
        {{"--mqtt", mqtt}, "--mqtt needs a --vehicle-code", 2},
        {{"--mqtt", mqtt, "--code", "VM", "--mqtt-rate-hz", "0"}, "--mqtt-rate-hz needs a rate", 2},
        {{"--mqtt", mqtt, "--code", "VM", "--mqtt-corrupt", "1.5"}, "--mqtt-corrupt needs a probability", 2},
        {{"--mqtt", mqtt, "--code", "VM", "--listen", "5"}, "--listen needs a link", 2},
        {{udp, station, "--mqtt-password", "x"}, "--mqtt-password belongs to --mqtt", 2},
        {{udp, station, "--code", "ABCDEFGHIJKLMNOPQR", "--count", "10"}, "needs CODE-10 to fit", 2},
        {{"--bogus"}, "Unknown option 'bogus'", 2},
        {{udp, station, "stray"}, "unexpected argument stray", 2},
        {{"--serial", "/nonexistent/tty"}, "cannot open serial device /nonexistent/tty", 1},
        {{udp, station, "--listen", QString::number(taken.port())}, "cannot bind UDP port", 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.args.join(' ').toStdString());
        const Finished f = runSim(row.args);
        EXPECT_EQ(f.exitCode, row.exitCode);
        EXPECT_TRUE(f.err.contains(row.reason)) << f.err.toStdString();
    }
}

// Seconds become milliseconds, numbers may be hexadecimal, names are case-blind, route faults add up.
TEST(VehicleSimProgram, TelemetryAndRouteFlagsFillTheOptions)
{
    QCommandLineParser parser;
    SimOptions::declareOptions(parser);
    ASSERT_TRUE(parser.parse({"velmora-vehicle-sim",
                              "--udp",
                              "127.0.0.1:14550",
                              "--telemetry",
                              "Comprehensive",
                              "--home",
                              "-33.5, 151.25",
                              "--fix-after-s",
                              "0.25",
                              "--rc-lost-after",
                              "2",
                              "--battery",
                              "critical",
                              "--emergency",
                              "0x25",
                              "--vdop",
                              "0x23",
                              "--wp-no-ack",
                              "3",
                              "--wp-no-ack",
                              "0x05",
                              "--wp-result",
                              "2=7",
                              "--dl-wrong-number",
                              "255"}));
    SimOptions o;
    ASSERT_EQ(SimOptions::readOptions(parser, o), QString());
    EXPECT_EQ(o.telemetry, SimOptions::Telemetry::Comprehensive);
    EXPECT_EQ(o.homeLat, -33.5);
    EXPECT_EQ(o.homeLon, 151.25);
    EXPECT_EQ(o.fixAfterMs, 250);
    EXPECT_EQ(o.rcLostAfterMs, 2000);
    EXPECT_EQ(o.silentAfterMs, -1);
    EXPECT_EQ(o.batteryState, 2);
    EXPECT_EQ(o.emergencyProtect, 0x25);
    EXPECT_EQ(o.vdop, 35);
    EXPECT_EQ(o.wpNoAck, (std::set<uint8_t>{3, 5}));
    EXPECT_EQ(o.wpResults, (std::map<uint8_t, uint8_t>{{2, 7}}));
    EXPECT_EQ(o.dlWrongNumber, std::set<uint8_t>{255});
}

TEST(VehicleSimProgram, AnswersAsToldAndPrintsItsCountersOnSigterm)
{
    testsupport::UdpPeer station;
    QProcess p;
    p.start(VELMORA_VEHICLE_SIM_BIN, {"--udp", station.address(), "--count", "2", "--first-id", "7", "--ack-result",
                                      "0x81=4", "--no-reply", "132"});
    ASSERT_TRUE(waitUntil([&] { return p.canReadLine(); }));
    const quint16 port = quint16(p.readLine().trimmed().toUInt());
    ASSERT_NE(port, 0);
    ASSERT_TRUE(station.waitForDatagrams(2));
    EXPECT_EQ(station.senderPorts().first(), port);

    // Land is silenced and arrives first, so the refused take-off's answer shows both were handled.
    _MavPFrame_t land;
    MavProtoCtrlCmdProcesser::packLandPFrame(land, 7, 4);
    station.sendTo(toWire(land), port);
    station.sendTo(takeOff(8, 3), port);
    ASSERT_TRUE(waitUntil([&] { return !simtest::answersIn(station).isEmpty(); }));
    const _MavPFrame_t ack = simtest::answersIn(station).first();
    EXPECT_EQ(ack.tx_id, 8);
    EXPECT_EQ(ack.cmd, MavCmd::TakeOff);
    EXPECT_EQ(ack.data, std::vector<uint8_t>{4});

    p.terminate();
    ASSERT_TRUE(p.waitForFinished(5000));
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(p.exitCode(), 0);
    const QString out = QString::fromUtf8(p.readAllStandardOutput());
    EXPECT_TRUE(out.contains("vehicles: commands 2 answered 1 silenced 1 unknown 0")) << out.toStdString();
}
