// velmora-cli against a running velmora-station and simulator: --wait turns a command's outcome
// into the exit status, help and --version describe the client. The endpoint lives below the
// test process's private XDG_RUNTIME_DIR (see TestMain.cpp), which the children inherit.

#include "TestSupport.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <csignal>

using nlohmann::json;
using testsupport::waitUntil;

namespace {

int runCli(const QStringList& args, QByteArray* out = nullptr)
{
    QProcess cli;
    cli.setProcessChannelMode(QProcess::MergedChannels);
    cli.start(VELMORA_CLI_BIN, args);
    cli.waitForFinished(30000);
    if (out)
        *out = cli.readAllStandardOutput();
    return cli.exitCode();
}

}  // namespace

TEST(CliWaitProgram, WaitExitsWithTheVehiclesAnswer)
{
    const quint16 stationPort = testsupport::freeUdpPort();
    QProcess sim;
    sim.start(VELMORA_SIM_BIN, {"--udp", QStringLiteral("127.0.0.1:%1").arg(stationPort), "--heartbeat-ms", "200",
                                "--fix-after-s", "0", "--ack-result", "0x81=2"});
    ASSERT_TRUE(sim.waitForReadyRead(10000)) << "the simulator prints its port";
    QProcess station;
    const QString dataDir = testsupport::makeTempDir("station");
    station.start(VELMORA_STATION_BIN,
                  {"--data-dir", dataDir, "--udp", QString::number(stationPort), "--lang", "zh_CN"});
    ASSERT_TRUE(station.waitForStarted(5000));
    ASSERT_TRUE(waitUntil(
        [] {
            QByteArray out;
            const json list = runCli({"--json", "vehicle.list"}, &out) == 0 ? json::parse(out.toStdString()) : json();
            return !list.is_null() && list["data"]["count"] == 1 && list["data"]["vehicles"][0]["alive"] == true;
        },
        15000));

    const struct {
        QStringList args;
        int exitCode;
        const char* output;
    } cases[] = {
        {{"control.command", R"({"action": "takeoff", "alt": 20, "vel": 5})", "--wait", "--json"}, 1, "\"code\": 2"},
        {{"control.command", R"({"action": "land"})", "--json", "--wait", "--timeout-s", "10"},
         0,
         "\"state\": \"done\""},
        {{"help", "control.command"}, 0, "force (boolean): "},
        {{"help", "no.such.method"}, 1, ""},
        {{"--version"}, 0, "velmora-cli " VELMORA_PROJECT_VERSION},
        {{"--json", "system.info"}, 0, "\"version\": \"" VELMORA_PROJECT_VERSION "\""},
        {{"params", "basic", "maxHorSpeed=3.3", "--vehicle-id", "1"}, 0, "written"},
        {{"params", "basic", "maxHorSpeed=3.3x"}, 2, "expected NAME=NUMBER"},
        {{"params", "Basic"}, 1, "hint: group is one of: basic, stab, pos, res, fixedStab, fixedPos"},
        {{"control.command", R"({"action": "fly"})"}, 1, "hint: action is one of: takeoff, returnHome"},
    };
    for (const auto& c : cases) {
        QByteArray out;
        EXPECT_EQ(runCli(c.args, &out), c.exitCode) << c.args.join(' ').toStdString() << "\n" << out.toStdString();
        EXPECT_TRUE(out.contains(c.output)) << out.toStdString();
    }

    // A group's listing, with its units, after the write above.
    QByteArray basic;
    EXPECT_EQ(runCli({"params", "basic"}, &basic), 0);
    EXPECT_TRUE(QString::fromUtf8(basic).contains(QRegularExpression("maxHorSpeed +3.5 +m/s"))) << basic.toStdString();

    // The simulator reports HDOP in tenths (8); watch shows it as the station's items do.
    QProcess watch;
    watch.start(VELMORA_CLI_BIN, {"watch", "--interval-ms", "200"});
    QByteArray screen;
    EXPECT_TRUE(waitUntil(
        [&] {
            screen += watch.readAllStandardOutput();
            return screen.contains("hdop 0.8   vdop");
        },
        10000))
        << screen.toStdString();
    watch.terminate();
    EXPECT_TRUE(watch.waitForFinished(5000));

    ::kill(station.processId(), SIGTERM);
    EXPECT_TRUE(station.waitForFinished(10000));
    QFile log(dataDir + "/data/logs/station.log");
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const QByteArray text = log.readAll();
    EXPECT_TRUE(text.contains("[info] <console> [发送] 飞机 1  ")) << "console lines reach the log, naming the vehicle";
    EXPECT_FALSE(QString::fromUtf8(text).contains(QRegularExpression("([0-9A-F]{2} ){8}")))
        << "frame bytes are for trace level, not the everyday log";
    sim.terminate();
    sim.waitForFinished(5000);
}
