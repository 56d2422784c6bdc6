#include "GcsLoginManager.h"

#include "CloudSimProcess.h"
#include "LogCapture.h"
#include "TestSupport.h"

#include <QFile>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <sys/stat.h>

using nlohmann::json;
using testsupport::LogCapture;
using testsupport::waitUntil;
using S = GcsAccountEnums;

namespace {

class GcsLoginManagerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        startSim();
        m_cacheDir = testsupport::makeTempDir("account");
    }

    void startSim()
    {
        ASSERT_TRUE(m_sim.start({"--account", "pilot@example.com:secret"})) << m_sim.errorOutput().toStdString();
        m_http = std::make_shared<GcsHttp>(m_sim.baseUrl());
        m_http->start();
    }

    static std::vector<int> states(const QSignalSpy& spy)
    {
        std::vector<int> out;
        for (const auto& args : spy)
            out.push_back(args.at(0).value<S::LoginState>());
        return out;
    }

    // Waits for the one ...Resp signal of `spy` and returns its code.
    static int respCode(QSignalSpy& spy)
    {
        EXPECT_TRUE(waitUntil([&] { return spy.size() == 1; }));
        return spy.isEmpty() ? -1 : spy.first().at(0).toInt();
    }

    QByteArray cacheBytes(const GcsLoginManager& mgr)
    {
        QFile f(mgr.cacheFilePath());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    testsupport::CloudSimProcess m_sim{VELMORA_CLOUD_SIM_BIN};
    std::shared_ptr<GcsHttp> m_http;
    QString m_cacheDir;
};

TEST_F(GcsLoginManagerTest, PasswordLoginCachesASessionThatTheNextStartResumes)
{
    GcsLoginManager first(m_http, m_cacheDir);
    QSignalSpy stateSpy(&first, &GcsLoginManager::loginStateChanged);
    QSignalSpy respSpy(&first, &GcsLoginManager::passwordLoginResp);
    EXPECT_FALSE(first.loginAutoIfNeed());  // nothing cached yet

    EXPECT_EQ(first.passwordLogin("pilot@example.com", "secret"), S::Started);
    EXPECT_EQ(first.loginState(), S::LoggingIn);
    EXPECT_EQ(first.passwordLogin("pilot@example.com", "secret"), S::Busy);
    ASSERT_EQ(respCode(respSpy), 200);
    EXPECT_EQ(states(stateSpy), (std::vector<int>{S::LoggingIn, S::LoggedIn}));
    EXPECT_EQ(first.uid(), "u100001");
    EXPECT_EQ(first.mqttClientId(), "gcs-u100001-1");
    EXPECT_FALSE(first.token().isEmpty());
    EXPECT_EQ(first.passwordLogin("pilot@example.com", "secret"), S::AlreadyLoggedIn);

    const json cached = json::parse(cacheBytes(first).toStdString());
    EXPECT_EQ(cached["token"], first.token().toStdString());
    EXPECT_FALSE(cacheBytes(first).contains("secret"));
    const auto mode = [&] {
        struct stat st { };
        return ::stat(qPrintable(first.cacheFilePath()), &st) == 0 ? st.st_mode & 0777 : 0;
    };
    EXPECT_EQ(mode(), 0600u) << "the token is for its owner only";
    // A copy left readable by others is narrowed when the next login rewrites it.
    ASSERT_EQ(::chmod(qPrintable(first.cacheFilePath()), 0644), 0);

    // The next start resumes the session with a fresh token and MQTT client id.
    GcsLoginManager second(m_http, m_cacheDir);
    QSignalSpy autoSpy(&second, &GcsLoginManager::autoLoginResp);
    ASSERT_TRUE(second.loginAutoIfNeed());
    EXPECT_EQ(respCode(autoSpy), 200);
    EXPECT_EQ(second.loginState(), S::LoggedIn);
    EXPECT_EQ(second.uid(), "u100001");
    EXPECT_EQ(second.mqttClientId(), "gcs-u100001-2");
    EXPECT_NE(second.token(), first.token());
    EXPECT_EQ(mode(), 0600u);
    EXPECT_FALSE(second.loginAutoIfNeed());

    QSignalSpy secondStates(&second, &GcsLoginManager::loginStateChanged);
    second.logout();
    EXPECT_EQ(states(secondStates), (std::vector<int>{S::LoggedOut}));
    EXPECT_TRUE(second.token().isEmpty());
    EXPECT_FALSE(QFile::exists(second.cacheFilePath()));
    EXPECT_FALSE(second.loginAutoIfNeed());
}

TEST_F(GcsLoginManagerTest, FailedOrRefusedLoginsReturnToTheirState)
{
    struct Case {
        const char* email;
        const char* password;
        int ret;
        int resp;  // -1: no signal
    };
    const Case cases[] = {
        {"", "secret", S::InvalidArgument, -1},
        {"pilot@example.com", "", S::InvalidArgument, -1},
        {"nobody@example.com", "secret", S::Started, 401},
    };
    GcsLoginManager mgr(m_http, m_cacheDir);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.email) + " / " + c.password);
        QSignalSpy respSpy(&mgr, &GcsLoginManager::passwordLoginResp);
        QSignalSpy stateSpy(&mgr, &GcsLoginManager::loginStateChanged);
        EXPECT_EQ(mgr.passwordLogin(c.email, c.password), c.ret);
        if (c.resp >= 0) {
            EXPECT_EQ(respCode(respSpy), c.resp);
            EXPECT_EQ(states(stateSpy), (std::vector<int>{S::LoggingIn, S::NotLoggedIn}));
        } else {
            EXPECT_TRUE(respSpy.isEmpty());
            EXPECT_TRUE(stateSpy.isEmpty());
        }
        EXPECT_EQ(mgr.loginState(), S::NotLoggedIn);
        EXPECT_FALSE(QFile::exists(mgr.cacheFilePath()));
    }

    // After a logout the failed attempt returns to LoggedOut, and without a cloud the code is 0.
    QSignalSpy ok(&mgr, &GcsLoginManager::passwordLoginResp);
    ASSERT_EQ(mgr.passwordLogin("pilot@example.com", "secret"), S::Started);
    ASSERT_EQ(respCode(ok), 200);
    mgr.logout();
    m_sim.stop();
    QSignalSpy offline(&mgr, &GcsLoginManager::passwordLoginResp);
    ASSERT_EQ(mgr.passwordLogin("pilot@example.com", "secret"), S::Started);
    EXPECT_EQ(respCode(offline), GcsHttp::kNetworkError);
    EXPECT_EQ(mgr.loginState(), S::LoggedOut);

    m_http.reset();
    EXPECT_EQ(mgr.passwordLogin("pilot@example.com", "secret"), S::HttpUnavailable);
}

