#include "GcsHttp.h"

#include "CloudSimProcess.h"
#include "LogCapture.h"
#include "TestSupport.h"

#include <QDateTime>
#include <QFile>
#include <QThread>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <thread>

using nlohmann::json;
using testsupport::LogCapture;
using testsupport::waitUntil;

namespace {

struct Answer {
    std::atomic<bool> done = false;
    int code = -1;
    GcsHttp::JsonPtr doc;
    QThread* thread = nullptr;

    GcsHttp::Callback callback()
    {
        return [this](int c, GcsHttp::JsonPtr d) {
            code = c;
            doc = std::move(d);
            thread = QThread::currentThread();
            done = true;
        };
    }
    bool wait(int ms = 5000)
    {
        return waitUntil([this] { return done.load(); }, ms);
    }
};

struct Result {
    int code = -1;
    GcsHttp::JsonPtr doc;
};

class FixedQuery : public GcsAbstractRequestDefaultDataQuery {
public:
    QString uid = "u-test";
    QString tokenValue;
    QString userId() const override { return uid; }
    QString token() const override { return tokenValue; }
    QString deviceUniqueId() const override { return "dev-42"; }
    int systemType() const override { return 1; }
    QString teamCode() const override { return "team-x"; }
};

const char* const kZones = R"([{"id":7,"type":"circle","center":[30.1,120.2],"radius":500}])";

class GcsHttpTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_zonesPath = testsupport::makeTempDir("zones") + "/zones.json";
        writeZones(kZones);
    }

    void startSim(QStringList args = {})
    {
        args << "--zones" << m_zonesPath << "--account"
             << "pilot@example.com:secret"
             << "--account-vehicle"
             << "pilot@example.com:VM0001:First:1"
             << "--account-vehicle"
             << "pilot@example.com:VM0003:Third";
        ASSERT_TRUE(m_sim.start(args)) << m_sim.errorOutput().toStdString();
        m_http = std::make_unique<GcsHttp>(m_sim.baseUrl() + "/");
        m_http->setRequestDefaultDataQuery(m_query);
        m_http->start();
    }

    void writeZones(const QByteArray& bytes)
    {
        QFile f(m_zonesPath);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(bytes);
    }

    Result call(const std::function<void(GcsHttp&, GcsHttp::Callback)>& op)
    {
        Answer a;
        op(*m_http, a.callback());
        EXPECT_TRUE(a.wait());
        return {a.code, a.doc};
    }

    json received() { return json::parse(m_sim.get("/sim/received").toStdString()); }

    testsupport::CloudSimProcess m_sim{VELMORA_CLOUD_SIM_BIN};
    std::shared_ptr<FixedQuery> m_query = std::make_shared<FixedQuery>();
    std::unique_ptr<GcsHttp> m_http;
    QString m_zonesPath;
};

