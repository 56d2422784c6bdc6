// The account and remote monitoring CLI methods against the cloud simulator; no broker runs, so
// the station's MQTT client stays "Connecting".

#include "StationWithSim.h"

#include "CloudSimProcess.h"
#include "LogCapture.h"

#include "automation/GcsCliCommandRouter.h"
#include "automation/GcsCliIpcServer.h"
#include "automation/GcsCliOutcomeRecorder.h"
#include "automation/GcsCliServiceContext.h"

#include <QLocalSocket>

using nlohmann::json;
using testsupport::LogCapture;
using testsupport::waitUntil;

namespace {

const std::string kEmail = "pilot@example.com";
const std::string kPassword = "hunter2-pw";
const QString kBrokerPassword = "broker-s3cret";

class CliAccountRouter : public StationWithSim {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(cloud.start({"--account", QString::fromStdString(kEmail + ":" + kPassword), "--account-vehicle",
                                 QString::fromStdString(kEmail) + ":VC-CLOUD-1:Cloud one"}))
            << cloud.errorOutput().toStdString();
        const quint16 noBroker = testsupport::freeTcpPort();
        GcsServerConfig::instance()->setMqttServerUri(QStringLiteral("tcp://127.0.0.1:%1").arg(noBroker));
        GcsServerConfig::instance()->setMqttCredentials("station", kBrokerPassword);
        app = std::make_unique<testsupport::AppHarness>(cloud.baseUrl());
        outcomes = std::make_unique<GcsCliOutcomeRecorder>(app->ctrl);
        LogCapture::instance().clear();
    }
    void TearDown() override
    {
        outcomes.reset();
        StationWithSim::TearDown();
    }

    json call(const std::string& method, json params = nullptr, const GcsCliServiceContext* context = nullptr)
    {
        json r = {{"method", method}};
        if (!params.is_null())
            r["params"] = std::move(params);
        return GcsCliCommandRouter::dispatch(context ? *context : GcsCliServiceContext{app->ctrl, outcomes.get()}, r);
    }
    json data(const std::string& method, json params = nullptr)
    {
        const json r = call(method, std::move(params));
        EXPECT_EQ(r["ok"], true) << method << ": " << r.dump();
        return r["data"];
    }
    // Sends the request, waits until account.status has its answer and returns that answer's code.
    json settled(const std::string& method, json params, const char* operation)
    {
        EXPECT_EQ(data(method, std::move(params)), json({{"accepted", true}}));
        json status;
        EXPECT_TRUE(waitUntil([&] {
            status = data("account.status");
            return status["operations"][operation]["pending"] == false;
        }));
        return status["operations"][operation]["lastCode"];
    }
    json listed()
    {
        EXPECT_EQ(settled("account.vehicles.refresh", nullptr, "vehiclesRefresh"), 200);
        return data("account.vehicles.list");
    }

    testsupport::CloudSimProcess cloud{VELMORA_CLOUD_SIM_BIN};
    std::unique_ptr<GcsCliOutcomeRecorder> outcomes;
};

}  // namespace

