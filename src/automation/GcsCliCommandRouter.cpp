#include "GcsCliCommandRouter.h"

#include "GcsCliAccountMethods.h"
#include "GcsCliFirmwareMethods.h"
#include "GcsCliMissionMethods.h"
#include "GcsCliNfzMethods.h"
#include "GcsCliOutcomeRecorder.h"
#include "GcsCliParamsTable.h"
#include "GcsCliResponse.h"
#include "GcsCliRouterSupport.h"
#include "GcsCliServiceContext.h"
#include "app/GcsAppController.h"
#include "app/GcsApplication.h"
#include "cloud/FleetPublisher.h"
#include "fleet/FleetReadModel.h"
#include "link/LinkManager.h"
#include "params/MavParamsController.h"
#include "settings/GcsSettings.h"
#include "telemetry/MavAhrsDataItem.h"
#include "telemetry/MavFlightStatusDataItem.h"
#include "telemetry/MavPosDataItem.h"
#include "telemetry/MavTeleDataElement.h"
#include "telemetry/MavTelemetryController.h"
#include "telemetry/VehicleAlertController.h"
#include "vehicle/MultiVehicleManager.h"
#include "vehicle/VehicleController.h"
#include "vehicle/VehicleUtil.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QStringList>
#include <QTimer>

#include <spdlog/spdlog.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace gcscli;

json vehicleIdentity(const VehicleController& v)
{
    return FleetReadModel::identity(v);
}

// ---- methods ----

json systemPing(const Call&)
{
    return GcsCliResponse::makeSuccess({{"pong", true}});
}

// The language is asked of the installed catalogue itself, so the answer is the language the
// texts really come out in: without a translator the sources, which are Chinese.
json systemInfo(const Call&)
{
    const QString language =
        QCoreApplication::translate("GcsCliCommandRouter", "zh_CN", "language of the installed catalogue");
    return GcsCliResponse::makeSuccess({{"language", language.toStdString()},
                                        {"version", QCoreApplication::applicationVersion().toStdString()},
                                        {"protocolVersion", GcsApplication::commProtocolVersion().toStdString()},
                                        {"dataDir", GcsSettings::getInstance()->userDataPath().toStdString()}});
}

json connectionStatus(const Call& call)
{
    if (auto f = requireCtrl(call))
        return refuse(call, *f);
    return GcsCliResponse::makeSuccess(call.ctrl->gcsCliConnectionStatusData());
}

// The fleet broker link of --fleet-broker; {"enabled": false} without one.
json fleetStatus(const Call& call)
{
    if (auto f = requireCtrl(call))
        return refuse(call, *f);
    const auto publisher = call.ctrl->fleetPublisher();
    return GcsCliResponse::makeSuccess(publisher ? publisher->status() : json({{"enabled", false}}));
}

// The MAVLink bridge of --mavlink; {"enabled": false} without one.
json bridgeStatus(const Call& call)
{
    if (auto f = requireCtrl(call))
        return refuse(call, *f);
    const auto status = call.ctrl->bridgeStatus();
    if (!status)
        return GcsCliResponse::makeSuccess({{"enabled", false}});
    json data = status();
    data["enabled"] = true;
    return GcsCliResponse::makeSuccess(std::move(data));
}

constexpr int kConnectWaitMs = 2000;

