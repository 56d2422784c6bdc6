#include "GcsHttp.h"

#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QThread>
#include <QTimer>
#include <QUrlQuery>

#include <spdlog/spdlog.h>

#include <algorithm>
#include <atomic>

using nlohmann::json;

namespace {

const char* const kTimedOutProperty = "gcsTimedOut";
const char* const kDroppedProperty = "gcsDropped";

bool isNonEmptyString(const json& obj, const char* key)
{
    const auto it = obj.find(key);
    return it != obj.end() && it->is_string() && !it->get_ref<const std::string&>().empty();
}

bool isVehicle(const json& v)
{
    return v.is_object() && v.contains("vehicleCode") && v["vehicleCode"].is_string() && v.contains("name") &&
           v["name"].is_string() && v.contains("vehicleLocalId") && v["vehicleLocalId"].is_number_integer();
}

void runCallback(const char* name, const GcsHttp::Callback& cb, int code, GcsHttp::JsonPtr doc)
{
    if (!cb)
        return;
    try {
        cb(code, std::move(doc));
    } catch (const std::exception& e) {
        spdlog::error("<GcsHttp> {}: callback threw: {}", name, e.what());
    } catch (...) {
        spdlog::error("<GcsHttp> {}: callback threw", name);
    }
}

// Lives on the thread that made a call from outside the client's thread and holds its
// callback; the answer runs there and the object goes with it.
class CallingThreadHome : public QObject {
public:
    explicit CallingThreadHome(GcsHttp::Callback cb)
        : cb(std::move(cb))
    {
    }
    GcsHttp::Callback cb;
};

// Shared by the copies of a carried callback. If the last copy goes without an answer (the
// call was still queued when the client went away), it answers kNetworkError itself.
struct CarriedAnswer {
    const char* name;
    CallingThreadHome* home;
    std::atomic<bool> answered{false};

    void answer(int code, GcsHttp::JsonPtr doc)
    {
        if (answered.exchange(true))
            return;
        QMetaObject::invokeMethod(home, [name = name, home = home, code, doc] {
            runCallback(name, home->cb, code, doc);
            home->deleteLater();
        });
    }
    ~CarriedAnswer()
    {
        if (answered)
            return;
        spdlog::warn("<GcsHttp> {}: dropped before the client took it", name);
        answer(GcsHttp::kNetworkError, nullptr);
    }
};

}  // namespace

GcsHttp::GcsHttp(const QString& baseUrl, QObject* parent)
    : QObject(parent)
    , m_baseUrl(baseUrl)
{
    while (m_baseUrl.endsWith('/'))
        m_baseUrl.chop(1);
}

GcsHttp::~GcsHttp()
{
    // Nothing else uses the client any more, whichever thread this runs on.
    dropRequests();
}

void GcsHttp::start()
{
    if (m_nam)
        return;
    m_nam = std::make_unique<QNetworkAccessManager>();
    if (m_baseUrl.isEmpty())
        spdlog::info("<GcsHttp> started without a cloud: every call answers a network error at once");
    else
        spdlog::info("<GcsHttp> started, base url {}", m_baseUrl.toStdString());
}

void GcsHttp::stop()
{
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(
            this, [this] { dropRequests(); }, Qt::QueuedConnection);
        return;
    }
    dropRequests();
}

void GcsHttp::dropRequests()
{
    if (!m_nam)
        return;
    // Detached first, so that anything called back meets a stopped client.
    const std::unique_ptr<QNetworkAccessManager> nam = std::move(m_nam);
    const auto replies = nam->findChildren<QNetworkReply*>();
    for (QNetworkReply* reply : replies) {
        reply->setProperty(kDroppedProperty, true);
        reply->abort();  // finish() answers it
    }
    spdlog::info("<GcsHttp> stopped, {} requests dropped", replies.size());
}

void GcsHttp::setTimeoutMs(int ms)
{
    m_timeoutMs = std::max(1, ms);
}

void GcsHttp::setRequestDefaultDataQuery(std::shared_ptr<GcsAbstractRequestDefaultDataQuery> query)
{
    m_query = std::move(query);
}

void GcsHttp::fetchAllNoFlyZones(Callback cb)
{
    submit({"fetchAllNoFlyZones", "GET", "/nfz/zones", std::nullopt, Shape::Array, std::move(cb), true});
}

QString GcsHttp::lastNetworkError() const
{
    std::lock_guard lock(m_nfzTimeMutex);
    return m_lastNetworkError;
}

QString GcsHttp::noFlyZonesUpdateTime() const
{
    std::lock_guard lock(m_nfzTimeMutex);
    return m_nfzUpdateTime;
}

void GcsHttp::activateVehicleMqtt(const std::string& vehicleCode, Callback cb)
{
    submit({"activateVehicleMqtt", "POST", "/vehicle/mqtt/activate", json{{"vehicleCode", vehicleCode}}, Shape::Object,
            std::move(cb)});
}

