// velmora-cli login, vehicles, remote and logout against velmora-station and the cloud simulator:
// exit codes, what they print, and no password in anything the station writes.

#include "CloudSimProcess.h"
#include "TestSupport.h"

#include <QDirIterator>
#include <QProcess>

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

using nlohmann::json;
using testsupport::waitUntil;

namespace {

const QString kPassword = "pw-Quokka-51";

// Exit code of velmora-cli with `stdinText` on its standard input and VELMORA_PASSWORD=`envPassword`.
int runCli(const QStringList& args, QByteArray* out = nullptr, const QByteArray& stdinText = {},
           const QString& envPassword = {})
{
    QProcess cli;
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("VELMORA_PASSWORD", envPassword);
    cli.setProcessEnvironment(env);
    cli.start(VELMORA_CLI_BIN, args);
    cli.write(stdinText);
    cli.closeWriteChannel();
    cli.waitForFinished(60000);
    if (out)
        *out = cli.readAllStandardOutput();
    return cli.exitCode();
}

json parsed(const QByteArray& out)
{
    return json::parse(out.toStdString(), nullptr, false);
}

}  // namespace

TEST(CliAccountProgram, LogsInListsVehiclesWatchesAndLogsOut)
{
    testsupport::CloudSimProcess cloud{VELMORA_CLOUD_SIM_BIN};
    ASSERT_TRUE(cloud.start({"--account", "pilot@example.com:" + kPassword, "--account-vehicle",
                             "pilot@example.com:VC-CLOUD-1:Cloud one:4"}));
    const QString dataDir = testsupport::makeTempDir("station");
    QProcess station;
    station.start(VELMORA_STATION_BIN,
                  {"--data-dir", dataDir, "--cloud-url", cloud.baseUrl(), "--mqtt",
                   QStringLiteral("tcp://127.0.0.1:%1").arg(testsupport::freeTcpPort()), "--log-level", "debug"});
    ASSERT_TRUE(station.waitForStarted(5000));
    QByteArray out;
    ASSERT_TRUE(waitUntil([&] { return runCli({"account.status"}, &out) == 0; }, 15000));

    EXPECT_EQ(runCli({"login"}, &out, kPassword.toUtf8()), 2);
    EXPECT_EQ(runCli({"--json", "login", "pilot@example.com"}, &out, {}, "wrong"), 1);
    EXPECT_EQ(parsed(out)["data"]["operations"]["login"]["lastCode"], 401) << out.toStdString();
    ASSERT_EQ(runCli({"login", "pilot@example.com", "--json"}, &out, kPassword.toUtf8() + "\n"), 0)
        << out.toStdString();
    EXPECT_EQ(parsed(out)["data"]["loginState"], "LoggedIn");

    ASSERT_EQ(runCli({"vehicles"}, &out), 0) << out.toStdString();
    EXPECT_EQ(out.toStdString(), "CODE        NAME       LOCAL ID\n"
                                 "VC-CLOUD-1  Cloud one  4\n"
                                 "1 vehicle\n");
    EXPECT_EQ(runCli({"remote", "VC-CLOUD-1"}), 0);
    EXPECT_EQ(runCli({"remote", "--stop"}), 0);
    EXPECT_EQ(runCli({"remote", "--stop"}), 1);

    EXPECT_EQ(runCli({"logout"}, &out), 0) << out.toStdString();
    EXPECT_EQ(runCli({"vehicles", "--json"}, &out), 1);
    EXPECT_EQ(parsed(out)["message"], "Not logged in");

    station.terminate();
    EXPECT_TRUE(station.waitForFinished(10000));
    for (QDirIterator it(dataDir, QDir::Files, QDirIterator::Subdirectories); it.hasNext();) {
        QFile file(it.next());
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_FALSE(file.readAll().contains(kPassword.toUtf8())) << file.fileName().toStdString();
    }
}
