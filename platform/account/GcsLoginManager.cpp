#include "GcsLoginManager.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaEnum>
#include <QPointer>
#include <QSaveFile>

#include <spdlog/spdlog.h>

using nlohmann::json;

namespace {

QString stringOf(const json& doc, const char* key)
{
    const auto it = doc.find(key);
    return it != doc.end() && it->is_string() ? QString::fromStdString(it->get<std::string>()) : QString();
}

}  // namespace

GcsLoginManager::GcsLoginManager(std::shared_ptr<GcsHttp> http, const QString& cachePath, QObject* parent)
    : QObject(parent)
    , m_http(http)
    , m_cacheFile(cachePath.isEmpty() ? QString() : QDir(cachePath).filePath("account_session.json"))
{
}

GcsLoginManager::~GcsLoginManager()
{
    spdlog::debug("GcsLoginManager destroyed ----------");
}

int GcsLoginManager::emailRegister(const QString& email, const QString& password, const QString& captcha)
{
    const int ret = checkCanLogin("email register", !email.isEmpty() && !password.isEmpty() && !captcha.isEmpty());
    if (ret == GcsAccountEnums::Started)
        m_http.lock()->emailRegister({email.toStdString(), password.toStdString(), captcha.toStdString()},
                                     replyHandler(Kind::Register));
    return ret;
}

int GcsLoginManager::passwordLogin(const QString& email, const QString& password)
{
    const int ret = checkCanLogin("password login", !email.isEmpty() && !password.isEmpty());
    if (ret == GcsAccountEnums::Started)
        m_http.lock()->passwordLogin(email.toStdString(), password.toStdString(), replyHandler(Kind::Password));
    return ret;
}

bool GcsLoginManager::loginAutoIfNeed()
{
    if (m_state == GcsAccountEnums::LoggedIn || m_state == GcsAccountEnums::LoggingIn || m_cacheFile.isEmpty())
        return false;
    const Session cached = readCache();
    if (cached.token.isEmpty())
        return false;
    if (checkCanLogin("auto login", true) != GcsAccountEnums::Started)
        return false;
    spdlog::info("<Account> resuming the session of {}", cached.email.toStdString());
    m_http.lock()->tokenLogin(cached.token.toStdString(), replyHandler(Kind::Auto));
    return true;
}

void GcsLoginManager::logout()
{
    if (m_state != GcsAccountEnums::LoggedIn && m_state != GcsAccountEnums::LoggingIn) {
        spdlog::debug("<Account> logout ignored, not logged in");
        return;
    }
    ++m_attempt;
    const auto http = m_http.lock();
    if (http && m_state == GcsAccountEnums::LoggedIn) {
        http->logout(m_session.token.toStdString(), [](int code, const GcsHttp::JsonPtr&) {
            if (code != 200)
                spdlog::warn("<Account> the cloud did not confirm the logout, code {}", code);
        });
    }
    spdlog::info("<Account> {} logged out", m_session.email.toStdString());
    m_session = {};
    removeCache();
    setState(GcsAccountEnums::LoggedOut);
}

int GcsLoginManager::checkCanLogin(const char* what, bool argsOk)
{
    GcsAccountEnums::LoginRequestRet ret = GcsAccountEnums::Started;
    if (m_state == GcsAccountEnums::LoggingIn)
        ret = GcsAccountEnums::Busy;
    else if (m_state == GcsAccountEnums::LoggedIn)
        ret = GcsAccountEnums::AlreadyLoggedIn;
    else if (!argsOk)
        ret = GcsAccountEnums::InvalidArgument;
    else if (m_http.expired())
        ret = GcsAccountEnums::HttpUnavailable;
    if (ret != GcsAccountEnums::Started) {
        spdlog::warn("<Account> {} refused: {}", what,
                     QMetaEnum::fromType<GcsAccountEnums::LoginRequestRet>().valueToKey(ret));
        return ret;
    }
    m_stateBeforeLogin = m_state;
    setState(GcsAccountEnums::LoggingIn);
    return ret;
}

