// velmora-cli firmware-update against velmora-station and the simulator: its exit codes, and an
// update followed by its requestId through a link cycle.

#include "SimVehicleFirmware.h"
#include "TestSupport.h"

#include <QFile>
#include <QProcess>

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

using testsupport::waitUntil;

namespace {

int runCli(const QStringList& args, QByteArray* out = nullptr)
{
    QProcess cli;
    cli.start(VELMORA_CLI_BIN, QStringList{"--json"} + args);
    cli.waitForFinished(60000);
    if (out)
        *out = cli.readAllStandardOutput();
    return cli.exitCode();
}

QString writeFile(const QString& dir, const char* name, const QByteArray& bytes)
{
    QFile file(dir + "/" + name);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    return file.fileName();
}

bool vehicleListed()
{
    QByteArray out;
    return runCli({"vehicle.list"}, &out) == 0 && out.contains("\"count\": 1") && out.contains("\"alive\": true");
}

// The simulator (listening on simPort) and a station linked to it over UDP.
void startStation(QProcess& sim, QProcess& station, quint16 stationPort, quint16 simPort,
                  const QStringList& simExtra = {})
{
    sim.start(VELMORA_SIM_BIN, QStringList{"--udp", QStringLiteral("127.0.0.1:%1").arg(stationPort), "--listen",
                                           QString::number(simPort), "--heartbeat-ms", "200", "--fix-after-s", "0"} +
                                   simExtra);
    ASSERT_TRUE(sim.waitForReadyRead(10000));
    station.start(VELMORA_STATION_BIN, {"--data-dir", testsupport::makeTempDir("station"), "--udp",
                                        QString::number(stationPort), "--no-cloud"});
    ASSERT_TRUE(station.waitForStarted(5000));
    ASSERT_TRUE(waitUntil(vehicleListed, 15000));
}

}  // namespace

TEST(CliFirmwareProgram, ExitCodesFollowTheResult)
{
    QProcess sim;
    QProcess station;
    ASSERT_NO_FATAL_FAILURE(startStation(sim, station, testsupport::freeUdpPort(), testsupport::freeUdpPort()));
    QByteArray out;

    const QString dir = testsupport::makeTempDir("fw-cli");
    const QString bad = writeFile(dir, "bad.bin", QByteArray(3000, 'x'));
    const QString good = writeFile(dir, "good.bin", SimVehicleFirmware::makeImage("V2.2.0", QByteArray(3000, 'y')));
    // A second start while one runs is refused; the status follows the first to its end.
    const QString start = R"({"path": ")" + bad + R"("})";
    EXPECT_EQ(runCli({"firmware.update", start}, &out), 0) << out.toStdString();
    EXPECT_EQ(runCli({"firmware.update", start}, &out), 1);
    EXPECT_TRUE(out.contains("Firmware update already running on this vehicle")) << out.toStdString();
    ASSERT_TRUE(
        waitUntil([&] { return runCli({"firmware.status"}, &out) == 0 && out.contains("\"running\": false"); }, 15000));
    const auto status = nlohmann::json::parse(out.toStdString())["data"];
    EXPECT_EQ(status["result"], "FailedFinalAck");
    EXPECT_EQ(status["frameCount"], 6);
    EXPECT_EQ(status["framesAcked"], 6);
    EXPECT_EQ(status["path"], bad.toStdString());
    EXPECT_EQ(status["vehicleVersion"], "V2.1.0");

    struct Row {
        QStringList args;
        int exit;
        const char* printed;
    };
    const Row rows[] = {
        {{"firmware-update", dir + "/missing.bin"}, 1, "Firmware file does not exist or is empty"},
        {{"firmware.update", R"({"path": ")" + good + R"(", "sha256": ")" + QString(64, '0') + R"("})"},
         1,
         "Firmware image refused: firmware image sha256"},
        {{"firmware-update", bad, "--vehicle-id", "1"}, 1, "result: FailedFinalAck (11)"},
        {{"firmware-update", good}, 0, "result: Success (0)"},
        {{"--endpoint", dir + "/none", "firmware-update", good}, 2, ""},
        {{"firmware-update"}, 2, ""},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(runCli(r.args, &out), r.exit) << r.args.join(' ').toStdString() << "\n" << out.toStdString();
        EXPECT_TRUE(out.contains(r.printed)) << out.toStdString();
    }

    station.terminate();
    sim.terminate();
    EXPECT_TRUE(station.waitForFinished(10000));
    sim.waitForFinished(5000);
}

// The vehicle is retired and rejoins as a new object mid-update: the CLI follows its requestId to
// FailedLinkLost, and the station still answers that update by requestId and by vehicle id.
TEST(CliFirmwareProgram, FollowsItsRequestThroughALinkCycle)
{
    const quint16 stationPort = testsupport::freeUdpPort();
    const quint16 simPort = testsupport::freeUdpPort();
    QProcess sim;
    QProcess station;
    ASSERT_NO_FATAL_FAILURE(startStation(sim, station, stationPort, simPort, {"--latency-ms", "20"}));
    const QString image = writeFile(testsupport::makeTempDir("fw-cycle"), "big.bin",
                                    SimVehicleFirmware::makeImage("V2.2.0", QByteArray(128 * 1024, 'z')));
    QProcess cli;
    cli.start(VELMORA_CLI_BIN, {"firmware-update", image});
    QByteArray out;
    ASSERT_TRUE(
        waitUntil([&] { return runCli({"firmware.status"}, &out) == 0 && out.contains("UploadingData"); }, 15000));
    EXPECT_EQ(runCli({"connection.disconnect"}), 0);
    const QString link =
        QStringLiteral(R"({"type": "udp", "sendPort": %1, "recvPort": %2})").arg(stationPort).arg(simPort);
    EXPECT_EQ(runCli({"connection.connect", link}), 0);
    ASSERT_TRUE(cli.waitForFinished(30000));
    const QByteArray printed = cli.readAllStandardOutput();
    EXPECT_EQ(cli.exitCode(), 1) << printed.toStdString();
    EXPECT_TRUE(printed.contains("result: FailedLinkLost (12)")) << printed.toStdString();
    EXPECT_TRUE(printed.contains(" B/s  eta ")) << printed.toStdString();
    const int requestId = printed.mid(printed.indexOf("requestId ") + 10).split('\n').first().toInt();

    ASSERT_TRUE(waitUntil(vehicleListed, 15000));
    for (const QString& selector : {QStringLiteral(R"({"requestId": %1})").arg(requestId), QStringLiteral("{}")}) {
        ASSERT_EQ(runCli({"firmware.status", selector}, &out), 0) << out.toStdString();
        const auto status = nlohmann::json::parse(out.toStdString())["data"];
        EXPECT_EQ(status["result"], "FailedLinkLost") << selector.toStdString();
        EXPECT_EQ(status["requestId"], requestId) << selector.toStdString();
    }

    station.terminate();
    sim.terminate();
    EXPECT_TRUE(station.waitForFinished(10000));
    sim.waitForFinished(5000);
}
