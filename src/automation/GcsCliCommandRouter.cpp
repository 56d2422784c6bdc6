#include "GcsCliCommandRouter.h"

#include "GcsCliAccountMethods.h"
#include "GcsCliFirmwareMethods.h"
#include "GcsCliMissionMethods.h"
#include "GcsCliNfzMethods.h"
#include "GcsCliOutcomeRecorder.h"
#include "GcsCliResponse.h"
#include "GcsCliRouterSupport.h"
#include "GcsCliServiceContext.h"
#include "cloud/FleetPublisher.h"
#include "fleet/FleetReadModel.h"
#include "services/CommandService.h"
#include "services/OutcomeRecorder.h"
#include "services/ParamService.h"
#include "services/VehicleDirectory.h"
#include "services/VehicleServices.h"
#include "settings/GcsSettings.h"
#include "vehicle/MultiVehicleManager.h"
#include "vehicle/VehicleController.h"
#include "vehicle/VehicleUtil.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QEventLoop>
#include <QTimer>

#include <spdlog/spdlog.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
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
json systemInfo(const Call& call)
{
    const QString language =
        QCoreApplication::translate("GcsCliCommandRouter", "zh_CN", "language of the installed catalogue");
    return GcsCliResponse::makeSuccess(
        {{"language", language.toStdString()},
         {"version", QCoreApplication::applicationVersion().toStdString()},
         {"protocolVersion", call.station ? json(call.station->protocolVersion().toStdString()) : json(nullptr)},
         {"dataDir", GcsSettings::getInstance()->userDataPath().toStdString()}});
}

json connectionStatus(const Call& call)
{
    if (auto f = requireStation(call))
        return refuse(call, *f);
    return GcsCliResponse::makeSuccess(connectionJson(call.station->connectionState()));
}

// The fleet broker link of --fleet-broker; {"enabled": false} without one.
json fleetStatus(const Call& call)
{
    if (auto f = requireStation(call))
        return refuse(call, *f);
    const auto publisher = call.station->fleetPublisher();
    return GcsCliResponse::makeSuccess(publisher ? publisher->status() : json({{"enabled", false}}));
}

// The MAVLink bridge of --mavlink; {"enabled": false} without one.
json bridgeStatus(const Call& call)
{
    if (auto f = requireStation(call))
        return refuse(call, *f);
    const auto status = call.station->bridgeStatus();
    if (!status)
        return GcsCliResponse::makeSuccess({{"enabled", false}});
    json data = status();
    data["enabled"] = true;
    return GcsCliResponse::makeSuccess(std::move(data));
}

constexpr int kConnectWaitMs = 2000;

json connectionConnect(const Call& call)
{
    if (auto f = requireStation(call))
        return refuse(call, *f);
    if (!call.params)
        return refuse(call, *invalid("Missing params object for connection.connect"));
    svc::LinkRequest request;
    if (auto f = readLinkRequest(*call.params, request))
        return refuse(call, *f);
    // The open answers asynchronously; a short nested wait lets the caller see a failed open
    // (a mistyped serial port) in this answer instead of in a later status call.
    std::optional<bool> opened;
    QString openError;
    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    const auto respConnection = call.station->onLinkOpened(&loop, [&](bool ok, QString why) {
        if (!opened) {
            opened = ok;
            openError = why;
        }
        loop.quit();
    });
    const QString error = call.station->connectLink(request);
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
    data["type"] = call.params->at("type");
    data["linkOpen"] = opened.value_or(false);
    data["error"] = opened ? openError.toStdString() : std::string("The link did not answer within 2 s");
    spdlog::info("<cli-router> connection.connect type {}: {}", data.value("type", std::string()),
                 opened.value_or(false) ? std::string("open") : data["error"].get<std::string>());
    // A link that did not open is a failed request (the CLI exits non-zero), with its reason.
    if (!opened.value_or(false)) {
        const std::string why = data["error"];
        return GcsCliResponse::makeError(opened ? ErrorCode::CommandRejected : ErrorCode::Timeout, why,
                                         GcsCliResponse::ErrorDomain::Business, std::move(data));
    }
    return GcsCliResponse::makeSuccess(std::move(data));
}

json connectionDisconnect(const Call& call)
{
    if (auto f = requireStation(call))
        return refuse(call, *f);
    spdlog::info("<cli-router> connection.disconnect");
    call.station->disconnectLink();
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
    if (auto f = requireStation(call))
        return refuse(call, *f);
    json vehicles = json::array();
    for (const auto& v : services(call).directory().all())
        vehicles.push_back(FleetReadModel::listEntry(*v));
    const auto count = vehicles.size();
    return GcsCliResponse::makeSuccess({{"vehicles", std::move(vehicles)},
                                        {"count", count},
                                        {"linkConnected", services(call).directory().linkConnected()}});
}