json connectionConnect(const Call& call)
{
    if (auto f = requireCtrl(call))
        return refuse(call, *f);
    if (!call.params)
        return refuse(call, *invalid("Missing params object for connection.connect"));
    // The open answers asynchronously; a short nested wait lets the caller see a failed open
    // (a mistyped serial port) in this answer instead of in a later status call.
    std::optional<bool> opened;
    QString openError;
    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    const auto respConnection =
        QObject::connect(call.ctrl, &GcsAppController::linkConnectResp, &loop,
                         [&](std::shared_ptr<LinkManager>, bool ok, OstLinkAbstractConfig::LinkType) {
                             if (!opened) {
                                 opened = ok;
                                 openError = call.ctrl->lastLinkOpenError();
                             }
                             loop.quit();
                         });
    const QString error = call.ctrl->connectToLinkFromCliParams(*call.params);
    if (!error.isEmpty()) {
        QObject::disconnect(respConnection);
        return refuse(call, *invalid(error.toStdString()));
    }
    if (!opened) {
        deadline.start(kConnectWaitMs);
        loop.exec();
    }
    QObject::disconnect(respConnection);
    json data = {{"accepted", true}};
    if (auto it = call.params->find("type"); it != call.params->end() && it->is_string())
        data["type"] = *it;
    data["linkOpen"] = opened.value_or(false);
    data["error"] = opened ? openError.toStdString() : std::string("The link did not answer within 2 s");
    spdlog::info("<cli-router> connection.connect type {}: {}", data.value("type", std::string()),
                 opened.value_or(false) ? std::string("open") : data["error"].get<std::string>());
    return GcsCliResponse::makeSuccess(std::move(data));
}

json connectionDisconnect(const Call& call)
{
    if (auto f = requireCtrl(call))
        return refuse(call, *f);
    spdlog::info("<cli-router> connection.disconnect");
    call.ctrl->disconnectFromActiveLinkMgr();
    return GcsCliResponse::makeSuccess({{"accepted", true}});
}

json vehicleResolveTarget(const Call& call)
{
    VehicleControllerPtr vehicle;
    if (auto f = resolveTarget(call, vehicle))
        return refuse(call, *f);
    return GcsCliResponse::makeSuccess(vehicleIdentity(*vehicle));
}

json vehicleList(const Call& call)
{
    if (auto f = requireMultiVehicleMgr(call))
        return refuse(call, *f);
    json vehicles = json::array();
    for (const auto& v : call.ctrl->multiVehicleMgr()->vehicleList())
        vehicles.push_back(FleetReadModel::listEntry(*v));
    const auto count = vehicles.size();
    return GcsCliResponse::makeSuccess(
        {{"vehicles", std::move(vehicles)}, {"count", count}, {"linkConnected", call.ctrl->isConnected()}});
}

json telemetrySnapshot(const Call& call)
{
    VehicleControllerPtr vehicle;
    if (auto f = resolveTarget(call, vehicle))
        return refuse(call, *f);
    json data = FleetReadModel::telemetrySnapshot(*vehicle);
    data["linkConnected"] = call.ctrl->isConnected();
    return GcsCliResponse::makeSuccess(std::move(data));
}

json alertsActive(const Call& call)
{
    VehicleControllerPtr vehicle;
    if (auto f = resolveTarget(call, vehicle))
        return refuse(call, *f);
    json list = FleetReadModel::alertRecords(*vehicle);
    json data = vehicleIdentity(*vehicle);
    data["count"] = list.size();
    data["alerts"] = std::move(list);
    return GcsCliResponse::makeSuccess(std::move(data));
}

json vehicleLinkStats(const Call& call)
{
    VehicleControllerPtr vehicle;
    if (auto f = resolveTarget(call, vehicle))
        return refuse(call, *f);
    json data = vehicleIdentity(*vehicle);
    data["linkStats"] = FleetReadModel::linkStats(*vehicle);
    return GcsCliResponse::makeSuccess(std::move(data));
}

struct ParamsGroup {
    const char* name;
    void (MavParamsController::*read)();
    void (MavParamsController::*write)();
};

constexpr ParamsGroup kParamsGroups[] = {
    {"basic", &MavParamsController::readBasicParams, &MavParamsController::writeBasicParams},
    {"stab", &MavParamsController::readStabCtrlParams, &MavParamsController::writeStabCtrlParams},
    {"pos", &MavParamsController::readPosCtrlParams, &MavParamsController::writePosCtrlParams},
    {"res", &MavParamsController::readResParams, &MavParamsController::writeResParams},
    {"fixedStab", &MavParamsController::readFixedStabCtrlParams, &MavParamsController::writeFixedStabCtrlParams},
    {"fixedPos", &MavParamsController::readFixedPosCtrlParams, &MavParamsController::writeFixedPosCtrlParams},
};

