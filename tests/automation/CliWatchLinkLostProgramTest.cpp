// velmora-cli watch on a real terminal (tmux) while the serial device under the station's link
// disappears: the screen turns to "LINK LOST" and the snapshot says the link is closed.

#include "LoopbackPeers.h"
#include "TestSupport.h"

#include <QDir>
#include <QProcess>
#include <QUuid>

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <csignal>

using nlohmann::json;
using testsupport::waitUntil;

namespace {

json cliData(const QStringList& args)
{
    QProcess cli;
    cli.start(VELMORA_CLI_BIN, QStringList{"--json"} + args);
    cli.waitForFinished(15000);
    const json reply = json::parse(cli.readAllStandardOutput().toStdString(), nullptr, false);
    return reply.is_object() ? reply.value("data", json::object()) : json::object();
}

// tmux on a socket of its own, so its server starts with this process's environment.
struct Tmux {
    QString socket = "velmora-" + QUuid::createUuid().toString(QUuid::Id128).left(8);
    int run(const QStringList& args, QByteArray* out = nullptr) const
    {
        QProcess p;
        p.start("tmux", QStringList{"-L", socket} + args);
        p.waitForFinished(10000);
        if (out)
            *out = p.readAllStandardOutput();
        return p.exitCode();
    }
    ~Tmux() { run({"kill-server"}); }
};

}  // namespace

TEST(CliWatchLinkLostProgram, WatchShowsLinkLostWhenTheSerialDeviceGoes)
{
    testsupport::SocatPty pty;
    ASSERT_TRUE(pty.start());
    QProcess sim;
    sim.start(VELMORA_SIM_BIN, {"--serial", pty.endB(), "--heartbeat-ms", "200"});
    ASSERT_TRUE(sim.waitForStarted(5000));
    QProcess station;
    station.start(VELMORA_STATION_BIN, {"--data-dir", testsupport::makeTempDir("station"), "--no-cloud", "--serial",
                                        pty.endA() + ":115200"});
    ASSERT_TRUE(station.waitForStarted(5000));
    ASSERT_TRUE(waitUntil(
        [] {
            return cliData({"vehicle.list"}).value("vehicles", json::array()).dump().find("\"alive\":true") !=
                   std::string::npos;
        },
        15000));

    Tmux tmux;
    // tmux's shell does not inherit this process's environment: the station's endpoint by its path.
    const QString endpoint = qEnvironmentVariable("XDG_RUNTIME_DIR") + "/velmora/Tarnwick_CliIpc_v1";
    ASSERT_EQ(
        tmux.run({"new-session", "-d", "-s", "watch", "-x", "120", "-y", "30",
                  QStringLiteral("%1 --endpoint %2 watch --json --interval-ms 200").arg(VELMORA_CLI_BIN, endpoint)}),
        0);
    QByteArray screen;
    auto screenShows = [&](const char* text) {
        return waitUntil(
            [&] {
                return tmux.run({"capture-pane", "-p", "-t", "watch"}, &screen) == 0 && screen.contains(text);
            },
            10000);
    };
    ASSERT_TRUE(screenShows("link       connected")) << screen.toStdString();
    EXPECT_FALSE(screen.contains("LINK LOST")) << screen.toStdString();
    // Sensor masks and protection codes in words, ages in seconds.
    EXPECT_TRUE(screenShows("imu Normal   heading Normal")) << screen.toStdString();
    EXPECT_TRUE(screen.contains("protection Not triggered")) << screen.toStdString();
    EXPECT_FALSE(screen.contains(" ms ago")) << screen.toStdString();

    pty.stop();
    EXPECT_TRUE(screenShows("LINK LOST")) << screen.toStdString();
    EXPECT_TRUE(screen.contains("link       closed")) << screen.toStdString();
    EXPECT_EQ(cliData({"telemetry.snapshot"}).value("linkConnected", true), false);

    ::kill(station.processId(), SIGTERM);
    EXPECT_TRUE(station.waitForFinished(10000));
    sim.terminate();
    sim.waitForFinished(5000);
}
