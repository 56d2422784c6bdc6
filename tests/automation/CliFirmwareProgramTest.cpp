// velmora-cli firmware-update against velmora-station and the simulator: its exit codes.

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
    cli.start(VELMORA_CLI_BIN, args);
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

}  // namespace

TEST(CliFirmwareProgram, ExitCodesFollowTheResult)
{
    const quint16 stationPort = testsupport::freeUdpPort();
    QProcess sim;
    sim.start(VELMORA_SIM_BIN, {"--udp", QStringLiteral("127.0.0.1:%1").arg(stationPort), "--heartbeat-ms", "200",
                                "--fix-after-s", "0"});
    ASSERT_TRUE(sim.waitForReadyRead(10000));
    QProcess station;
    station.start(VELMORA_STATION_BIN, {"--data-dir", testsupport::makeTempDir("station"), "--udp",
                                        QString::number(stationPort), "--no-cloud"});
    ASSERT_TRUE(station.waitForStarted(5000));
    QByteArray out;
    ASSERT_TRUE(waitUntil([&] { return runCli({"vehicle.list"}, &out) == 0 && out.contains("\"count\": 1"); }, 15000));

    const QString dir = testsupport::makeTempDir("fw-cli");
    const QString bad = writeFile(dir, "bad.bin", QByteArray(3000, 'x'));
    const QString good = writeFile(dir, "good.bin", SimVehicleFirmware::makeImage("V2.2.0", QByteArray(3000, 'y')));
    // A second start while one runs is refused; the status follows the first to its end.
    const QString start = R"({"path": ")" + bad + R"("})";
    EXPECT_EQ(runCli({"firmware.update", start}, &out), 0) << out.toStdString();
    EXPECT_EQ(runCli({"firmware.update", start}, &out), 1);
    EXPECT_TRUE(out.contains("Firmware update already running on this vehicle")) << out.toStdString();
    ASSERT_TRUE(waitUntil([&] { return runCli({"firmware.status"}, &out) == 0 && out.contains("\"running\": false"); },
                          15000));
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
