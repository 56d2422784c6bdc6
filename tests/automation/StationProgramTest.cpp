// velmora-station as a process: it answers on its endpoint, refuses to take a live one, rejects
// bad arguments, and stops in order on SIGTERM. Every run passes --data-dir; the test process's
// private TMPDIR (set by the endpoint tests of this executable) is inherited.

#include "TestSupport.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <csignal>

#include <sys/stat.h>

using testsupport::waitUntil;

namespace {

int runCli(const QStringList& args, QByteArray* out = nullptr)
{
    QProcess cli;
    cli.start(VELMORA_CLI_BIN, args);
    cli.waitForFinished(15000);
    if (out)
        *out = cli.readAllStandardOutput();
    return cli.exitCode();
}

}  // namespace

TEST(StationProgram, ServesRefusesASecondStationAndStopsInOrder)
{
    const QString dataDir = testsupport::makeTempDir("station");
    QProcess station;
    station.setProcessChannelMode(QProcess::MergedChannels);
    station.start(VELMORA_STATION_BIN, {"--data-dir", dataDir, "--log-level", "info"});
    ASSERT_TRUE(station.waitForStarted(5000));
    ASSERT_TRUE(waitUntil([] { return runCli({"system.ping"}) == 0; }, 10000));

    QProcess second;
    second.start(VELMORA_STATION_BIN, {"--data-dir", testsupport::makeTempDir("second")});
    ASSERT_TRUE(second.waitForFinished(10000));
    EXPECT_EQ(second.exitCode(), 1) << "a live endpoint is never taken over";
    EXPECT_EQ(runCli({"system.ping"}), 0) << "the first station still answers";

    ::kill(station.processId(), SIGTERM);
    ASSERT_TRUE(station.waitForFinished(10000));
    EXPECT_EQ(station.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(station.exitCode(), 0);
    QFile log(dataDir + "/data/logs/station.log");
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(log.readAll());
    const int quit = text.indexOf("<app> about to quit app");
    const int stopped = text.indexOf("<app> CLI IPC server stopped");
    const int released = text.indexOf("<app> end release all");
    EXPECT_GE(quit, 0);
    EXPECT_GT(stopped, quit);
    EXPECT_GT(released, stopped);
    EXPECT_EQ(runCli({"system.ping"}), 2) << "nothing answers after the stop";
}

TEST(StationProgram, BadArgumentsExitWithStatus2)
{
    // A signing key others may read, and one of the wrong size.
    const QString keys = testsupport::makeTempDir("keys");
    QFile open(keys + "/open.key"), shortKey(keys + "/short.key");
    open.open(QIODevice::WriteOnly);
    open.write(QByteArray(32, 'k'));
    open.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther);
    shortKey.open(QIODevice::WriteOnly);
    shortKey.write(QByteArray(31, 'k'));
    shortKey.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    open.close();
    shortKey.close();
    for (const QStringList& args :
         {QStringList{"--udp", "14550:99999"},
          QStringList{"--serial", "/dev/ttyS0"},
          QStringList{"--log-level", "loud"},
          QStringList{"--udp", "14550", "--serial", "/dev/ttyS0:9600"},
          QStringList{"--frobnicate"},
          QStringList{"--data-dir"},
          QStringList{"--log-files", "0"},
          QStringList{"--log-max-mb", "abc"},
          QStringList{"--endpoint-dir", "/no/such/dir"},
          QStringList{"--no-cloud", "--cloud-url", "http://127.0.0.1:9"},
          QStringList{"--mqtt", "tcp://127.0.0.1:9", "--no-cloud"},
          QStringList{"--fleet-broker", "mqtt://127.0.0.1:9"},
          QStringList{"--station-id", "north"},
          QStringList{"--fleet-broker", "tcp://127.0.0.1:9", "--station-id", "north"},
          QStringList{"--fleet-broker", "mqtt://127.0.0.1:9", "--station-id", "north/+"},
          QStringList{"--endpoint-dir", testsupport::makeTempDir(QString(80, 'd'))},
          QStringList{"--mavlink", "udp:127.0.0.1"},
          QStringList{"--mavlink", "tcpin:0"},
          QStringList{"--mavlink", "serial:/dev/ttyS0"},
          QStringList{"--mavlink-control"},
          QStringList{"--mavlink", "tcpin:15999", "--mavlink-signing-key", open.fileName()},
          QStringList{"--mavlink", "tcpin:15999", "--mavlink-signing-key", shortKey.fileName()}}) {
        QProcess station;
        station.start(VELMORA_STATION_BIN, args);
        ASSERT_TRUE(station.waitForFinished(10000)) << args.join(' ').toStdString();
        EXPECT_EQ(station.exitCode(), 2) << args.join(' ').toStdString();
    }
}