TEST_F(GcsHttpTest, OperationsDeliverTheirDocuments)
{
    startSim();
    const Result login = call([](GcsHttp& h, auto cb) { h.passwordLogin("pilot@example.com", "secret", cb); });
    ASSERT_EQ(login.code, 200);
    m_query->tokenValue = QString::fromStdString((*login.doc)["token"].get<std::string>());

    {
        QFile f(m_zonesPath);
        ASSERT_TRUE(f.open(QIODevice::ReadWrite));
        ASSERT_TRUE(
            f.setFileTime(QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5), Qt::UTC), QFileDevice::FileModificationTime));
    }
    const Result zones = call([](GcsHttp& h, auto cb) { h.fetchAllNoFlyZones(cb); });
    EXPECT_EQ(zones.code, 200);
    ASSERT_TRUE(zones.doc);
    EXPECT_EQ(*zones.doc, json::parse(kZones));
    EXPECT_EQ(m_http->noFlyZonesUpdateTime(), "2026-01-02T03:04:05Z");

    const Result code = call([](GcsHttp& h, auto cb) { h.generateVehicleCode({"VM0001", 2}, cb); });
    EXPECT_EQ(code.code, 200);
    EXPECT_TRUE(code.doc && (*code.doc)["code"].is_string());
    EXPECT_EQ(call([](GcsHttp& h, auto cb) { h.activateVehicleMqtt("VM0001", cb); }).code, 200);

    // Bind a second vehicle with an e-mailed captcha, rename it, then remove it again.
    EXPECT_EQ(
        call([](GcsHttp& h, auto cb) { h.requestEmailCaptcha("pilot@example.com", "associate-vehicle", cb); }).code,
        200);
    const std::string captcha = received()["captchas"].back()["code"];
    AddUserVehicleReq add{"VM0002", "Second", 5, "pilot@example.com", captcha};
    const Result added = call([&](GcsHttp& h, auto cb) { h.addUserVehicle(add, cb); });
    ASSERT_EQ(added.code, 200);
    EXPECT_EQ(*added.doc, json::parse(R"({"vehicleCode":"VM0002","name":"Second","vehicleLocalId":5})"));
    const Result updated = call([](GcsHttp& h, auto cb) {
        h.updateUserVehicle({"VM0002", "Renamed", std::nullopt}, cb);
    });
    ASSERT_EQ(updated.code, 200);
    EXPECT_EQ((*updated.doc)["name"], "Renamed");
    EXPECT_EQ((*updated.doc)["vehicleLocalId"], 5);

    const Result list = call([](GcsHttp& h, auto cb) { h.getUserVehicleList({}, cb); });
    ASSERT_EQ(list.code, 200);
    EXPECT_EQ((*list.doc)["items"], json::parse(R"([{"vehicleCode":"VM0001","name":"First","vehicleLocalId":1},
                                                    {"vehicleCode":"VM0003","name":"Third","vehicleLocalId":0},
                                                    {"vehicleCode":"VM0002","name":"Renamed","vehicleLocalId":5}])"));
    const Result page3 = call([](GcsHttp& h, auto cb) { h.getUserVehicleList({3, 1}, cb); });
    EXPECT_EQ((*page3.doc)["items"], json::array({(*list.doc)["items"][2]})) << "paging reaches the service";

    EXPECT_EQ(call([](GcsHttp& h, auto cb) { h.deleteUserVehicle({"VM0002"}, cb); }).code, 200);

    // Reports carry the default data as headers.
    EXPECT_EQ(call([](GcsHttp& h, auto cb) { h.reportUavEvent(12, 1700000000123, "", cb); }).code, 200);
    EXPECT_EQ(call([](GcsHttp& h, auto cb) { h.reportSoftDevice("dev-42", "Debian GNU/Linux 12", cb); }).code, 200);
    const json got = received();
    const json headers = {{"uid", "u-test"},
                          {"token", m_query->tokenValue.toStdString()},
                          {"device-id", "dev-42"},
                          {"system-type", "1"},
                          {"team-code", "team-x"}};
    ASSERT_EQ(got["events"].size(), 1u);
    EXPECT_EQ(got["events"][0]["eventType"], 12);
    EXPECT_EQ(got["events"][0]["timeMs"], 1700000000123);
    EXPECT_EQ(got["events"][0]["headers"], headers);
    ASSERT_EQ(got["deviceReports"].size(), 1u);
    EXPECT_EQ(got["deviceReports"][0]["osName"], "Debian GNU/Linux 12");
    EXPECT_EQ(got["deviceReports"][0]["headers"], headers);
}

TEST_F(GcsHttpTest, ErrorStatusesKeepTheirJsonBody)
{
    startSim({"--fail", "/vehicle/code/generate=503"});
    struct Case {
        const char* name;
        std::function<void(GcsHttp&, GcsHttp::Callback)> op;
        int code;
    };
    const Case cases[] = {
        {"injected 503", [](GcsHttp& h, auto cb) { h.generateVehicleCode({}, cb); }, 503},
        {"list without session", [](GcsHttp& h, auto cb) { h.getUserVehicleList({}, cb); }, 401},
        {"wrong password", [](GcsHttp& h, auto cb) { h.passwordLogin("pilot@example.com", "nope", cb); }, 401},
        {"bad captcha purpose", [](GcsHttp& h, auto cb) { h.requestEmailCaptcha("a@b.c", "lottery", cb); }, 400},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture::instance().clear();
        const Result a = call(c.op);
        EXPECT_EQ(a.code, c.code);
        ASSERT_TRUE(a.doc);
        EXPECT_TRUE((*a.doc)["error"].is_string());
        EXPECT_EQ(LogCapture::instance().countContaining(spdlog::level::warn, "HTTP " + std::to_string(c.code)), 1);
    }
}