// The group named in params, its vehicle and that vehicle's parameters controller.
struct ParamsTarget {
    const ParamsGroup* group = nullptr;
    std::string groupName;
    VehicleControllerPtr vehicle;
    std::shared_ptr<MavParamsController> params;
};

Failure readParamsGroup(const Call& call, ParamsTarget& target)
{
    if (!call.params)
        return invalid("Missing params object");
    if (auto f = readString(*call.params, "group", target.groupName))
        return f;
    const auto group = std::find_if(std::begin(kParamsGroups), std::end(kParamsGroups),
                                    [&](const ParamsGroup& g) { return target.groupName == g.name; });
    if (group == std::end(kParamsGroups))
        return invalid("Unsupported params.group");
    target.group = group;
    return {};
}

Failure resolveParamsTarget(const Call& call, ParamsTarget& target)
{
    if (auto f = resolveTarget(call, target.vehicle))
        return f;
    target.params = VehicleUtil::getParamsCtrler(target.vehicle);
    if (!target.params)
        return rejected("Params controller is not available");
    return {};
}

// A write sends the whole group: values never read from this vehicle would overwrite its own.
Failure checkWritable(const Call& call, const ParamsTarget& target)
{
    if (auto f = requireOutcomes(call))
        return f;
    if (!call.outcomes->paramsReadState(target.vehicle.get(), target.groupName).readSinceAlive)
        return rejected("Parameter group not read from the vehicle yet; read it first");
    if (target.params->batchReadingParams() || call.outcomes->paramsBusy(target.vehicle.get()))
        return rejected("A parameter operation is in progress");
    return {};
}

// Sends the read or write and answers with the request id its outcome is followed under.
json sendParamsOperation(const Call& call, const ParamsTarget& target, bool write, const char* action)
{
    if (auto f = refuseWhileUpdatingFirmware(*target.vehicle))
        return refuse(call, *f);
    const int64_t requestId = nextRequestId();
    if (call.outcomes)
        call.outcomes->trackParams(requestId, action, target.vehicle, target.groupName, write);
    const char* operation = write ? "write" : "read";
    spdlog::info("<cli-router> params {} of group {} for vehicle {}, requestId {}", operation, target.groupName,
                 target.vehicle->vehicleId(), requestId);
    ((*target.params).*(write ? target.group->write : target.group->read))();
    return GcsCliResponse::makeSuccess(
        {{"accepted", true}, {"operation", operation}, {"group", target.groupName}, {"requestId", requestId}});
}

json paramsRead(const Call& call)
{
    ParamsTarget target;
    if (auto f = readParamsGroup(call, target); f || (f = resolveParamsTarget(call, target)))
        return refuse(call, *f);
    return sendParamsOperation(call, target, false, "params.read");
}

json paramsWrite(const Call& call)
{
    ParamsTarget target;
    if (auto f = readParamsGroup(call, target);
        f || (f = resolveParamsTarget(call, target)) || (f = checkWritable(call, target)))
        return refuse(call, *f);
    return sendParamsOperation(call, target, true, "params.write");
}

json paramsGet(const Call& call)
{
    ParamsTarget target;
    if (auto f = readParamsGroup(call, target); f || (f = resolveParamsTarget(call, target)))
        return refuse(call, *f);
    json lastRead = nullptr;
    bool readSinceAlive = false;
    if (call.outcomes) {
        const auto state = call.outcomes->paramsReadState(target.vehicle.get(), target.groupName);
        readSinceAlive = state.readSinceAlive;
        if (state.lastCode)
            lastRead = {{"ok", *state.lastCode == GcsRet::Success}, {"code", *state.lastCode}};
    }
    return GcsCliResponse::makeSuccess({{"vehicleId", target.vehicle->vehicleId()},
                                        {"group", target.groupName},
                                        {"readSinceAlive", readSinceAlive},
                                        {"lastRead", std::move(lastRead)},
                                        {"values", GcsCliParamsTable::values(*target.params, target.groupName)},
                                        {"units", GcsCliParamsTable::units(target.groupName)}});
}

