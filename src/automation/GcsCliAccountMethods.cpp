#include "GcsCliAccountMethods.h"

#include "GcsCliAccountOutcomes.h"
#include "GcsCliOutcomeRecorder.h"
#include "cloud/GcsMqttController.h"
#include "cloud/MyVehicleController.h"
#include "vehicle/VehicleDataItem.h"

#include "GcsLoginManager.h"

#include <QMetaEnum>

#include <spdlog/spdlog.h>

#include <algorithm>
#include <limits>

namespace gcscli {
namespace {

using Op = GcsCliAccountOutcomes::Operation;

struct Account {
    GcsLoginManager* login = nullptr;
    MyVehicleController* vehicles = nullptr;
    GcsMqttController* mqtt = nullptr;
};

struct Text {
    const char* name;
    std::string* out;
    bool mayBeEmpty = false;
};

// Types first, then emptiness, then range, so the first fault a caller sees is the simplest.
Failure readTexts(const Call& call, std::initializer_list<Text> texts, std::optional<int>* localId = nullptr)
{
    if (!call.params)
        return invalid("Missing params object");
    for (const Text& t : texts)
        if (auto f = readString(*call.params, t.name, *t.out))
            return f;
    int64_t id = 0;
    const bool hasId = localId && call.params->contains("vehicleLocalId");
    if (hasId)
        if (auto f = readInt64(*call.params, "vehicleLocalId", id))
            return f;
    for (const Text& t : texts)
        if (!t.mayBeEmpty && t.out->empty())
            return invalid(std::string(t.name) + " must not be empty");
    if (hasId) {
        if (id < std::numeric_limits<int>::min() || id > std::numeric_limits<int>::max())
            return invalid("vehicleLocalId is out of int range");
        *localId = int(id);
    }
    return {};
}

// The code goes into broker topics: wildcards, '/' or control characters are refused up front.
Failure checkVehicleCode(const std::string& code)
{
    const QString fault = GcsMqttController::vehicleCodeFault(QString::fromStdString(code));
    if (fault.isEmpty())
        return {};
    return invalid(fault.toStdString());
}

Failure requireAccount(const Call& call, Account& a)
{
    if (!call.station || !(a.login = call.station->account().get()) ||
        !(a.vehicles = call.station->accountVehicles().get()) || !(a.mqtt = call.station->remoteMonitor().get()))
        return rejected("Account services are not available");
    return {};
}

Failure requireSession(const Call& call, Account& a)
{
    if (auto f = requireAccount(call, a))
        return f;
    if (a.login->loginState() != GcsAccountEnums::LoggedIn)
        return rejected("Not logged in");
    return {};
}

void noteStarted(const Call& call, Op op)
{
    if (call.outcomes)
        call.outcomes->account().noteStarted(op);
    spdlog::info("<cli-router> {} sent", call.method);
}

json accepted(json data = json::object())
{
    data["accepted"] = true;
    return GcsCliResponse::makeSuccess(std::move(data));
}

json accountLogin(const Call& call)
{
    std::string email, password;
    Account a;
    if (auto f = readTexts(call, {{"email", &email}, {"password", &password}}); f || (f = requireAccount(call, a)))
        return refuse(call, *f);
    noteStarted(call, Op::Login);
    const int ret = a.login->passwordLogin(QString::fromStdString(email), QString::fromStdString(password));
    if (ret == GcsAccountEnums::Started)
        return accepted();
    if (call.outcomes)
        call.outcomes->account().noteRefused(Op::Login);
    switch (ret) {
    case GcsAccountEnums::Busy: return refuse(call, *rejected("A login is already in progress"));
    case GcsAccountEnums::AlreadyLoggedIn: return refuse(call, *rejected("Already logged in"));
    default: return refuse(call, *rejected("Account services are not available"));
    }
}

json accountLogout(const Call& call)
{
    Account a;
    if (auto f = requireAccount(call, a))
        return refuse(call, *f);
    const auto state = a.login->loginState();
    if (state != GcsAccountEnums::LoggedIn && state != GcsAccountEnums::LoggingIn)
        return refuse(call, *rejected("Not logged in"));
    // The watch rides on the session's broker client; end it while the session still exists.
    a.vehicles->deactivateRemoteMonitor();
    a.login->logout();
    spdlog::info("<cli-router> account.logout done");
    return accepted();
}

json orNull(const std::optional<qint64>& v)
{
    return v ? json(*v) : json(nullptr);
}

json accountStatus(const Call& call)
{
    Account a;
    if (auto f = requireAccount(call, a); f || (f = requireOutcomes(call)))
        return refuse(call, *f);
    const auto state = a.login->loginState();
    const bool loggedIn = state == GcsAccountEnums::LoggedIn;
    auto session = [loggedIn](const QString& v) { return loggedIn ? v.toStdString() : std::string(); };
    const auto connack = a.mqtt->lastConnackCode();
    const QString watched = a.vehicles->remoteMonitorVehicleCode();
    return GcsCliResponse::makeSuccess({
        {"loginState", QMetaEnum::fromType<GcsAccountEnums::LoginState>().valueToKey(state)},
        {"loggedIn", loggedIn},
        {"uid", session(a.login->uid())},
        {"teamCode", session(a.login->teamCode())},
        {"mqttClientId", session(a.login->mqttClientId())},
        {"mqtt",
         {{"serverUri", a.mqtt->serverUri().toStdString()},
          {"userName", a.mqtt->userName().toStdString()},
          {"state", QMetaEnum::fromType<OstMqttClient::State>().valueToKey(int(a.mqtt->clientState()))},
          {"lastConnackCode", connack ? json(*connack) : json(nullptr)}}},
        {"remoteMonitor",
         {{"active", a.vehicles->isRemoteMonitorActive()},
          {"vehicleCode", watched.isEmpty() ? json(nullptr) : json(watched.toStdString())},
          {"messagesReceived", a.vehicles->remoteMessagesApplied()},
          {"lastMessageAgeMs", orNull(a.vehicles->lastRemoteMessageAgeMs())}}},
        {"operations", call.outcomes->account().status()},
    });
}

json vehiclesRefresh(const Call& call)
{
    Account a;
    if (auto f = requireSession(call, a))
        return refuse(call, *f);
    noteStarted(call, Op::VehiclesRefresh);
    a.vehicles->refreshVehicleList();
    return accepted();
}

json vehiclesList(const Call& call)
{
    Account a;
    if (auto f = requireAccount(call, a))
        return refuse(call, *f);
    json vehicles = json::array();
    for (const auto& v : a.vehicles->vehicleList())
        if (v)
            vehicles.push_back({{"vehicleCode", v->vehicleCode().toStdString()},
                                {"name", v->name().toStdString()},
                                {"vehicleLocalId", v->vehicleLocalId()}});
    const auto count = vehicles.size();
    return GcsCliResponse::makeSuccess({{"vehicles", std::move(vehicles)}, {"count", count}});
}

json vehiclesCaptcha(const Call& call)
{
    std::string email;
    Account a;
    if (auto f = readTexts(call, {{"email", &email}}); f || (f = requireSession(call, a)))
        return refuse(call, *f);
    noteStarted(call, Op::VehicleCaptcha);
    a.vehicles->requestAssociatedVehicleEmailCaptcha(QString::fromStdString(email));
    return accepted();
}

json vehiclesAdd(const Call& call)
{
    AddUserVehicleReq req;
    Account a;
    const std::initializer_list<Text> texts = {
        {"email", &req.email}, {"vehicleCode", &req.vehicleCode}, {"captcha", &req.captcha}, {"name", &req.name, true}};
    if (auto f = readTexts(call, texts, &req.vehicleLocalId);
        f || (f = checkVehicleCode(req.vehicleCode)) || (f = requireSession(call, a)))
        return refuse(call, *f);
    noteStarted(call, Op::VehicleAdd);
    // The controller answers at once, before anything is sent, when the code is not the active vehicle's.
    std::optional<int> immediate;
    const auto c = QObject::connect(a.vehicles, &MyVehicleController::addVehicleResp, a.vehicles, [&](int code) {
        if (!immediate)
            immediate = code;
    });
    a.vehicles->addVehicle(req);
    QObject::disconnect(c);
    if (immediate == MyVehicleController::kNotActiveVehicle)
        return refuse(call, *rejected("The active vehicle does not carry this vehicleCode"));
    if (immediate == MyVehicleController::kNoHttp)
        return refuse(call, *rejected("Account services are not available"));
    return accepted();
}

json vehiclesUpdate(const Call& call)
{
    std::string code, name;
    std::optional<int> localId;
    Account a;
    if (auto f = readTexts(call, {{"vehicleCode", &code}, {"name", &name, true}}, &localId);
        f || (f = checkVehicleCode(code)) || (f = requireSession(call, a)))
        return refuse(call, *f);
    noteStarted(call, Op::VehicleUpdate);
    a.vehicles->updateVehicle(QString::fromStdString(code), QString::fromStdString(name), localId);
    return accepted();
}

json vehiclesRemove(const Call& call)
{
    std::string code;
    Account a;
    if (auto f = readTexts(call, {{"vehicleCode", &code}});
        f || (f = checkVehicleCode(code)) || (f = requireSession(call, a)))
        return refuse(call, *f);
    noteStarted(call, Op::VehicleRemove);
    a.vehicles->removeVehicle(QString::fromStdString(code));
    return accepted();
}

json remoteStart(const Call& call)
{
    std::string code;
    Account a;
    if (auto f = readTexts(call, {{"vehicleCode", &code}});
        f || (f = checkVehicleCode(code)) || (f = requireSession(call, a)))
        return refuse(call, *f);
    const QString qcode = QString::fromStdString(code);
    a.vehicles->activateRemoteMonitor(qcode);
    if (a.vehicles->remoteMonitorVehicleCode() != qcode)
        return refuse(call, *rejected("Remote monitoring could not be started"));
    const auto& list = a.vehicles->vehicleList();
    const bool listed =
        std::any_of(list.begin(), list.end(), [&](const auto& v) { return v && v->vehicleCode() == qcode; });
    spdlog::info("<cli-router> remote.start watching {}", code);
    return accepted({{"vehicleCode", code}, {"inAccountList", listed}});
}

json remoteStop(const Call& call)
{
    Account a;
    if (auto f = requireAccount(call, a))
        return refuse(call, *f);
    if (!a.vehicles->isRemoteMonitorActive())
        return refuse(call, *rejected("Remote monitoring is not active"));
    const std::string code = a.vehicles->remoteMonitorVehicleCode().toStdString();
    a.vehicles->deactivateRemoteMonitor();
    spdlog::info("<cli-router> remote.stop ended the watch of {}", code);
    return accepted({{"vehicleCode", code}});
}

const ParamSpec kCodeParam{"vehicleCode", "string", true, {}, "the vehicle's code"};
const ParamSpec kNameParam{"name", "string", true, {}, "the vehicle's name in the account"};
const ParamSpec kLocalIdParam{"vehicleLocalId", "integer", false, {}, "the vehicle's local id in the account"};

}  // namespace

const std::vector<MethodSpec>& accountMethods()
{
    static const std::vector<MethodSpec> table = {
        {"account.login",
         accountLogin,
         "Logs in to the cloud account; follow with account.status.",
         {{"email", "string", true, {}, "the account's e-mail"}, {"password", "string", true, {}, "its password"}}},
        {"account.logout", accountLogout, "Ends remote monitoring and the account session.", {}},
        {"account.status",
         accountStatus,
         "Login state, broker connection, remote monitoring and account operations.",
         {}},
        {"account.vehicles.refresh",
         vehiclesRefresh,
         "Fetches the account's vehicle list; follow with account.status.",
         {}},
        {"account.vehicles.list", vehiclesList, "The account's vehicles as last refreshed.", {}},
        {"account.vehicles.captcha",
         vehiclesCaptcha,
         "Has the cloud e-mail a captcha for adding a vehicle.",
         {{"email", "string", true, {}, "where the captcha goes"}}},
        {"account.vehicles.add",
         vehiclesAdd,
         "Adds the active vehicle to the account.",
         {kCodeParam,
          kNameParam,
          kLocalIdParam,
          {"email", "string", true, {}, "the e-mail the captcha went to"},
          {"captcha", "string", true, {}, "the latest captcha sent to that e-mail"}}},
        {"account.vehicles.update",
         vehiclesUpdate,
         "Renames a vehicle of the account.",
         {kCodeParam, kNameParam, kLocalIdParam}},
        {"account.vehicles.remove", vehiclesRemove, "Removes a vehicle from the account.", {kCodeParam}},
        {"remote.start",
         remoteStart,
         "Watches a vehicle through the cloud broker instead of a local link.",
         {kCodeParam}},
        {"remote.stop", remoteStop, "Ends remote monitoring.", {}},
    };
    return table;
}

}  // namespace gcscli