TEST_F(CliAccountRouter, LogsInManagesVehiclesAndWatchesOneRemotely)
{
    SimOptions options;
    options.code = "VC-SIM-7";
    ASSERT_NO_FATAL_FAILURE(startAlive(options));
    ASSERT_TRUE(waitUntil([&] { return mvm()->activeVehicle()->vehicleCode() == "VC-SIM-7"; }, 8000));

    EXPECT_EQ(data("account.status")["loginState"], "NotLoggedIn");
    EXPECT_EQ(data("account.login", {{"email", kEmail}, {"password", kPassword}}), json({{"accepted", true}}));
    EXPECT_EQ(call("account.login", {{"email", kEmail}, {"password", kPassword}})["message"],
              "A login is already in progress");
    json status;
    ASSERT_TRUE(waitUntil([&] { return (status = data("account.status"))["loggedIn"] == true; }));
    EXPECT_EQ(status["loginState"], "LoggedIn");
    EXPECT_EQ(status["uid"], "u100001");
    EXPECT_EQ(status["mqttClientId"], "gcs-u100001-1");
    EXPECT_EQ(status["mqtt"]["state"], "Connecting");
    EXPECT_EQ(status["operations"]["login"], json({{"pending", false}, {"lastCode", 200}}));
    EXPECT_EQ(call("account.login", {{"email", kEmail}, {"password", kPassword}})["message"], "Already logged in");

    const json cloudOne = {{"vehicleCode", "VC-CLOUD-1"}, {"name", "Cloud one"}, {"vehicleLocalId", 0}};
    EXPECT_EQ(listed(), json({{"vehicles", {cloudOne}}, {"count", 1}}));

    // Adding takes the active vehicle's code and the e-mail's latest captcha.
    EXPECT_EQ(settled("account.vehicles.captcha", {{"email", kEmail}}, "vehicleCaptcha"), 200);
    const json captchas = json::parse(cloud.get("/sim/received").toStdString())["captchas"];
    ASSERT_FALSE(captchas.empty());
    EXPECT_EQ(captchas.back()["purpose"], "associate-vehicle");
    json add = {{"vehicleCode", "VC-OTHER"}, {"name", "Sim"}, {"email", kEmail}, {"captcha", captchas.back()["code"]}};
    EXPECT_EQ(call("account.vehicles.add", add)["message"], "The active vehicle does not carry this vehicleCode");
    add["vehicleCode"] = "VC-SIM-7";
    EXPECT_EQ(settled("account.vehicles.add", add, "vehicleAdd"), 200);
    const json renamed = {{"vehicleCode", "VC-SIM-7"}, {"name", "Renamed"}, {"vehicleLocalId", 7}};
    EXPECT_EQ(settled("account.vehicles.update", renamed, "vehicleUpdate"), 200);
    EXPECT_EQ(settled("account.vehicles.remove", {{"vehicleCode", "VC-CLOUD-1"}}, "vehicleRemove"), 200);
    EXPECT_EQ(settled("account.vehicles.remove", {{"vehicleCode", "VC-CLOUD-1"}}, "vehicleRemove"), 404);
    EXPECT_EQ(listed()["vehicles"], json({renamed}));

    EXPECT_EQ(data("remote.start", {{"vehicleCode", "VC-CLOUD-1"}}),
              json({{"accepted", true}, {"vehicleCode", "VC-CLOUD-1"}, {"inAccountList", false}}));
    EXPECT_EQ(data("remote.start", {{"vehicleCode", "VC-SIM-7"}})["inAccountList"], true);
    EXPECT_EQ(
        data("account.status")["remoteMonitor"],
        json({{"active", true}, {"vehicleCode", "VC-SIM-7"}, {"messagesReceived", 0}, {"lastMessageAgeMs", nullptr}}));
    EXPECT_EQ(data("remote.stop"), json({{"accepted", true}, {"vehicleCode", "VC-SIM-7"}}));
    EXPECT_EQ(call("remote.stop")["message"], "Remote monitoring is not active");

    // Logging out ends a watch first.
    data("remote.start", {{"vehicleCode", "VC-CLOUD-1"}});
    EXPECT_EQ(data("account.logout"), json({{"accepted", true}}));
    status = data("account.status");
    EXPECT_EQ(status["remoteMonitor"]["active"], false);
    EXPECT_EQ(status["loginState"], "LoggedOut");
    EXPECT_EQ(status["mqttClientId"], "");
    EXPECT_TRUE(waitUntil([&] { return data("account.status")["mqtt"]["state"] == "Disconnected"; }));
}