json paramsSet(const Call& call)
{
    ParamsTarget target;
    if (auto f = readParamsGroup(call, target))
        return refuse(call, *f);
    const auto values = call.params->find("values");
    if (values == call.params->end())
        return refuse(call, *invalid("Missing required field: values"));
    // Checked before the vehicle so that a typo is reported as such, whichever vehicle is meant.
    if (auto refusal = GcsCliParamsTable::apply(nullptr, target.groupName, *values); !refusal.empty())
        return refuse(call, *invalid(refusal));
    if (auto f = resolveParamsTarget(call, target); f || (f = checkWritable(call, target)))
        return refuse(call, *f);
    GcsCliParamsTable::apply(target.params.get(), target.groupName, *values);
    json answer = sendParamsOperation(call, target, true, "params.set");
    answer["data"].erase("operation");
    return answer;
}

// The take-off fields: alt fits the 16-bit altitude, vel the 8-bit climb speed.
Failure readTakeoff(const json& params, quint16& alt, quint8& vel)
{
    int64_t v = 0;
    if (auto f = readInt64(params, "alt", v))
        return f;
    if (v < 0 || v > 65535)
        return invalid("alt must be a uint16 range integer");
    alt = quint16(v);
    if (auto f = readInt64(params, "vel", v))
        return f;
    if (v < 0 || v > 255)
        return invalid("vel must be in 0..255");
    vel = quint8(v);
    return {};
}

// The return-home fields; alt travels as an int16 in decimetres.
Failure readReturnHome(const json& params, double& lat, double& lon, double& alt)
{
    if (auto f = readNumber(params, "lat", lat))
        return f;
    if (auto f = readNumber(params, "lon", lon))
        return f;
    if (auto f = readNumber(params, "alt", alt))
        return f;
    if (!std::isfinite(lat) || !std::isfinite(lon) || !std::isfinite(alt))
        return invalid("lat, lon, alt must be finite numbers (NaN and Inf are not allowed)");
    if (lat < -90.0 || lat > 90.0)
        return invalid("lat must be in [-90, 90] degrees");
    if (lon < -180.0 || lon > 180.0)
        return invalid("lon must be in [-180, 180] degrees");
    if (alt < -3276.8 || alt > 3276.7)
        return invalid(
            "alt must fit int16 scaled by 10 in MAV return-home payload (approximately -3276.8 to 3276.7 meters)");
    return {};
}

// Take-off into a known critical condition needs the operator's explicit "force".
Failure checkCriticalAlerts(const VehicleController& vehicle)
{
    const auto alerts = vehicle.alertCtrler();
    if (!alerts)
        return {};
    QStringList keys;
    for (const auto& a : alerts->activeAlerts())
        if (a.level == VehicleAlertLevel::Critical)
            keys << a.key;
    if (keys.isEmpty())
        return {};
    keys.sort();
    return rejected("Critical alert active on vehicle " + std::to_string(vehicle.vehicleId()) + ": " +
                    keys.join(", ").toStdString() + "; add \"force\": true to override");
}

