#include "CloudSimProcess.h"
#include "TestSupport.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

using nlohmann::json;

namespace {

TEST(CloudSim, RefusesBadArgumentsWithAReason)
{
    struct Case {
        QStringList args;
        const char* reason;
    };
    const Case cases[] = {
        {{"--port", "70000"}, "--port needs a number from 0 to 65535"},
        {{"--port", "x"}, "--port needs a number from 0 to 65535"},
        {{"--delay-ms", "-5"}, "--delay-ms needs a number >= 0"},
        {{"--fail", "/nfz/zones"}, "--fail needs PATH=CODE"},
        {{"--fail", "nfz/zones=500"}, "--fail needs PATH=CODE"},
        {{"--fail", "/nfz/zones=42"}, "--fail needs PATH=CODE"},
        {{"--account", "pilot@example.com"}, "--account needs EMAIL:PASSWORD"},
        {{"--account", "pilot@example.com:"}, "--account needs EMAIL:PASSWORD"},
        {{"--account", "a@b.c:pw", "--account-vehicle", "a@b.c:VM1"}, "--account-vehicle needs EMAIL:CODE:NAME[:LOCALID]"},
        {{"--account", "a@b.c:pw", "--account-vehicle", "a@b.c:VM1:One:x"}, "--account-vehicle needs EMAIL:CODE:NAME[:LOCALID]"},
        {{"--account-vehicle", "x@b.c:VM1:One"}, "--account-vehicle names an e-mail without --account"},
        {{"stray"}, "unexpected argument stray"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        QProcess sim;
        sim.start(VELMORA_CLOUD_SIM_BIN, c.args);
        ASSERT_TRUE(sim.waitForFinished(10000));
        EXPECT_EQ(sim.exitCode(), 2);
        EXPECT_TRUE(sim.readAllStandardOutput().isEmpty());
        EXPECT_TRUE(sim.readAllStandardError().contains(c.reason));
    }
}

TEST(CloudSim, SeedsAccountVehiclesAndAnswersUnknownRequests)
{
    testsupport::CloudSimProcess sim(VELMORA_CLOUD_SIM_BIN);
    ASSERT_TRUE(sim.start({"--account", "a@b.c:pw:with:colons", "--account-vehicle", "a@b.c:VM1:One",
                           "--account-vehicle", "a@b.c:VM2:Two:7"}))
        << sim.errorOutput().toStdString();

    QNetworkAccessManager nam;
    auto send = [&](const QByteArray& verb, const QString& path, const QByteArray& body = {},
                    const QByteArray& token = {}) {
        QNetworkRequest req(QUrl(sim.baseUrl() + path));
        req.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
        if (!token.isEmpty())
            req.setRawHeader("X-Gcs-Token", token);
        std::unique_ptr<QNetworkReply> reply(nam.sendCustomRequest(req, verb, body));
        EXPECT_TRUE(testsupport::waitUntil([&] { return reply->isFinished(); }));
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        return std::make_pair(status, json::parse(reply->readAll().toStdString(), nullptr, false));
    };

    // The password is everything after the first colon.
    const auto login = send("POST", "/account/login/password", R"({"email":"a@b.c","password":"pw:with:colons"})");
    ASSERT_EQ(login.first, 200);
    const QByteArray token = QByteArray::fromStdString(login.second["token"].get<std::string>());
    const auto list = send("GET", "/user/vehicles", {}, token);
    ASSERT_EQ(list.first, 200);
    EXPECT_EQ(list.second["items"], json::parse(R"([{"vehicleCode":"VM1","name":"One","vehicleLocalId":0},
                                                    {"vehicleCode":"VM2","name":"Two","vehicleLocalId":7}])"));

    struct Case {
        QByteArray verb;
        QString path;
        QByteArray body;
        int status;
    };
    const Case cases[] = {
        {"GET", "/no/such/path", {}, 404},
        {"GET", "/account/login/password", {}, 405},
        {"POST", "/nfz/zones", "{}", 405},
        {"POST", "/event/uav/report", "not json", 400},
        {"POST", "/event/uav/report", "[1]", 400},
        {"POST", "/event/uav/report", R"({"eventType":"1","timeMs":1,"content":""})", 400},
        {"POST", "/device/soft/report", R"({"deviceUniqueId":1})", 400},
        {"POST", "/vehicle/code/generate", R"({"vehicleType":1.5})", 400},
        {"POST", "/account/logout", R"({"token":"unknown"})", 401},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.verb.toStdString() + " " + c.path.toStdString() + " " + c.body.toStdString());
        const auto r = send(c.verb, c.path, c.body);
        EXPECT_EQ(r.first, c.status);
        EXPECT_TRUE(r.second["error"].is_string());
    }
    // Nothing of the refused reports was recorded.
    const auto got = send("GET", "/sim/received");
    EXPECT_EQ(got.second["events"], json::array());
    EXPECT_EQ(got.second["deviceReports"], json::array());
}

}  // namespace