void GcsHttp::generateVehicleCode(const GenerateVehicleCodeReq& req, Callback cb)
{
    submit({"generateVehicleCode", "POST", "/vehicle/code/generate",
            json{{"oldVehicleCode", req.oldVehicleCode}, {"vehicleType", req.vehicleType}}, Shape::VehicleCode,
            std::move(cb)});
}

void GcsHttp::reportSoftDevice(const std::string& deviceUniqueId, const std::string& osName, Callback cb)
{
    submit({"reportSoftDevice", "POST", "/device/soft/report",
            json{{"deviceUniqueId", deviceUniqueId}, {"osName", osName}}, Shape::Any, std::move(cb)});
}

void GcsHttp::reportUavEvent(int eventType, int64_t timeMs, const std::string& content, Callback cb)
{
    submit({"reportUavEvent", "POST", "/event/uav/report",
            json{{"eventType", eventType}, {"timeMs", timeMs}, {"content", content}}, Shape::Any, std::move(cb)});
}

void GcsHttp::getUserVehicleList(const UserVehicleListReq& req, Callback cb)
{
    submit({"getUserVehicleList", "GET",
            QStringLiteral("/user/vehicles?page=%1&pageSize=%2").arg(req.page).arg(req.pageSize), std::nullopt,
            Shape::VehicleList, std::move(cb)});
}

void GcsHttp::addUserVehicle(const AddUserVehicleReq& req, Callback cb)
{
    json body{{"vehicleCode", req.vehicleCode}, {"name", req.name}, {"email", req.email}, {"captcha", req.captcha}};
    if (req.vehicleLocalId)
        body["vehicleLocalId"] = *req.vehicleLocalId;
    submit({"addUserVehicle", "POST", "/user/vehicles/add", std::move(body), Shape::Vehicle, std::move(cb)});
}

void GcsHttp::deleteUserVehicle(const DeleteUserVehicleReq& req, Callback cb)
{
    submit({"deleteUserVehicle", "POST", "/user/vehicles/delete", json{{"vehicleCode", req.vehicleCode}}, Shape::Any,
            std::move(cb)});
}

void GcsHttp::updateUserVehicle(const UpdateUserVehicleReq& req, Callback cb)
{
    json body{{"vehicleCode", req.vehicleCode}};
    if (req.name)
        body["name"] = *req.name;
    if (req.vehicleLocalId)
        body["vehicleLocalId"] = *req.vehicleLocalId;
    submit({"updateUserVehicle", "POST", "/user/vehicles/update", std::move(body), Shape::Vehicle, std::move(cb)});
}

void GcsHttp::requestEmailCaptcha(const std::string& email, const std::string& purpose, Callback cb)
{
    submit({"requestEmailCaptcha", "POST", "/account/email/captcha", json{{"email", email}, {"purpose", purpose}},
            Shape::Any, std::move(cb)});
}

void GcsHttp::emailRegister(const EmailRegisterReq& req, Callback cb)
{
    submit({"emailRegister", "POST", "/account/email/register",
            json{{"email", req.email}, {"password", req.password}, {"captcha", req.captcha}}, Shape::Session,
            std::move(cb)});
}

void GcsHttp::passwordLogin(const std::string& email, const std::string& password, Callback cb)
{
    submit({"passwordLogin", "POST", "/account/login/password", json{{"email", email}, {"password", password}},
            Shape::Session, std::move(cb)});
}

void GcsHttp::tokenLogin(const std::string& token, Callback cb)
{
    submit({"tokenLogin", "POST", "/account/login/token", json{{"token", token}}, Shape::Session, std::move(cb)});
}

void GcsHttp::logout(const std::string& token, Callback cb)
{
    submit({"logout", "POST", "/account/logout", json{{"token", token}}, Shape::Any, std::move(cb)});
}