json controlCommand(const Call& call)
{
    if (!call.params)
        return refuse(call, *invalid("Missing params object"));
    const json& params = *call.params;
    std::string action;
    if (auto f = readString(params, "action", action))
        return refuse(call, *f);
    bool force = false;
    if (auto f = readBool(params, "force", force))
        return refuse(call, *f);
    VehicleControllerPtr vehicle;
    if (auto f = resolveTarget(call, vehicle))
        return refuse(call, *f);
    if (!vehicle->isLocal())
        return refuse(call, *rejected("control.command requires a locally controllable vehicle; Remote monitoring "
                                      "targets are not supported"));
    if (!call.ctrl->isConnected())
        return refuse(call, *rejected("GCS link is not connected; control commands are blocked"));
    if (!vehicle->alive())
        return refuse(call, *rejected("Target vehicle is not alive; control commands are blocked"));
    if (auto f = refuseWhileUpdatingFirmware(*vehicle))
        return refuse(call, *f);

    std::function<void()> send;
    if (action == "takeoff") {
        quint16 alt = 0;
        quint8 vel = 0;
        if (auto f = readTakeoff(params, alt, vel))
            return refuse(call, *f);
        if (!force) {
            if (auto f = checkCriticalAlerts(*vehicle))
                return refuse(call, *f);
        }
        send = [vehicle, alt, vel] { vehicle->takeoff(alt, vel); };
    } else if (action == "returnHome") {
        double lat = 0, lon = 0, alt = 0;
        if (auto f = readReturnHome(params, lat, lon, alt))
            return refuse(call, *f);
        send = [vehicle, lat, lon, alt] { vehicle->returnHome(lat, lon, float(alt)); };
    } else if (action == "suspend") {
        send = [vehicle] { vehicle->suspend(); };
    } else if (action == "resume") {
        send = [vehicle] { vehicle->resume(); };
    } else if (action == "land") {
        send = [vehicle] { vehicle->land(); };
    } else {
        return refuse(call, *rejected("Unsupported params.action"));
    }
    const int64_t requestId = nextRequestId();
    // Followed before the send: a command the vehicle cannot take is answered at once.
    if (call.outcomes)
        call.outcomes->trackCommand(requestId, action, {vehicle});
    send();
    spdlog::info("<cli-router> control.command {} sent to vehicle {}{}, requestId {}", action, vehicle->vehicleId(),
                 force ? " (forced)" : "", requestId);
    return GcsCliResponse::makeSuccess({{"accepted", true},
                                        {"requestId", requestId},
                                        {"action", action},
                                        {"vehicleIds", json::array({vehicle->vehicleId()})}});
}

json commandStatus(const Call& call)
{
    if (!call.params)
        return refuse(call, *invalid("Missing params object"));
    int64_t requestId = 0;
    if (auto f = readInt64(*call.params, "requestId", requestId))
        return refuse(call, *f);
    if (auto f = requireOutcomes(call))
        return refuse(call, *f);
    auto status = call.outcomes->commandStatus(requestId);
    if (!status)
        return refuse(call, *invalid("Unknown requestId"));
    return GcsCliResponse::makeSuccess(std::move(*status));
}

constexpr int64_t kDefaultTailLines = 100;

json consoleTail(const Call& call)
{
    std::optional<int64_t> since;
    int64_t limit = kDefaultTailLines;
    if (call.params) {
        int64_t v = 0;
        if (call.params->contains("since")) {
            if (auto f = readInt64(*call.params, "since", v))
                return refuse(call, *f);
            if (v < 0)
                return refuse(call, *invalid("since must not be negative"));
            since = v;
        }
        if (call.params->contains("limit")) {
            if (auto f = readInt64(*call.params, "limit", limit))
                return refuse(call, *f);
            if (limit < 1 || limit > int64_t(GcsCliOutcomeRecorder::kMaxConsoleLines))
                return refuse(
                    call, *invalid("limit must be in 1.." + std::to_string(GcsCliOutcomeRecorder::kMaxConsoleLines)));
        }
    }
    if (auto f = requireOutcomes(call))
        return refuse(call, *f);
    return GcsCliResponse::makeSuccess(call.outcomes->consoleTail(since, size_t(limit)));
}

json vehicleSetActive(const Call& call)
{
    VehicleControllerPtr vehicle;
    if (auto f = resolveTarget(call, vehicle);
        f || (f = refuseDuringTransfer(call)) || (f = refuseDuringNfzTransfer(call)))
        return refuse(call, *f);
    call.ctrl->multiVehicleMgr()->setActiveVevhile(vehicle);
    spdlog::info("<cli-router> active vehicle set to {}", vehicle->vehicleId());
    return GcsCliResponse::makeSuccess(
        {{"activeVehicleId", vehicle->vehicleId()}, {"activeVehicleCode", vehicle->vehicleCode().toStdString()}});
}