// A station without cloud options calls no cloud; a second station on the same data directory
// refuses to start, naming the first one's pid.
TEST(StationProgram, EndpointInAChosenDirectoryAndOneStationPerDataDirectory)
{
    QTemporaryDir shortDir("/tmp/vmep-XXXXXX");  // the test's own temporary root is too deep for a socket
    const QString endpointDir = shortDir.path();
    const QString dataDir = testsupport::makeTempDir("station");
    QProcess station;
    station.start(VELMORA_STATION_BIN, {"--data-dir", dataDir, "--endpoint-dir", endpointDir});
    ASSERT_TRUE(station.waitForStarted(5000));
    const QStringList ping = {"--endpoint", endpointDir + "/Tarnwick_CliIpc_v1", "system.ping"};
    EXPECT_TRUE(waitUntil([&] { return runCli(ping) == 0; }, 10000));
    EXPECT_EQ(runCli({"system.ping"}), 2) << "nothing listens at the default place";

    QTemporaryDir otherEndpoint("/tmp/vmep-XXXXXX");
    QProcess second;
    second.start(VELMORA_STATION_BIN, {"--data-dir", dataDir, "--endpoint-dir", otherEndpoint.path()});
    ASSERT_TRUE(second.waitForFinished(10000)) << "a second station on the same data directory kept running";
    EXPECT_EQ(second.exitCode(), 1);
    EXPECT_NE(second.readAllStandardError().indexOf("is in use by another station (pid " +
                                                    QByteArray::number(station.processId()) + ")"),
              -1);
    ::kill(station.processId(), SIGTERM);
    EXPECT_TRUE(station.waitForFinished(10000));
    const QByteArray log = station.readAllStandardError();
    EXPECT_NE(log.indexOf("the cloud is off"), -1) << log.toStdString();
    EXPECT_EQ(log.indexOf("8080"), -1) << "a station told of no cloud called one";
}

TEST(StationProgram, StopsCleanlyWhileTwentyVehiclesArePolledSoak)
{
    const quint16 stationPort = testsupport::freeUdpPort();
    QProcess sim;
    sim.start(VELMORA_SIM_BIN,
              {"--udp", QStringLiteral("127.0.0.1:%1").arg(stationPort), "--count", "20", "--heartbeat-ms", "200"});
    ASSERT_TRUE(sim.waitForReadyRead(10000)) << "the simulator prints its port";
    const QString dataDir = testsupport::makeTempDir("station");
    for (int run = 0; run < 20; ++run) {
        QProcess station;
        station.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        station.start(VELMORA_STATION_BIN, {"--data-dir", dataDir, "--udp", QString::number(stationPort)});
        ASSERT_TRUE(station.waitForStarted(5000));
        ASSERT_TRUE(waitUntil(
            [] {
                QByteArray out;
                return runCli({"--json", "vehicle.list"}, &out) == 0 &&
                       nlohmann::json::parse(out.toStdString(), nullptr, false)
                               .value("data", nlohmann::json::object())
                               .value("count", 0) == 20;
            },
            15000))
            << "run " << run;
        ::kill(station.processId(), SIGTERM);
        ASSERT_TRUE(station.waitForFinished(10000)) << "run " << run;
        EXPECT_EQ(station.exitStatus(), QProcess::NormalExit) << "run " << run;
        ASSERT_EQ(station.exitCode(), 0) << "run " << run;
    }
    sim.terminate();
    sim.waitForFinished(5000);
}

TEST(StationProgram, PasswordFileMustBePrivateAndTheLogIs)
{
    const QString secret = testsupport::makeTempDir("secret") + "/mqtt-password";
    // file mode, exit code, what stderr says
    for (const auto& [mode, exitCode, message] :
         {std::tuple{0644, 2, "has mode 0644, it must be 0600 or stricter"}, std::tuple{0600, 0, ""}}) {
        QFile file(secret);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write("hunter2\n") == 8);
        file.close();
        ASSERT_EQ(::chmod(QFile::encodeName(secret).constData(), mode_t(mode)), 0);
        const QString dataDir = testsupport::makeTempDir("station");
        QProcess station;
        station.start(VELMORA_STATION_BIN, {"--data-dir", dataDir, "--no-cloud", "--mqtt-password-file", secret});
        if (exitCode == 0 && waitUntil([] { return runCli({"system.ping"}) == 0; }, 10000))
            ::kill(station.processId(), SIGTERM);
        ASSERT_TRUE(station.waitForFinished(10000));
        EXPECT_EQ(station.exitCode(), exitCode);
        EXPECT_TRUE(QString::fromLocal8Bit(station.readAllStandardError()).contains(message)) << message;
        struct stat st { };
        const QByteArray log = QFile::encodeName(dataDir + "/data/logs/station.log");
        if (exitCode == 0) {
            EXPECT_EQ(::stat(log.constData(), &st) == 0 ? st.st_mode & 0777 : 0u, 0600u) << "a missing log fails too";
        }
    }
}