void GcsHttp::submit(Call call)
{
    if (QThread::currentThread() != thread()) {
        call.cb = carriedToCallingThread(call.name, std::move(call.cb));
        QMetaObject::invokeMethod(this, [this, call = std::move(call)]() mutable { submit(std::move(call)); });
        return;
    }
    if (m_baseUrl.isEmpty()) {
        // No cloud configured (an offline station): no traffic and nothing worth a warning.
        spdlog::debug("<GcsHttp> {}: no cloud configured", call.name);
        QTimer::singleShot(0, [call] { deliver(call, kNetworkError, nullptr); });
        return;
    }
    if (!m_nam) {
        spdlog::warn("<GcsHttp> {}: client not started", call.name);
        // Not bound to this object: the answer is due even if the client goes first.
        QTimer::singleShot(0, [call] { deliver(call, kNetworkError, nullptr); });
        return;
    }

    QNetworkRequest request(QUrl(m_baseUrl + call.path));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    if (m_query) {
        request.setRawHeader("X-Gcs-Uid", m_query->userId().toUtf8());
        request.setRawHeader("X-Gcs-Token", m_query->token().toUtf8());
        request.setRawHeader("X-Gcs-Device-Id", m_query->deviceUniqueId().toUtf8());
        request.setRawHeader("X-Gcs-System-Type", QByteArray::number(m_query->systemType()));
        request.setRawHeader("X-Gcs-Team-Code", m_query->teamCode().toUtf8());
    }
    QByteArray body;
    if (call.body)
        body = QByteArray::fromStdString(call.body->dump(-1, ' ', false, json::error_handler_t::replace));
    QNetworkReply* reply = m_nam->sendCustomRequest(request, call.verb, body);

    auto* timer = new QTimer(reply);
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, reply, [reply] {
        reply->setProperty(kTimedOutProperty, true);
        reply->abort();
    });
    timer->start(m_timeoutMs);
    spdlog::debug("<GcsHttp> {} {} {}", call.name, call.verb.toStdString(), call.path.toStdString());
    connect(reply, &QNetworkReply::finished, this, [this, reply, call = std::move(call)] { finish(reply, call); });
}

void GcsHttp::finish(QNetworkReply* reply, const Call& call)
{
    reply->deleteLater();
    if (reply->property(kDroppedProperty).toBool()) {
        spdlog::warn("<GcsHttp> {}: dropped, the client was stopped", call.name);
        QTimer::singleShot(0, [call] { deliver(call, kNetworkError, nullptr); });
        return;
    }
    if (reply->property(kTimedOutProperty).toBool()) {
        spdlog::warn("<GcsHttp> {}: no answer within {} ms", call.name, m_timeoutMs);
        deliver(call, kTimeout, nullptr);
        return;
    }
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid()) {
        spdlog::warn("<GcsHttp> {}: network error: {}", call.name, reply->errorString().toStdString());
        {
            std::lock_guard lock(m_nfzTimeMutex);
            m_lastNetworkError = reply->errorString();
        }
        deliver(call, kNetworkError, nullptr);
        return;
    }

    const int code = status.toInt();
    if (call.nfzUpdateTime && code == 200) {
        const QString time = QString::fromUtf8(reply->rawHeader(kNfzUpdateTimeHeader)).trimmed();
        if (time.isEmpty())
            spdlog::debug("<GcsHttp> {}: no {} header", call.name, kNfzUpdateTimeHeader);
        std::lock_guard lock(m_nfzTimeMutex);
        m_nfzUpdateTime = time;
    }
    const QByteArray bytes = reply->readAll();
    JsonPtr doc;
    json parsed = json::parse(bytes.constBegin(), bytes.constEnd(), nullptr, false);
    if (parsed.is_discarded()) {
        spdlog::warn("<GcsHttp> {}: HTTP {} with a body that is not JSON ({} bytes)", call.name, code, bytes.size());
    } else if (code == 200 && !hasShape(parsed, call.shape)) {
        spdlog::warn("<GcsHttp> {}: HTTP 200 with JSON of an unexpected shape ({})", call.name, parsed.type_name());
    } else {
        doc = std::make_shared<json>(std::move(parsed));
        if (code != 200)
            spdlog::warn("<GcsHttp> {}: HTTP {}", call.name, code);
        else
            spdlog::debug("<GcsHttp> {}: HTTP 200, {} bytes", call.name, bytes.size());
    }
    deliver(call, code, doc);
}

bool GcsHttp::hasShape(const json& doc, Shape shape)
{
    switch (shape) {
    case Shape::Any: return true;
    case Shape::Array: return doc.is_array();
    case Shape::Object: return doc.is_object();
    case Shape::VehicleCode: return doc.is_object() && isNonEmptyString(doc, "code");
    case Shape::Vehicle: return isVehicle(doc);
    case Shape::VehicleList: {
        const auto items = doc.find("items");
        return doc.is_object() && items != doc.end() && items->is_array() &&
               std::all_of(items->begin(), items->end(), isVehicle);
    }
    case Shape::Session:
        return doc.is_object() && isNonEmptyString(doc, "uid") && isNonEmptyString(doc, "token") &&
               isNonEmptyString(doc, "mqttClientId") && doc.contains("teamCode") && doc["teamCode"].is_string();
    }
    return false;
}

GcsHttp::Callback GcsHttp::carriedToCallingThread(const char* name, Callback cb)
{
    if (!cb)
        return {};
    auto carried = std::make_shared<CarriedAnswer>();
    carried->name = name;
    carried->home = new CallingThreadHome(std::move(cb));
    return [carried](int code, JsonPtr doc) { carried->answer(code, std::move(doc)); };
}

void GcsHttp::deliver(const Call& call, int code, JsonPtr doc)
{
    runCallback(call.name, call.cb, code, std::move(doc));
}