// ---- the method table ----

std::vector<std::string> paramsGroupNames()
{
    std::vector<std::string> names;
    for (const auto& g : kParamsGroups)
        names.emplace_back(g.name);
    return names;
}

json systemMethods(const Call& call);

const std::vector<MethodSpec>& methodTable()
{
    static const std::vector<MethodSpec> base = {
        {"system.ping", systemPing, "Checks that the station answers.", {}},
        {"system.methods", systemMethods, "Lists every method with its parameters.", {}},
        {"system.info", systemInfo, "Station language, version, wire protocol version and data directory.", {}},
        {"connection.status", connectionStatus, "Connection mode, link state and active vehicle.", {}},
        {"connection.connect",
         connectionConnect,
         "Starts connecting the vehicle link (serial or UDP).",
         {{"type", "string", true, {"serial", "udp"}, "link type"},
          {"port", "string", false, {}, "serial: device path"},
          {"baudrate", "integer", false, {}, "serial: baud rate"},
          {"sendPort", "integer", false, {}, "udp: local port to listen on"},
          {"recvPort", "integer", false, {}, "udp: the vehicles' port"},
          {"broadcastAddr", "string", false, {}, "udp: address to send to"}}},
        {"connection.disconnect", connectionDisconnect, "Closes the active link.", {}},
        {"bridge.status",
         bridgeStatus,
         "The MAVLink bridge: links, ground stations heard, messages in and out, dropped, command results.",
         {}},
        {"fleet.status", fleetStatus, "The fleet broker link: state, messages published, dropped and deferred.", {}},
        {"vehicle.resolveTarget",
         vehicleResolveTarget,
         "Which vehicle a selector names.",
         {kVehicleIdParam, kVehicleCodeParam}},
        {"vehicle.list", vehicleList, "Every known vehicle with its link ages.", {}},
        {"vehicle.setActive",
         vehicleSetActive,
         "Makes a vehicle the default target.",
         {kVehicleIdParam, kVehicleCodeParam}},
        {"telemetry.snapshot",
         telemetrySnapshot,
         "Latest attitude, position and flight status of a vehicle.",
         {kVehicleIdParam, kVehicleCodeParam}},
        {"alerts.active", alertsActive, "Active alerts of a vehicle.", {kVehicleIdParam, kVehicleCodeParam}},
        {"vehicle.linkStats",
         vehicleLinkStats,
         "Telemetry and acknowledgement loss of a vehicle.",
         {kVehicleIdParam, kVehicleCodeParam}},
        {"params.read",
         paramsRead,
         "Reads a parameter group from a vehicle.",
         {{"group", "string", true, paramsGroupNames(), "parameter group"}, kVehicleIdParam, kVehicleCodeParam}},
        {"params.write",
         paramsWrite,
         "Writes a parameter group, as last read, back to a vehicle.",
         {{"group", "string", true, paramsGroupNames(), "parameter group"}, kVehicleIdParam, kVehicleCodeParam}},
        {"params.get",
         paramsGet,
         "A parameter group's values as last read, in natural units.",
         {{"group", "string", true, paramsGroupNames(), "parameter group"}, kVehicleIdParam, kVehicleCodeParam}},
        {"params.set",
         paramsSet,
         "Changes the named parameters of a read group and writes the group.",
         {{"group", "string", true, paramsGroupNames(), "parameter group"},
          {"values", "object", true, {}, "field name -> number, e.g. {\"rollP\": 4.5}"},
          kVehicleIdParam,
          kVehicleCodeParam}},
        {"control.command",
         controlCommand,
         "Sends a flight command; follow it with command.status.",
         {{"action", "string", true, {"takeoff", "returnHome", "suspend", "resume", "land"}, "the command"},
          {"alt", "number", false, {}, "takeoff: altitude in m (integer 0..65535); returnHome: altitude in m"},
          {"vel", "integer", false, {}, "takeoff: climb speed 0..255"},
          {"lat", "number", false, {}, "returnHome: latitude in degrees"},
          {"lon", "number", false, {}, "returnHome: longitude in degrees"},
          {"force", "boolean", false, {}, "takeoff: send despite an active critical alert"},
          kVehicleIdParam,
          kVehicleCodeParam}},
        {"command.status",
         commandStatus,
         "Outcome of a control command: pending, done or timedOut.",
         {{"requestId", "integer", true, {}, "the id control.command answered"}}},
        {"console.tail",
         consoleTail,
         "Operator console lines, oldest first.",
         {{"since", "integer", false, {}, "first sequence number wanted (default: the last lines)"},
          {"limit", "integer", false, {}, "most lines to return, 1..1000 (default 100)"}}},
    };
    static const std::vector<MethodSpec> table = [] {
        auto all = base;
        all.insert(all.end(), missionMethods().begin(), missionMethods().end());
        all.insert(all.end(), nfzMethods().begin(), nfzMethods().end());
        all.insert(all.end(), firmwareMethods().begin(), firmwareMethods().end());
        all.insert(all.end(), accountMethods().begin(), accountMethods().end());
        return all;
    }();
    return table;
}