TEST_F(GcsHttpTest, UnusableBodiesGiveANullDocument)
{
    startSim();
    struct Case {
        const char* body;
        const char* warning;  // empty: the document is delivered
    };
    const Case cases[] = {
        {"this is not json", "not JSON"},    {"", "not JSON"}, {R"({"zones": []})", "unexpected shape (object)"},
        {"null", "unexpected shape (null)"}, {"[]", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        writeZones(c.body);
        LogCapture::instance().clear();
        const Result a = call([](GcsHttp& h, auto cb) { h.fetchAllNoFlyZones(cb); });
        EXPECT_EQ(a.code, 200);
        EXPECT_EQ(bool(a.doc), *c.warning == 0);
        EXPECT_EQ(LogCapture::instance().countContaining(spdlog::level::warn, c.warning), *c.warning ? 1 : 0);
    }
    QFile::remove(m_zonesPath);  // the service answers 500 with a JSON error
    const Result missing = call([](GcsHttp& h, auto cb) { h.fetchAllNoFlyZones(cb); });
    EXPECT_EQ(missing.code, 500);
    EXPECT_TRUE(missing.doc && missing.doc->contains("error"));
}

TEST_F(GcsHttpTest, NoAnswerGivesNetworkErrorOrTimeout)
{
    // Nothing listens on a free port.
    GcsHttp closed(QStringLiteral("http://127.0.0.1:%1").arg(testsupport::freeTcpPort()));
    closed.start();
    Answer refused;
    closed.fetchAllNoFlyZones(refused.callback());
    ASSERT_TRUE(refused.wait());
    EXPECT_EQ(refused.code, GcsHttp::kNetworkError);
    EXPECT_FALSE(refused.doc);

    GcsHttp stopped(closed.baseUrl());
    Answer notStarted;
    stopped.reportSoftDevice("d", "os", notStarted.callback());
    EXPECT_FALSE(notStarted.done);  // never inside the call
    ASSERT_TRUE(notStarted.wait());
    EXPECT_EQ(notStarted.code, GcsHttp::kNetworkError);

    // A service that holds every answer for a minute.
    startSim({"--delay-ms", "60000"});
    m_http->setTimeoutMs(300);
    LogCapture::instance().clear();
    Answer late;
    m_http->generateVehicleCode({}, late.callback());
    ASSERT_TRUE(late.wait());
    EXPECT_EQ(late.code, GcsHttp::kTimeout);
    EXPECT_FALSE(late.doc);
    EXPECT_EQ(
        LogCapture::instance().count(spdlog::level::warn, "<GcsHttp> generateVehicleCode: no answer within 300 ms"), 1);
}

TEST_F(GcsHttpTest, StopFromAnotherThreadAnswersEveryCallOnce)
{
    startSim({"--delay-ms", "60000"});
    QThread worker;
    worker.start();
    QObject inWorker;
    inWorker.moveToThread(&worker);
    constexpr int kCalls = 7;
    std::array<std::atomic<int>, kCalls> answers{};
    std::atomic<int> notNetworkError = 0;
    const auto token = std::make_shared<int>();  // every callback holds it until it is freed
    auto callback = [&](int i) {
        return [&, keep = token, i](int code, GcsHttp::JsonPtr) {
            ++answers[i];
            notNetworkError += code != GcsHttp::kNetworkError;
        };
    };
    // Calls in flight, calls still on their way from the worker, and one made after stop().
    for (int i = 0; i < kCalls - 1; i += 2) {
        m_http->fetchAllNoFlyZones(callback(i));
        QMetaObject::invokeMethod(&inWorker, [&, cb = callback(i + 1)] { m_http->fetchAllNoFlyZones(cb); });
    }
    std::thread([&] { m_http->stop(); }).join();
    m_http->fetchAllNoFlyZones(callback(kCalls - 1));

    EXPECT_TRUE(waitUntil([&] { return token.use_count() == 1; })) << "callbacks or their carriers leaked";
    for (int i = 0; i < kCalls; ++i)
        EXPECT_EQ(answers[i], 1) << i;
    EXPECT_EQ(notNetworkError, 0);
    EXPECT_FALSE(m_http->isStarted());
    worker.quit();
    worker.wait();

    // Started again, calls reach the service again (which holds them past the time-out).
    m_http->start();
    m_http->setTimeoutMs(100);
    Answer again;
    m_http->fetchAllNoFlyZones(again.callback());
    ASSERT_TRUE(again.wait());
    EXPECT_EQ(again.code, GcsHttp::kTimeout);
}

TEST_F(GcsHttpTest, CallbackRunsOnTheCallingThread)
{
    startSim();
    QThread worker;
    worker.start();
    QObject inWorker;
    inWorker.moveToThread(&worker);
    Answer a;
    QMetaObject::invokeMethod(&inWorker, [&] { m_http->fetchAllNoFlyZones(a.callback()); });
    EXPECT_TRUE(a.wait());
    EXPECT_EQ(a.code, 200);
    EXPECT_EQ(a.thread, &worker);
    worker.quit();
    worker.wait();
}

}  // namespace