GcsHttp::Callback GcsLoginManager::replyHandler(Kind kind)
{
    return [self = QPointer<GcsLoginManager>(this), kind, attempt = ++m_attempt](int code, GcsHttp::JsonPtr doc) {
        if (self && self->m_attempt == attempt)
            self->handleSessionReply(kind, code, doc);
    };
}

void GcsLoginManager::handleSessionReply(Kind kind, int code, const GcsHttp::JsonPtr& doc)
{
    int resp = code;
    if (code == 200 && doc) {
        m_session = {stringOf(*doc, "email"), stringOf(*doc, "uid"), stringOf(*doc, "token"),
                     stringOf(*doc, "teamCode"), stringOf(*doc, "mqttClientId")};
        if (m_session.email.isEmpty() && kind == Kind::Auto)
            m_session.email = readCache().email;
        writeCache();
        spdlog::info("<Account> logged in, uid {}, MQTT client id {}", m_session.uid.toStdString(),
                     m_session.mqttClientId.toStdString());
        setState(GcsAccountEnums::LoggedIn);
    } else {
        if (code == 200)
            resp = kBadReply;
        spdlog::warn("<Account> login failed, code {}", resp);
        if (kind == Kind::Auto && (code == 401 || code == 403)) {
            removeCache();
            setState(GcsAccountEnums::LoginExpired);
        } else {
            setState(m_stateBeforeLogin);
        }
    }
    switch (kind) {
    case Kind::Register: emit emailRegisterResp(resp); break;
    case Kind::Password: emit passwordLoginResp(resp); break;
    case Kind::Auto: emit autoLoginResp(resp); break;
    }
}

void GcsLoginManager::setState(GcsAccountEnums::LoginState state)
{
    if (state == m_state)
        return;
    m_state = state;
    spdlog::info("<Account> login state {} ({})", QMetaEnum::fromType<GcsAccountEnums::LoginState>().valueToKey(state),
                 int(state));
    emit loginStateChanged(state);
}

GcsLoginManager::Session GcsLoginManager::readCache() const
{
    QFile file(m_cacheFile);
    if (m_cacheFile.isEmpty() || !file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = file.readAll();
    const json doc = json::parse(bytes.constBegin(), bytes.constEnd(), nullptr, false);
    if (!doc.is_object()) {
        spdlog::warn("<Account> ignoring an unreadable session cache {}", m_cacheFile.toStdString());
        return {};
    }
    return {stringOf(doc, "email"), stringOf(doc, "uid"), stringOf(doc, "token"), stringOf(doc, "teamCode"), {}};
}

void GcsLoginManager::writeCache() const
{
    if (m_cacheFile.isEmpty())
        return;
    const json doc = {{"email", m_session.email.toStdString()},
                      {"uid", m_session.uid.toStdString()},
                      {"token", m_session.token.toStdString()},
                      {"teamCode", m_session.teamCode.toStdString()}};
    QDir().mkpath(QFileInfo(m_cacheFile).absolutePath());
    QSaveFile file(m_cacheFile);
    const QByteArray bytes = QByteArray::fromStdString(doc.dump(2, ' ', false, json::error_handler_t::replace));
    // The token opens the account: the file is narrowed to its owner before the first byte goes
    // in, whatever the umask or an older copy allowed. Unbuffered, so that a short write fails
    // here instead of committing a cut file.
    bool ok = file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) &&
              file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    for (qint64 done = 0; ok && done < bytes.size();) {
        const qint64 n = file.write(bytes.constData() + done, bytes.size() - done);
        ok = n > 0;
        done += n;
    }
    if (!ok || !file.commit())
        spdlog::warn("<Account> cannot write the session cache {}: {}", m_cacheFile.toStdString(),
                     file.errorString().toStdString());
}

void GcsLoginManager::removeCache() const
{
    if (!m_cacheFile.isEmpty() && QFile::exists(m_cacheFile) && !QFile::remove(m_cacheFile))
        spdlog::warn("<Account> cannot remove the session cache {}", m_cacheFile.toStdString());
}