TEST_F(CliAccountRouter, RefusesBadInputAndKeepsSecretsOutOfLogsAndReplies)
{
    const std::string IA = "InvalidArgs", CR = "CommandRejected";
    const json login = {{"email", kEmail}, {"password", kPassword}};
    const json add = {{"vehicleCode", "VC-1"}, {"name", "n"}, {"email", kEmail}, {"captcha", "123456"}};
    auto with = [](json base, const json& patch) {
        base.merge_patch(patch);
        return base;
    };
    const struct {
        std::string method;
        json params;
        std::string code, message;
    } cases[] = {
        {"account.login", nullptr, IA, "Missing params object"},
        {"account.login", {{"email", kEmail}}, IA, "Missing required field: password"},
        {"account.login", with(login, {{"password", 7}}), IA, "Field must be a string: password"},
        {"account.login", with(login, {{"email", ""}, {"password", ""}}), IA, "email must not be empty"},
        {"account.login", with(login, {{"password", ""}}), IA, "password must not be empty"},
        {"account.vehicles.add", with(add, {{"captcha", ""}}), IA, "captcha must not be empty"},
        {"account.vehicles.add", with(add, {{"vehicleLocalId", 1.5}}), IA,
         "Field must be an integer, not a floating-point number: vehicleLocalId"},
        {"account.vehicles.update",
         {{"vehicleCode", ""}, {"name", "n"}, {"vehicleLocalId", 1LL << 31}},
         IA,
         "vehicleCode must not be empty"},
        {"account.vehicles.update",
         {{"vehicleCode", "V"}, {"name", "n"}, {"vehicleLocalId", 1LL << 31}},
         IA,
         "vehicleLocalId is out of int range"},
        {"remote.start", {{"vehicleCode", "VC/+"}}, IA, "vehicleCode must not contain '/'"},
        {"remote.start", {{"vehicleCode", "VC-#"}}, IA, "vehicleCode must not contain the MQTT wildcard '#'"},
        {"account.vehicles.remove", {{"vehicleCode", "+"}}, IA, "vehicleCode must not contain the MQTT wildcard '+'"},
        {"account.vehicles.add", with(add, {{"vehicleCode", "VC\n1"}}), IA,
         "vehicleCode must not contain control characters"},
        {"account.vehicles.update",
         {{"vehicleCode", "VC\x7f"}, {"name", "n"}},
         IA,
         "vehicleCode must not contain control characters"},
        {"account.logout", nullptr, CR, "Not logged in"},
        {"account.vehicles.refresh", nullptr, CR, "Not logged in"},
        {"account.vehicles.captcha", {{"email", kEmail}}, CR, "Not logged in"},
        {"account.vehicles.add", add, CR, "Not logged in"},
        {"account.vehicles.remove", {{"vehicleCode", "VC-1"}}, CR, "Not logged in"},
        {"account.vehicles.update", {{"vehicleCode", "VC-1"}, {"name", "n"}}, CR, "Not logged in"},
        {"remote.start", {{"vehicleCode", "VC-1"}}, CR, "Not logged in"},
        {"remote.stop", nullptr, CR, "Remote monitoring is not active"},
    };
    for (const auto& c : cases) {
        const json r = call(c.method, c.params);
        EXPECT_EQ(std::make_pair(r["code"], r["message"]), std::make_pair(json(c.code), json(c.message)))
            << c.method << " " << c.params.dump();
    }
    const GcsCliServiceContext none{nullptr, outcomes.get()};
    EXPECT_EQ(call("account.status", nullptr, &none)["message"], "Account services are not available");
    EXPECT_EQ(call("account.login", login, &none)["message"], "Account services are not available");

    // A request cut inside the password, through the endpoint; then a login that succeeds.
    GcsCliIpcServer server{GcsCliServiceContext{app->ctrl, outcomes.get()}};
    ASSERT_TRUE(server.start());
    const std::string secret = kPassword.substr(0, 6);
    const QByteArray cut = QByteArray::fromStdString(R"({"method":"account.login","params":{"password":")" + secret);
    QLocalSocket socket;
    socket.connectToServer(GcsCliIpcServer::endpointName());
    socket.write(QByteArray(1, char(cut.size())) + QByteArray(3, '\0') + cut);
    ASSERT_TRUE(waitUntil([&] { return socket.state() == QLocalSocket::UnconnectedState; }));
    const QByteArray reply = socket.readAll();
    EXPECT_TRUE(reply.contains("Invalid JSON: ") && !reply.contains(secret.c_str())) << reply.toStdString();
    EXPECT_EQ(data("account.login", login), json({{"accepted", true}}));
    ASSERT_TRUE(waitUntil([&] { return data("account.status")["loggedIn"] == true; }));
    EXPECT_EQ(LogCapture::instance().countContaining(spdlog::level::debug, "JSON parse error"), 1);
    for (const auto& line : LogCapture::instance().lines())
        EXPECT_TRUE(line.text.find(secret) == line.text.npos &&
                    line.text.find(kBrokerPassword.toStdString()) == line.text.npos)
            << line.text;
}
