#pragma once
// The account's login state and session, through the cloud API of GcsHttp.
//
// Choices:
// - A session is what the cloud answers to a login: user id, token, team code and an MQTT
//   client id that is new for every login. It is kept in memory; the cache file
//   "account_session.json" in the cache directory holds the e-mail, user id, token and team
//   code (never the password) so that loginAutoIfNeed() can resume it at the next start. Only
//   its owner may read or write it (mode 0600).
// - States move NotLoggedIn/LoggedOut/LoginExpired -> LoggingIn -> LoggedIn, and LoggedIn ->
//   LoggedOut on logout(). A failed password login or registration returns to the state it
//   started from. A resumed session that the cloud refuses (401 or 403) ends in LoginExpired
//   and the cache is removed; any other failure of it (no network, time-out, 5xx) returns to
//   the state it started from and keeps the cache for the next start.
// - loginStateChanged fires on every real change, before the ...Resp signal of the same reply.
// - The ...Resp signals carry the GcsHttp code of the reply (200 = logged in; 0 network error,
//   408 time-out, else the cloud's HTTP status) or kBadReply when a 200 reply lacked a usable
//   session.
// - One login at a time, and none while logged in (log out first): the refusal is returned as
//   a GcsAccountEnums::LoginRequestRet and logged, and no signal follows. logout() during a
//   login abandons it; its reply is ignored.
// - Callbacks and signals run on the manager's thread; it holds the HTTP client weakly.

#include "GcsAccountEnums.h"
#include "GcsHttp.h"

#include <QObject>
#include <QString>

#include <memory>

class GcsLoginManager : public QObject {
    Q_OBJECT
public:
    static constexpr int kBadReply = 502;

    // cachePath: directory of the session cache; empty disables the cache.
    GcsLoginManager(std::shared_ptr<GcsHttp> http, const QString& cachePath, QObject* parent = nullptr);
    ~GcsLoginManager() override;

    GcsAccountEnums::LoginState loginState() const { return m_state; }
    QString email() const { return m_session.email; }
    QString uid() const { return m_session.uid; }
    QString token() const { return m_session.token; }
    QString teamCode() const { return m_session.teamCode; }
    QString mqttClientId() const { return m_session.mqttClientId; }
    QString cacheFilePath() const { return m_cacheFile; }

    // The captcha comes from GcsHttp::requestEmailCaptcha(email, "register", ...).
    int emailRegister(const QString& email, const QString& password, const QString& captcha);
    int passwordLogin(const QString& email, const QString& password);
    // Resumes the cached session; true when a login was started.
    bool loginAutoIfNeed();
    void logout();

signals:
    void emailRegisterResp(int code);
    void passwordLoginResp(int code);
    void autoLoginResp(int code);
    void loginStateChanged(GcsAccountEnums::LoginState state);

private:
    enum class Kind { Register, Password, Auto };
    struct Session {
        QString email;
        QString uid;
        QString token;
        QString teamCode;
        QString mqttClientId;
    };

    int checkCanLogin(const char* what, bool argsOk);
    GcsHttp::Callback replyHandler(Kind kind);
    void handleSessionReply(Kind kind, int code, const GcsHttp::JsonPtr& doc);
    void setState(GcsAccountEnums::LoginState state);
    Session readCache() const;
    void writeCache() const;
    void removeCache() const;

    std::weak_ptr<GcsHttp> m_http;
    QString m_cacheFile;
    Session m_session;
    GcsAccountEnums::LoginState m_state = GcsAccountEnums::NotLoggedIn;
    GcsAccountEnums::LoginState m_stateBeforeLogin = GcsAccountEnums::NotLoggedIn;
    quint64 m_attempt = 0;  // replies of an abandoned attempt are ignored
};
