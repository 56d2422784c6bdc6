#include "CloudSimService.h"

#include <QFile>
#include <QFileInfo>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QPointer>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QTimer>
#include <QUrlQuery>
#include <QUuid>

#include <spdlog/spdlog.h>

#include <algorithm>

using nlohmann::json;

namespace {

std::string stringMember(const json& body, const char* key)
{
    const auto it = body.is_object() ? body.find(key) : body.end();
    return it != body.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// An integer member: nullopt when missing, and `bad` set when present but not an integer.
std::optional<int> intMember(const json& body, const char* key, bool& bad)
{
    const auto it = body.is_object() ? body.find(key) : body.end();
    if (it == body.end())
        return std::nullopt;
    if (!it->is_number_integer()) {
        bad = true;
        return std::nullopt;
    }
    return it->get<int>();
}

QString methodName(QHttpServerRequest::Method m)
{
    switch (m) {
    case QHttpServerRequest::Method::Get: return QStringLiteral("GET");
    case QHttpServerRequest::Method::Post: return QStringLiteral("POST");
    case QHttpServerRequest::Method::Put: return QStringLiteral("PUT");
    case QHttpServerRequest::Method::Delete: return QStringLiteral("DELETE");
    default: return QStringLiteral("OTHER");
    }
}

}  // namespace

void CloudSimService::writeReply(QHttpServerResponder& responder, const Reply& reply,
                                 QHttpServerResponder::StatusCode status)
{
    if (reply.nfzUpdateTime.isEmpty()) {
        responder.write(reply.body, "application/json", status);
        return;
    }
    responder.write(reply.body, {{"Content-Type", "application/json"}, {"X-Nfz-Update-Time", reply.nfzUpdateTime}},
                    status);
}

CloudSimService::CloudSimService(Options options, QObject* parent)
    : QObject(parent)
    , m_options(std::move(options))
{
    for (const Account& a : m_options.accounts)
        createAccount(a.email, a.password).vehicles = a.vehicles;

    m_server.setMissingHandler([this](const QHttpServerRequest& request, QHttpServerResponder&& responder) {
        Request req;
        req.method = methodName(request.method());
        req.path = request.url().path();
        req.query = request.query();
        req.headers = json::object();
        for (const auto& [name, value] : request.headers()) {
            const QByteArray key = name.toLower();
            if (key.startsWith("x-gcs-"))
                req.headers[key.mid(6).toStdString()] = value.toStdString();
            if (key == "x-gcs-token")
                req.token = value.toStdString();
        }
        const QByteArray body = request.body();
        req.body = json::parse(body.constBegin(), body.constEnd(), nullptr, false);

        const Reply reply = dispatch(req);
        spdlog::debug("<cloud-sim> {} {} -> {}", req.method.toStdString(), req.path.toStdString(), reply.status);
        const auto status = QHttpServerResponder::StatusCode(reply.status);
        if (m_options.delayMs <= 0) {
            writeReply(responder, reply, status);
            return;
        }
        // The client may give up before the answer is due; its socket is gone by then.
        auto held = std::make_shared<QHttpServerResponder>(std::move(responder));
        QPointer<QTcpSocket> socket = held->socket();
        QTimer::singleShot(m_options.delayMs, this, [held, socket, reply, status] {
            if (socket && socket->state() == QAbstractSocket::ConnectedState)
                writeReply(*held, reply, status);
        });
    });
}

quint16 CloudSimService::listen(quint16 port)
{
    return m_server.listen(QHostAddress::LocalHost, port);
}

CloudSimService::Reply CloudSimService::dispatch(const Request& req)
{
    using Handler = Reply (CloudSimService::*)(const Request&);
    struct Route {
        const char* method;
        const char* path;
        Handler handler;
    };
    static const Route routes[] = {
        {"POST", "/vehicle/mqtt/activate", &CloudSimService::activate},
        {"POST", "/vehicle/code/generate", &CloudSimService::generateCode},
        {"POST", "/device/soft/report", &CloudSimService::deviceReport},
        {"POST", "/event/uav/report", &CloudSimService::eventReport},
        {"GET", "/user/vehicles", &CloudSimService::listVehicles},
        {"POST", "/user/vehicles/add", &CloudSimService::addVehicle},
        {"POST", "/user/vehicles/delete", &CloudSimService::deleteVehicle},
        {"POST", "/user/vehicles/update", &CloudSimService::updateVehicle},
        {"POST", "/account/email/captcha", &CloudSimService::captcha},
        {"POST", "/account/email/register", &CloudSimService::registerAccount},
        {"POST", "/account/login/password", &CloudSimService::passwordLogin},
        {"POST", "/account/login/token", &CloudSimService::tokenLogin},
        {"POST", "/account/logout", &CloudSimService::logout},
    };

    const auto failure = m_options.failures.constFind(req.path);
    if (failure != m_options.failures.constEnd())
        return error(*failure, "injected failure");

    if (req.path == "/nfz/zones" || req.path == "/sim/received") {
        if (req.method != "GET")
            return error(405, "method not allowed");
        return req.path == "/nfz/zones" ? zones() : received();
    }
    for (const Route& r : routes) {
        if (req.path != QLatin1String(r.path))
            continue;
        if (req.method != QLatin1String(r.method))
            return error(405, "method not allowed");
        if (r.method == std::string_view("POST") && !req.body.is_object())
            return error(400, "body must be a JSON object");
        return (this->*r.handler)(req);
    }
    return error(404, "no such endpoint");
}

CloudSimService::Reply CloudSimService::zones() const
{
    if (m_options.zonesFile.isEmpty())
        return {200, "[]", {}};
    QFile file(m_options.zonesFile);
    if (!file.open(QIODevice::ReadOnly)) {
        spdlog::warn("<cloud-sim> cannot read zone file {}: {}", m_options.zonesFile.toStdString(),
                     file.errorString().toStdString());
        return error(500, "cannot read the zone file");
    }
    const QByteArray time =
        QFileInfo(file).lastModified().toUTC().toString(Qt::ISODate).toUtf8();  // "2026-01-02T03:04:05Z"
    return {200, file.readAll(), time};
}

CloudSimService::Reply CloudSimService::activate(const Request& req)
{
    Account* account = accountOf(req);
    if (!account)
        return error(401, "not logged in");
    const std::string code = stringMember(req.body, "vehicleCode");
    if (code.empty())
        return error(400, "vehicleCode must be a non-empty string");
    m_activations.push_back({{"vehicleCode", code}, {"uid", account->uid}});
    return ok({{"vehicleCode", code}, {"active", true}});
}

CloudSimService::Reply CloudSimService::generateCode(const Request& req)
{
    bool bad = false;
    intMember(req.body, "vehicleType", bad);
    if (bad)
        return error(400, "vehicleType must be an integer");
    // Fourteen characters: fits the vehicle's code field with room to spare.
    const std::string code = QStringLiteral("VM%1%2")
                                 .arg(QRandomGenerator::global()->bounded(100000000), 8, 10, QLatin1Char('0'))
                                 .arg(++m_codeCount, 4, 10, QLatin1Char('0'))
                                 .toStdString();
    m_generatedCodes.push_back({{"code", code}, {"oldVehicleCode", stringMember(req.body, "oldVehicleCode")}});
    return ok({{"code", code}});
}

CloudSimService::Reply CloudSimService::deviceReport(const Request& req)
{
    const auto id = req.body.find("deviceUniqueId");
    const auto os = req.body.find("osName");
    if (id == req.body.end() || !id->is_string() || os == req.body.end() || !os->is_string())
        return error(400, "deviceUniqueId and osName must be strings");
    m_deviceReports.push_back({{"deviceUniqueId", *id}, {"osName", *os}, {"headers", req.headers}});
    return ok(json::object());
}

CloudSimService::Reply CloudSimService::eventReport(const Request& req)
{
    const auto type = req.body.find("eventType");
    const auto time = req.body.find("timeMs");
    const auto content = req.body.find("content");
    if (type == req.body.end() || !type->is_number_integer() || time == req.body.end() || !time->is_number_integer() ||
        content == req.body.end() || !content->is_string())
        return error(400, "eventType and timeMs must be integers, content a string");
    m_events.push_back({{"eventType", *type}, {"timeMs", *time}, {"content", *content}, {"headers", req.headers}});
    return ok(json::object());
}

CloudSimService::Reply CloudSimService::listVehicles(const Request& req)
{
    Account* account = accountOf(req);
    if (!account)
        return error(401, "not logged in");
    bool pageOk = true;
    bool sizeOk = true;
    const int page = req.query.hasQueryItem("page") ? req.query.queryItemValue("page").toInt(&pageOk) : 1;
    const int pageSize = req.query.hasQueryItem("pageSize") ? req.query.queryItemValue("pageSize").toInt(&sizeOk) : 100;
    if (!pageOk || !sizeOk || page < 1 || pageSize < 1)
        return error(400, "page and pageSize must be positive integers");
    json items = json::array();
    const size_t first = size_t(page - 1) * size_t(pageSize);
    for (size_t i = first; i < account->vehicles.size() && i < first + size_t(pageSize); ++i)
        items.push_back(vehicleJson(account->vehicles[i]));
    return ok({{"items", items}, {"total", account->vehicles.size()}});
}

CloudSimService::Reply CloudSimService::addVehicle(const Request& req)
{
    Account* account = accountOf(req);
    if (!account)
        return error(401, "not logged in");
    Vehicle v{stringMember(req.body, "vehicleCode"), stringMember(req.body, "name"), 0};
    bool bad = false;
    v.localId = intMember(req.body, "vehicleLocalId", bad).value_or(0);
    if (v.code.empty() || bad)
        return error(400, "vehicleCode must be a non-empty string, vehicleLocalId an integer");
    if (!takeCaptcha(stringMember(req.body, "email"), "associate-vehicle", stringMember(req.body, "captcha")))
        return error(400, "wrong captcha");
    const bool known = std::any_of(account->vehicles.begin(), account->vehicles.end(),
                                   [&](const Vehicle& o) { return o.code == v.code; });
    if (known)
        return error(409, "vehicle already bound to this account");
    account->vehicles.push_back(v);
    return ok(vehicleJson(v));
}

CloudSimService::Reply CloudSimService::deleteVehicle(const Request& req)
{
    Account* account = accountOf(req);
    if (!account)
        return error(401, "not logged in");
    const std::string code = stringMember(req.body, "vehicleCode");
    const auto it = std::find_if(account->vehicles.begin(), account->vehicles.end(),
                                 [&](const Vehicle& v) { return v.code == code; });
    if (it == account->vehicles.end())
        return error(404, "no such vehicle");
    account->vehicles.erase(it);
    return ok(json::object());
}

CloudSimService::Reply CloudSimService::updateVehicle(const Request& req)
{
    Account* account = accountOf(req);
    if (!account)
        return error(401, "not logged in");
    const std::string code = stringMember(req.body, "vehicleCode");
    const auto it = std::find_if(account->vehicles.begin(), account->vehicles.end(),
                                 [&](const Vehicle& v) { return v.code == code; });
    if (it == account->vehicles.end())
        return error(404, "no such vehicle");
    bool bad = false;
    const std::optional<int> localId = intMember(req.body, "vehicleLocalId", bad);
    const auto name = req.body.find("name");
    if (bad || (name != req.body.end() && !name->is_string()))
        return error(400, "name must be a string, vehicleLocalId an integer");
    if (name != req.body.end())
        it->name = name->get<std::string>();
    if (localId)
        it->localId = *localId;
    return ok(vehicleJson(*it));
}

CloudSimService::Reply CloudSimService::captcha(const Request& req)
{
    const std::string email = stringMember(req.body, "email");
    const std::string purpose = stringMember(req.body, "purpose");
    if (email.empty() || (purpose != "register" && purpose != "associate-vehicle"))
        return error(400, R"(email must be non-empty, purpose "register" or "associate-vehicle")");
    const std::string code =
        QStringLiteral("%1").arg(QRandomGenerator::global()->bounded(1000000), 6, 10, QLatin1Char('0')).toStdString();
    m_captchas[{email, purpose}] = code;
    m_captchaLog.push_back({{"email", email}, {"purpose", purpose}, {"code", code}});
    return ok(json::object());
}

CloudSimService::Reply CloudSimService::registerAccount(const Request& req)
{
    const std::string email = stringMember(req.body, "email");
    const std::string password = stringMember(req.body, "password");
    if (email.empty() || password.empty())
        return error(400, "email and password must be non-empty strings");
    const bool known =
        std::any_of(m_accounts.begin(), m_accounts.end(), [&](const Account& a) { return a.email == email; });
    if (known)
        return error(409, "e-mail already registered");
    if (!takeCaptcha(email, "register", stringMember(req.body, "captcha")))
        return error(400, "wrong captcha");
    return openSession(createAccount(email, password));
}

CloudSimService::Reply CloudSimService::passwordLogin(const Request& req)
{
    const std::string email = stringMember(req.body, "email");
    const std::string password = stringMember(req.body, "password");
    for (Account& a : m_accounts) {
        if (a.email == email && a.password == password && !password.empty())
            return openSession(a);
    }
    return error(401, "wrong e-mail or password");
}

CloudSimService::Reply CloudSimService::tokenLogin(const Request& req)
{
    const auto it = m_sessions.find(stringMember(req.body, "token"));
    if (it == m_sessions.end())
        return error(401, "unknown or expired token");
    const size_t index = it->second;
    m_sessions.erase(it);
    return openSession(m_accounts[index]);
}

CloudSimService::Reply CloudSimService::logout(const Request& req)
{
    if (m_sessions.erase(stringMember(req.body, "token")) == 0)
        return error(401, "unknown or expired token");
    return ok(json::object());
}

CloudSimService::Reply CloudSimService::received() const
{
    return ok({{"events", m_events},
               {"deviceReports", m_deviceReports},
               {"captchas", m_captchaLog},
               {"activations", m_activations},
               {"generatedCodes", m_generatedCodes}});
}

CloudSimService::Account& CloudSimService::createAccount(const std::string& email, const std::string& password)
{
    const std::string uid = "u" + std::to_string(100001 + m_accounts.size());
    m_accounts.push_back({email, password, uid, "team-" + uid, {}});
    return m_accounts.back();
}

CloudSimService::Account* CloudSimService::accountOf(const Request& req)
{
    const auto it = m_sessions.find(req.token);
    return it == m_sessions.end() ? nullptr : &m_accounts[it->second];
}

CloudSimService::Reply CloudSimService::openSession(Account& account)
{
    const std::string token = QUuid::createUuid().toString(QUuid::Id128).toStdString();
    m_sessions[token] = size_t(&account - m_accounts.data());
    const std::string clientId = "gcs-" + account.uid + "-" + std::to_string(++m_loginCount);
    spdlog::info("<cloud-sim> {} logged in, MQTT client id {}", account.email, clientId);
    return ok({{"uid", account.uid},
               {"token", token},
               {"teamCode", account.teamCode},
               {"mqttClientId", clientId},
               {"email", account.email}});
}

bool CloudSimService::takeCaptcha(const std::string& email, const std::string& purpose, const std::string& code)
{
    const auto it = m_captchas.find({email, purpose});
    if (it == m_captchas.end() || it->second != code)
        return false;
    m_captchas.erase(it);
    return true;
}

CloudSimService::Reply CloudSimService::ok(const json& doc)
{
    return {200, QByteArray::fromStdString(doc.dump(-1, ' ', false, json::error_handler_t::replace)), {}};
}

CloudSimService::Reply CloudSimService::error(int status, const std::string& text)
{
    return {status, QByteArray::fromStdString(json{{"error", text}}.dump()), {}};
}

json CloudSimService::vehicleJson(const Vehicle& v)
{
    return {{"vehicleCode", v.code}, {"name", v.name}, {"vehicleLocalId", v.localId}};
}