json telemetrySnapshot(const Call& call)
{
    VehicleControllerPtr vehicle;
    if (auto f = resolveTarget(call, vehicle))
        return refuse(call, *f);
    json data = FleetReadModel::telemetrySnapshot(*vehicle);
    data["linkConnected"] = services(call).directory().linkConnected();
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

Failure readParamsGroup(const Call& call, std::string& group)
{
    if (!call.params)
        return invalid("Missing params object");
    if (auto f = readString(*call.params, "group", group))
        return f;
    return failed(svc::ParamService::checkGroup(group));
}

json paramsTicket(const svc::ParamTicket& t, bool withOperation)
{
    json data = {{"accepted", true}, {"group", t.group}, {"requestId", t.requestId}};
    if (withOperation)
        data["operation"] = t.write ? "write" : "read";
    return GcsCliResponse::makeSuccess(std::move(data));
}

json paramsRead(const Call& call)
{
    std::string group;
    VehicleControllerPtr vehicle;
    if (auto f = readParamsGroup(call, group); f || (f = resolveTarget(call, vehicle)))
        return refuse(call, *f);
    const auto t = services(call).params().read(vehicle, group);
    return t.ok() ? paramsTicket(t.value, true) : refuse(call, t.status);
}

json paramsWrite(const Call& call)
{
    std::string group;
    VehicleControllerPtr vehicle;
    if (auto f = readParamsGroup(call, group); f || (f = resolveTarget(call, vehicle)))
        return refuse(call, *f);
    const auto t = services(call).params().write(vehicle, group);
    return t.ok() ? paramsTicket(t.value, true) : refuse(call, t.status);
}

// A parameter's value as the CLI shows it: whole numbers as integers.
json paramValue(const ParamTable::Field& f)
{
    return f.step >= 1 ? json(int64_t(std::llround(f.value))) : json(f.value);
}

json paramsGet(const Call& call)
{
    std::string group;
    VehicleControllerPtr vehicle;
    if (auto f = readParamsGroup(call, group); f || (f = resolveTarget(call, vehicle)))
        return refuse(call, *f);
    const auto v = services(call).params().values(vehicle, group);
    if (!v.ok())
        return refuse(call, v.status);
    json values = json::object();
    json units = json::object();
    for (const auto& f : v.value.fields) {
        values[f.name] = paramValue(f);
        units[f.name] = f.unit;
    }
    if (v.value.firmwareVersion) {
        values["version"] = *v.value.firmwareVersion;
        units["version"] = "";
    }
    json lastRead = nullptr;
    if (v.value.lastReadCode)
        lastRead = {{"ok", *v.value.lastReadCode == GcsRet::Success}, {"code", *v.value.lastReadCode}};
    return GcsCliResponse::makeSuccess({{"vehicleId", v.value.vehicleId},
                                        {"group", group},
                                        {"readSinceAlive", v.value.readSinceAlive},
                                        {"lastRead", std::move(lastRead)},
                                        {"values", std::move(values)},
                                        {"units", std::move(units)}});
}

json paramsSet(const Call& call)
{
    std::string group;
    if (auto f = readParamsGroup(call, group))
        return refuse(call, *f);
    const auto values = call.params->find("values");
    if (values == call.params->end())
        return refuse(call, *invalid("Missing required field: values"));
    if (!values->is_object() || values->empty())
        return refuse(call, *invalid("values must be a non-empty object"));
    ParamTable::Values typed;
    for (const auto& item : values->items()) {
        if (item.key() != "version" && !item.value().is_number())
            return refuse(call, *invalid("Parameter " + item.key() + " must be a number"));
        typed.emplace_back(item.key(), item.value().is_number() ? item.value().get<double>() : 0.0);
    }
    // Checked before the vehicle so that a typo is reported as such, whichever vehicle is meant.
    if (auto s = svc::ParamService::checkValues(group, typed))
        return refuse(call, s);
    VehicleControllerPtr vehicle;
    if (auto f = resolveTarget(call, vehicle))
        return refuse(call, *f);
    const auto t = services(call).params().set(vehicle, group, typed);
    return t.ok() ? paramsTicket(t.value, false) : refuse(call, t.status);
}

// The flight command's fields: alt fits the 16-bit altitude, vel the 8-bit climb speed; the
// return-home fields are checked for range by the service.
Failure readFlightCommand(const json& params, const std::string& action, svc::FlightCommand& c)
{
    const auto known = svc::actionByName(action);
    if (!known)
        return invalid("Unsupported params.action");
    c.action = *known;
    if (c.action == svc::FlightAction::Takeoff) {
        int64_t v = 0;
        if (auto f = readInt64(params, "alt", v))
            return f;
        if (v < 0 || v > 65535)
            return invalid("alt must be a uint16 range integer");
        c.takeoffAltM = uint16_t(v);
        if (auto f = readInt64(params, "vel", v))
            return f;
        if (v < 0 || v > 255)
            return invalid("vel must be in 0..255");
        c.climbSpeedMps = uint8_t(v);
    } else if (c.action == svc::FlightAction::ReturnHome) {
        if (auto f = readNumber(params, "lat", c.lat); f || (f = readNumber(params, "lon", c.lon)) ||
                                                       (f = readNumber(params, "alt", c.altM)))
            return f;
    }
    return failed(svc::CommandService::checkValues(c));
}

json controlCommand(const Call& call)
{
    if (!call.params)
        return refuse(call, *invalid("Missing params object"));
    const json& params = *call.params;
    std::string action;
    if (auto f = readString(params, "action", action))
        return refuse(call, *f);
    svc::FlightCommand command;
    if (auto f = readBool(params, "force", command.force))
        return refuse(call, *f);
    VehicleControllerPtr vehicle;
    if (auto f = resolveTarget(call, vehicle))
        return refuse(call, *f);
    // The vehicle first: a command to a vehicle that cannot take any is refused as such.
    if (auto s = services(call).commands().commandable(*vehicle, "control commands"))
        return refuse(call, s);
    if (auto f = readFlightCommand(params, action, command))
        return refuse(call, *f);
    const auto t = services(call).commands().send(vehicle, command);
    if (!t.ok())
        return refuse(call, t.status);
    return GcsCliResponse::makeSuccess({{"accepted", true},
                                        {"requestId", t.value.requestId},
                                        {"action", action},
                                        {"vehicleIds", json::array({t.value.vehicleId})}});
}

json commandStatus(const Call& call)
{
    if (!call.params)
        return refuse(call, *invalid("Missing params object"));
    int64_t requestId = 0;
    if (auto f = readInt64(*call.params, "requestId", requestId))
        return refuse(call, *f);
    if (auto f = requireStation(call))
        return refuse(call, *f);
    const auto outcome = services(call).commands().outcome(requestId);
    if (!outcome)
        return refuse(call, *invalid("Unknown requestId"));
    json results = json::array();
    for (const auto& r : outcome->results)
        results.push_back({{"vehicleId", r.vehicleId}, {"code", r.code}, {"text", r.text}});
    return GcsCliResponse::makeSuccess({{"requestId", requestId},
                                        {"vehicleIds", outcome->vehicleIds},
                                        {"action", outcome->action},
                                        {"state", svc::stateName(outcome->state)},
                                        {"results", std::move(results)}});
}

constexpr int64_t kDefaultTailLines = 100;

const char* levelName(OstLogLevel level)
{
    switch (level) {
    case OstLogLevel::Debug: return "debug";
    case OstLogLevel::Info: return "info";
    case OstLogLevel::Warning: return "warning";
    case OstLogLevel::Error: return "error";
    }
    return "info";
}

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
            if (limit < 1 || limit > int64_t(svc::OutcomeRecorder::kMaxConsoleLines))
                return refuse(
                    call, *invalid("limit must be in 1.." + std::to_string(svc::OutcomeRecorder::kMaxConsoleLines)));
        }
    }
    if (auto f = requireStation(call))
        return refuse(call, *f);
    const auto tail = services(call).outcomes().consoleTail(since, size_t(limit));
    json lines = json::array();
    for (const auto& l : tail.lines)
        lines.push_back({{"seq", l.seq},
                         {"time", QDateTime::fromMSecsSinceEpoch(l.timeMs).toString(Qt::ISODateWithMs).toStdString()},
                         {"level", levelName(l.level)},
                         {"text", l.text.toStdString()}});
    return GcsCliResponse::makeSuccess({{"lines", std::move(lines)}, {"nextSeq", tail.nextSeq}});
}

