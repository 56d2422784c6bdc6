#pragma once
// Client of the cloud HTTP API, on QNetworkAccessManager.
//
// Every operation is asynchronous and ends in exactly one call of its callback
// `(int httpCode, std::shared_ptr<nlohmann::json> doc)`, made on the thread that called the
// operation (a call from a thread other than the client's is carried over to the client's
// thread, and its answer back to the calling thread's event loop). A callback may be empty.
//
// httpCode:
//   100..599  the server's HTTP status; doc is the reply body parsed as JSON, or null when the
//             body is empty or not JSON (a truncated body is not JSON).
//   0         (kNetworkError) no HTTP answer: connection refused or reset, unknown host, the
//             client is not started, or no base URL (an offline station: no traffic, only a
//             debug line); doc is null.
//   408       (kTimeout) no complete answer within timeoutMs() (default 10 s); doc is null.
// A 200 reply whose JSON does not have the shape listed below for its operation is delivered
// as (200, null), so a caller that checks `code == 200 && doc` may read the shape's members
// with their types. Each failure above writes one warning line.
//
// Endpoints (paths appended to the base URL) and the shape of a 200 reply:
//   fetchAllNoFlyZones   GET  /nfz/zones               array (the zone document, see NfzZoneManager);
//                                                      the header X-Nfz-Update-Time carries the cloud's
//                                                      update time (ISO 8601 UTC), kept by
//                                                      noFlyZonesUpdateTime() after each 200 reply
//   activateVehicleMqtt  POST /vehicle/mqtt/activate   object
//   generateVehicleCode  POST /vehicle/code/generate   object with string "code"
//   reportSoftDevice     POST /device/soft/report      any JSON
//   reportUavEvent       POST /event/uav/report        any JSON
//   getUserVehicleList   GET  /user/vehicles?page=&pageSize=
//                                                      {"items": [vehicle, ...]}
//   addUserVehicle       POST /user/vehicles/add       vehicle
//   deleteUserVehicle    POST /user/vehicles/delete    any JSON
//   updateUserVehicle    POST /user/vehicles/update    vehicle
//   requestEmailCaptcha  POST /account/email/captcha   any JSON
//   emailRegister        POST /account/email/register  session
//   passwordLogin        POST /account/login/password  session
//   tokenLogin           POST /account/login/token     session
//   logout               POST /account/logout          any JSON
// where vehicle = {"vehicleCode": string, "name": string, "vehicleLocalId": integer} and
// session = {"uid", "token", "mqttClientId": non-empty strings, "teamCode": string}.
// POST bodies are JSON objects whose members are named like the record fields (an unset
// optional is left out). The values of the installed GcsAbstractRequestDefaultDataQuery travel
// as the headers X-Gcs-Uid, X-Gcs-Token, X-Gcs-Device-Id, X-Gcs-System-Type, X-Gcs-Team-Code.
//
// Lifecycle: requests are made between start() and stop(). stop() aborts the requests in
// flight and answers each of them kNetworkError on the next event-loop turn; calls made while
// the client is stopped answer the same way. A call still on its way from another thread when
// the client is stopped or destroyed answers kNetworkError too, so every call gets its one
// callback. stop() may be called from any thread: from another one it takes effect on the
// client's thread. start() and the setters belong to the client's thread.

#include "GcsAbstractRequestDefaultDataQuery.h"
#include "GcsHttpReqs.h"

#include <QObject>
#include <QString>

#include <nlohmann/json.hpp>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>

class QNetworkAccessManager;
class QNetworkReply;

class GcsHttp : public QObject {
    Q_OBJECT
public:
    using JsonPtr = std::shared_ptr<nlohmann::json>;
    using Callback = std::function<void(int httpCode, JsonPtr doc)>;

    static constexpr int kNetworkError = 0;
    static constexpr int kTimeout = 408;
    static constexpr int kDefaultTimeoutMs = 10000;

    explicit GcsHttp(const QString& baseUrl, QObject* parent = nullptr);
    ~GcsHttp() override;

    void start();
    void stop();
    bool isStarted() const { return m_nam != nullptr; }

    QString baseUrl() const { return m_baseUrl; }
    // Why the last call that got no HTTP answer got none ("Connection refused"); empty before one.
    QString lastNetworkError() const;
    void setTimeoutMs(int ms);
    int timeoutMs() const { return m_timeoutMs; }
    void setRequestDefaultDataQuery(std::shared_ptr<GcsAbstractRequestDefaultDataQuery> query);

    void fetchAllNoFlyZones(Callback cb);
    // The update time named by the last 200 reply of fetchAllNoFlyZones ("" when it named none,
    // or before any). Set before that reply's callback runs; any thread may read it.
    QString noFlyZonesUpdateTime() const;
    static constexpr const char* kNfzUpdateTimeHeader = "X-Nfz-Update-Time";
    void activateVehicleMqtt(const std::string& vehicleCode, Callback cb);
    void generateVehicleCode(const GenerateVehicleCodeReq& req, Callback cb);
    void reportSoftDevice(const std::string& deviceUniqueId, const std::string& osName, Callback cb = {});
    void reportUavEvent(int eventType, int64_t timeMs, const std::string& content, Callback cb = {});

    void getUserVehicleList(const UserVehicleListReq& req, Callback cb);
    void addUserVehicle(const AddUserVehicleReq& req, Callback cb);
    void deleteUserVehicle(const DeleteUserVehicleReq& req, Callback cb);
    void updateUserVehicle(const UpdateUserVehicleReq& req, Callback cb);

    // purpose: "register" or "associate-vehicle".
    void requestEmailCaptcha(const std::string& email, const std::string& purpose, Callback cb);
    void emailRegister(const EmailRegisterReq& req, Callback cb);
    void passwordLogin(const std::string& email, const std::string& password, Callback cb);
    void tokenLogin(const std::string& token, Callback cb);
    void logout(const std::string& token, Callback cb = {});

private:
    enum class Shape { Any, Array, Object, VehicleCode, VehicleList, Vehicle, Session };
    struct Call {
        const char* name;
        QByteArray verb;
        QString path;  // with its query
        std::optional<nlohmann::json> body;
        Shape shape;
        Callback cb;
        bool nfzUpdateTime = false;  // keep the update-time header of a 200 reply
    };

    void submit(Call call);
    void dropRequests();
    static Callback carriedToCallingThread(const char* name, Callback cb);
    void finish(QNetworkReply* reply, const Call& call);
    static bool hasShape(const nlohmann::json& doc, Shape shape);
    static void deliver(const Call& call, int code, JsonPtr doc);

    QString m_baseUrl;
    int m_timeoutMs = kDefaultTimeoutMs;
    std::shared_ptr<GcsAbstractRequestDefaultDataQuery> m_query;
    std::unique_ptr<QNetworkAccessManager> m_nam;
    mutable std::mutex m_nfzTimeMutex;
    QString m_nfzUpdateTime;
    QString m_lastNetworkError;  // under m_nfzTimeMutex
};