TEST_F(GcsLoginManagerTest, ResumingACachedSession)
{
    {
        GcsLoginManager mgr(m_http, m_cacheDir);
        QSignalSpy respSpy(&mgr, &GcsLoginManager::passwordLoginResp);
        mgr.passwordLogin("pilot@example.com", "secret");
        ASSERT_EQ(respCode(respSpy), 200);
    }
    const QString cacheFile = m_cacheDir + "/account_session.json";

    // Without a cloud the session stays cached for the next try.
    m_sim.stop();
    GcsLoginManager offline(m_http, m_cacheDir);
    QSignalSpy offlineSpy(&offline, &GcsLoginManager::autoLoginResp);
    ASSERT_TRUE(offline.loginAutoIfNeed());
    EXPECT_EQ(respCode(offlineSpy), GcsHttp::kNetworkError);
    EXPECT_EQ(offline.loginState(), S::NotLoggedIn);
    EXPECT_TRUE(QFile::exists(cacheFile));

    // A restarted cloud no longer knows the token: the session has expired.
    startSim();
    GcsLoginManager expired(m_http, m_cacheDir);
    QSignalSpy expiredSpy(&expired, &GcsLoginManager::autoLoginResp);
    QSignalSpy stateSpy(&expired, &GcsLoginManager::loginStateChanged);
    ASSERT_TRUE(expired.loginAutoIfNeed());
    EXPECT_EQ(respCode(expiredSpy), 401);
    EXPECT_EQ(states(stateSpy), (std::vector<int>{S::LoggingIn, S::LoginExpired}));
    EXPECT_FALSE(QFile::exists(cacheFile));

    // An unreadable cache is ignored.
    {
        QFile garbage(cacheFile);
        ASSERT_TRUE(garbage.open(QIODevice::WriteOnly) && garbage.write("{\"token\": ") > 0);
    }
    LogCapture::instance().clear();
    GcsLoginManager broken(m_http, m_cacheDir);
    EXPECT_FALSE(broken.loginAutoIfNeed());
    EXPECT_EQ(LogCapture::instance().countContaining(spdlog::level::warn, "unreadable session cache"), 1);
    EXPECT_FALSE(GcsLoginManager(m_http, QString()).loginAutoIfNeed());
}

TEST_F(GcsLoginManagerTest, EmailRegistrationNeedsTheMailedCaptcha)
{
    GcsLoginManager mgr(m_http, m_cacheDir);
    bool sent = false;
    m_http->requestEmailCaptcha("new@example.com", "register", [&](int code, auto) { sent = code == 200; });
    ASSERT_TRUE(waitUntil([&] { return sent; }));
    const std::string captcha = json::parse(m_sim.get("/sim/received").toStdString())["captchas"][0]["code"];

    struct Case {
        const char* email;
        std::string captcha;
        int resp;
        int state;
    };
    const Case cases[] = {
        {"new@example.com", captcha == "999999" ? "999998" : "999999", 400, S::NotLoggedIn},
        {"pilot@example.com", captcha, 409, S::NotLoggedIn},
        {"new@example.com", captcha, 200, S::LoggedIn},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.email + (" " + c.captcha));
        QSignalSpy respSpy(&mgr, &GcsLoginManager::emailRegisterResp);
        ASSERT_EQ(mgr.emailRegister(c.email, "pw2", QString::fromStdString(c.captcha)), S::Started);
        EXPECT_EQ(respCode(respSpy), c.resp);
        EXPECT_EQ(mgr.loginState(), c.state);
    }
    EXPECT_EQ(mgr.uid(), "u100002");
    EXPECT_EQ(mgr.emailRegister("x@example.com", "pw", ""), S::AlreadyLoggedIn);
}

TEST_F(GcsLoginManagerTest, LogoutAbandonsALoginInFlight)
{
    GcsLoginManager mgr(m_http, m_cacheDir);
    QSignalSpy respSpy(&mgr, &GcsLoginManager::passwordLoginResp);
    LogCapture::instance().clear();
    ASSERT_EQ(mgr.passwordLogin("pilot@example.com", "secret"), S::Started);
    mgr.logout();
    EXPECT_EQ(mgr.loginState(), S::LoggedOut);
    ASSERT_TRUE(waitUntil(
        [] { return LogCapture::instance().countContaining(spdlog::level::debug, "passwordLogin: HTTP 200") == 1; }));
    EXPECT_TRUE(respSpy.isEmpty());
    EXPECT_EQ(mgr.loginState(), S::LoggedOut);
    EXPECT_TRUE(mgr.token().isEmpty());
    EXPECT_FALSE(QFile::exists(mgr.cacheFilePath()));
}

}  // namespace