// The operator's selection: the one method that moves the active vehicle.
json vehicleSetActive(const Call& call)
{
    VehicleControllerPtr vehicle;
    if (auto f = resolveTarget(call, vehicle))
        return refuse(call, *f);
    if (auto s = services(call).setActiveVehicle(vehicle))
        return refuse(call, s);
    return GcsCliResponse::makeSuccess(
        {{"activeVehicleId", vehicle->vehicleId()}, {"activeVehicleCode", vehicle->vehicleCode().toStdString()}});
}

// ---- the method table ----

std::vector<std::string> paramsGroupNames()
{
    return ParamTable::groupNames();
}

json systemMethods(const Call& call);

const std::vector<MethodSpec>& methodTable()
{
    static const std::vector<MethodSpec> base = {
        {"system.ping", systemPing, "Checks that the station answers.", {}, true},
        {"system.methods", systemMethods, "Lists every method with its parameters.", {}},
        {"system.info", systemInfo, "Station language, version, wire protocol version and data directory.", {}},
        {"connection.status", connectionStatus, "Connection mode, link state and active vehicle.", {}},
        {"connection.connect",
         connectionConnect,
         "Starts connecting the vehicle link (serial or UDP).",
         {{"type", "string", true, {"serial", "udp"}, "link type"},
          {"port", "string", false, {}, "serial: device path"},
          {"baudrate", "integer", false, {}, "serial: baud rate"},
          {"localPort", "integer", false, {}, "udp: the station's port, where the vehicles send"},
          {"vehiclePort", "integer", false, {}, "udp: the vehicles' receive port"},
          {"sendPort", "integer", false, {}, "udp: older name of localPort"},
          {"recvPort", "integer", false, {}, "udp: older name of vehiclePort"},
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
        {"vehicle.list", vehicleList, "Every known vehicle with its link ages.", {}, true},
        {"vehicle.setActive",
         vehicleSetActive,
         "Makes a vehicle the default target.",
         {kVehicleIdParam, kVehicleCodeParam}},
        {"telemetry.snapshot",
         telemetrySnapshot,
         "Latest attitude, position and flight status of a vehicle.",
         {kVehicleIdParam, kVehicleCodeParam},
         true},
        {"alerts.active", alertsActive, "Active alerts of a vehicle.", {kVehicleIdParam, kVehicleCodeParam}, true},
        {"vehicle.linkStats",
         vehicleLinkStats,
         "Telemetry and acknowledgement loss of a vehicle.",
         {kVehicleIdParam, kVehicleCodeParam},
         true},
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
         {{"group", "string", true, paramsGroupNames(), "parameter group"}, kVehicleIdParam, kVehicleCodeParam},
         true},
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

// What programs added with GcsCliCommandRouter::addMethod.
std::vector<MethodSpec>& programMethods()
{
    static std::vector<MethodSpec> added;
    return added;
}

const MethodSpec* findMethod(const std::string& name)
{
    const auto named = [&](const MethodSpec& m) { return name == m.name; };
    const auto& base = methodTable();
    if (const auto it = std::find_if(base.begin(), base.end(), named); it != base.end())
        return &*it;
    const auto& added = programMethods();
    const auto it = std::find_if(added.begin(), added.end(), named);
    return it != added.end() ? &*it : nullptr;
}

json systemMethods(const Call&)
{
    json methods = json::array();
    std::vector<MethodSpec> all = methodTable();
    all.insert(all.end(), programMethods().begin(), programMethods().end());
    for (const auto& m : all) {
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

// Edits (insert, delete, replace one character) between two names.
size_t editDistance(const std::string& a, const std::string& b)
{
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t up = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = up;
        }
    }
    return row[b.size()];
}

// Names the method and, for a likely typo, the nearest one.
std::string unknownMethodText(const std::string& method, const std::vector<MethodSpec>& table)
{
    const std::string shown = method.size() > 64 ? method.substr(0, 64) + "..." : method;
    const MethodSpec* best = nullptr;
    size_t bestDistance = 0;
    for (const auto& m : table) {
        const size_t d = editDistance(method.substr(0, 128), m.name);
        if (!best || d < bestDistance) {
            best = &m;
            bestDistance = d;
        }
    }
    // A quarter of the name may be wrong and still read as a typo of it.
    if (best && bestDistance <= std::max<size_t>(2, std::string(best->name).size() / 4))
        return "Unknown method " + shown + "; did you mean " + best->name + "?";
    return "Unknown method " + shown + "; system.methods lists them";
}

}  // namespace

bool GcsCliCommandRouter::addMethod(gcscli::MethodSpec method)
{
    if (!method.name || !method.run || findMethod(method.name))
        return false;
    programMethods().push_back(std::move(method));
    return true;
}

void GcsCliCommandRouter::removeMethod(const std::string& name)
{
    auto& added = programMethods();
    added.erase(std::remove_if(added.begin(), added.end(), [&](const MethodSpec& m) { return name == m.name; }),
                added.end());
}

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
    const MethodSpec* entry = findMethod(method);
    if (!entry)
        return refuse(method, *invalid(unknownMethodText(method, methodTable())));
    if (auto f = refuseUnknownFields(*entry, params))
        return refuse(method, *f);

    if (context.outcomes)
        context.outcomes->attach();
    const Call call{method, context.station, params, context.outcomes};
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

bool GcsCliCommandRouter::isReadOnly(const nlohmann::json& request)
{
    if (!request.is_object())
        return false;
    const auto method = request.find("method");
    if (method == request.end() || !method->is_string())
        return false;
    // The library's own table only: it never changes after it is built, while a program's
    // methods are added and removed on the main thread.
    const auto& name = method->get_ref<const std::string&>();
    const auto& table = methodTable();
    const auto entry = std::find_if(table.begin(), table.end(), [&](const MethodSpec& m) { return name == m.name; });
    return entry != table.end() && entry->readOnly;
}