json systemMethods(const Call&)
{
    json methods = json::array();
    for (const auto& m : methodTable()) {
        json params = json::array();
        for (const auto& p : m.params) {
            json entry = {{"name", p.name}, {"type", p.type}, {"required", p.required}, {"description", p.description}};
            if (!p.allowed.empty())
                entry["allowed"] = p.allowed;
            params.push_back(std::move(entry));
        }
        methods.push_back({{"name", m.name}, {"description", m.description}, {"params", std::move(params)}});
    }
    const auto count = methods.size();
    return GcsCliResponse::makeSuccess({{"methods", std::move(methods)}, {"count", count}});
}

// A misspelled key would otherwise be ignored silently (a wrong selector targets the active vehicle).
Failure refuseUnknownFields(const MethodSpec& method, const json* params)
{
    if (!params)
        return {};
    for (const auto& item : params->items()) {
        const std::string& key = item.key();
        const bool known =
            std::any_of(method.params.begin(), method.params.end(), [&](const ParamSpec& p) { return key == p.name; });
        if (!known)
            return invalid("Unknown field: " + key);
    }
    return {};
}

}  // namespace

nlohmann::json GcsCliCommandRouter::dispatch(const GcsCliServiceContext& context, const nlohmann::json& request)
{
    static const std::string noMethod;
    if (!request.is_object())
        return refuse(noMethod, *invalid("JSON root must be an object"));
    std::string method;
    if (auto f = readString(request, "method", method))
        return refuse(noMethod, *f);
    if (auto it = request.find("apiVersion"); it != request.end()) {
        if (!it->is_string())
            return refuse(method, *invalid("apiVersion must be a string"));
        if (it->get<std::string>() != "1")
            return refuse(method, Refusal{ErrorCode::VersionMismatch, "API version mismatch"});
    }
    const json* params = nullptr;
    if (auto it = request.find("params"); it != request.end()) {
        if (!it->is_object())
            return refuse(method, *invalid("params must be a JSON object"));
        params = &*it;
    }
    const auto& table = methodTable();
    const auto entry = std::find_if(table.begin(), table.end(), [&](const MethodSpec& m) { return method == m.name; });
    if (entry == table.end())
        return refuse(method, *rejected("Unknown method"));
    if (auto f = refuseUnknownFields(*entry, params))
        return refuse(method, *f);

    if (context.outcomes)
        context.outcomes->attach();
    const Call call{method, context.app ? context.app->appCtrler() : nullptr, params, context.outcomes};
    spdlog::debug("<cli-router> {}", method);
    try {
        return entry->run(call);
    } catch (const nlohmann::json::exception&) {
        throw;  // the endpoint answers these as invalid JSON
    } catch (const std::exception& e) {
        spdlog::error("<cli-router> {} failed: {}", method, e.what());
        return GcsCliResponse::makeError(ErrorCode::CommandRejected, "Internal error");
    }
}
