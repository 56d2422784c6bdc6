#include "GcsCliMissionMethods.h"

#include "mission/MavFlightRouteDataItem.h"
#include "mission/MavWayPointDataItem.h"
#include "services/MissionService.h"
#include "services/RouteService.h"
#include "services/VehicleDirectory.h"
#include "services/VehicleServices.h"
#include "vehicle/VehicleController.h"

#include <QDateTime>
#include <QFileInfo>

#include <spdlog/spdlog.h>

#include <cmath>

namespace gcscli {
namespace {

using RoutePtr = svc::RoutePtr;

svc::RouteService& routes(const Call& call)
{
    return services(call).routes();
}

svc::MissionService& missions(const Call& call)
{
    return services(call).missions();
}

// The route a method names by `key`.
Failure findRoute(const Call& call, const json& params, const char* key, RoutePtr& route)
{
    std::string id;
    if (auto f = readString(params, key, id))
        return f;
    auto found = routes(call).find(id);
    if (!found.ok())
        return failed(found.status);
    route = found.value;
    return {};
}

// The preamble of the methods that name a route by "id".
Failure requireRoute(const Call& call, RoutePtr& route)
{
    if (!call.params)
        return invalid("Missing params object");
    if (auto f = requireStation(call))
        return f;
    return findRoute(call, *call.params, "id", route);
}

Failure readUint8(const json& params, const char* name, uint8_t& out)
{
    if (!params.contains(name))
        return {};
    int64_t v = 0;
    if (auto f = readInt64(params, name, v))
        return f;
    if (v < 0 || v > 255)
        return invalid(std::string(name) + " must be in 0..255");
    out = uint8_t(v);
    return {};
}

// One point of "points": the waypoint keys of the right kind and finite. A route's points must
// give their position and altitude: a forgotten key would otherwise fly to (0, 0) at 0 m.
Failure readPoint(const json& p, size_t index, svc::WayPointSpec& out, bool requirePosition = true)
{
    const std::string where = "Invalid waypoint at index " + std::to_string(index) + ": ";
    if (!p.is_object())
        return invalid(where + "object");
    if (requirePosition)
        for (const char* key : {"lat", "lon", "alt"})
            if (!p.contains(key))
                return invalid("Waypoint at index " + std::to_string(index) + " misses " + key);
    auto number = [&](const char* key, double lo, double hi, double& v) -> Failure {
        const auto it = p.find(key);
        if (it == p.end())
            return {};
        if (!it->is_number() || !std::isfinite(it->get<double>()) || it->get<double>() < lo || it->get<double>() > hi)
            return invalid(where + key);
        v = it->get<double>();
        return {};
    };
    auto integer = [&](const char* key, int64_t lo, int64_t hi, int64_t& v) -> Failure {
        const auto it = p.find(key);
        if (it == p.end())
            return {};
        if (!it->is_number_integer() || it->get<int64_t>() < lo || it->get<int64_t>() > hi)
            return invalid(where + key);
        v = it->get<int64_t>();
        return {};
    };
    const double big = 1e9;
    double lat = 0, lon = 0, alt = 0, vel = 0, radius = 0, heading = 0;
    int64_t type = MAVPROTO_WP_PASS, headingDirection = 0, traceMode = 0, heightType = 0, hoverTime = 0, nextWp = -1;
    for (const auto& item : p.items()) {
        const std::string& key = item.key();
        static const char* const known[] = {
            "type",      "lat",        "lon",       "alt",    "vel",     "radius", "headingDirection",
            "traceMode", "heightType", "hoverTime", "nextWp", "heading", "number", "routeNumber"};
        if (std::none_of(std::begin(known), std::end(known), [&](const char* k) { return key == k; }))
            return invalid(where + key);
    }
    if (auto f = number("lat", -90, 90, lat))
        return f;
    if (auto f = number("lon", -180, 180, lon))
        return f;
    for (auto [key, v] : {std::pair{"alt", &alt}, {"vel", &vel}, {"radius", &radius}, {"heading", &heading}})
        if (auto f = number(key, -big, big, *v))
            return f;
    if (auto f = integer("type", 0, 255, type))
        return f;
    if (MavWayPointDataItem::typeToText(MavProtoWayPointType(type)).isEmpty())
        return invalid(where + "type");
    for (auto [key, v, hi] : {std::tuple{"headingDirection", &headingDirection, 2},
                              {"traceMode", &traceMode, 1},
                              {"heightType", &heightType, 2},
                              {"hoverTime", &hoverTime, 65535}})
        if (auto f = integer(key, 0, hi, *v))
            return f;
    if (auto f = integer("nextWp", -1, 255, nextWp))
        return f;
    out.data.type = MavProtoWayPointType(type);
    out.data.lat = lat;
    out.data.lon = lon;
    out.data.alt = alt;
    out.data.vel = float(vel);
    out.data.radius = float(radius);
    out.data.heading = float(heading);
    out.data.setHeadingDirection(uint8_t(headingDirection));
    out.data.setTraceMode(uint8_t(traceMode));
    out.data.setHeightType(uint8_t(heightType));
    out.data.hoverTime = uint16_t(hoverTime);
    out.nextWp = int16_t(nextWp);
    return {};
}

Failure readPoints(const json& params, std::vector<svc::WayPointSpec>& points)
{
    const auto& list = params.at("points");
    if (!list.is_array())
        return invalid("Field must be an array: points");
    if (list.size() > size_t(svc::RouteService::kMaxWayPoints))
        return invalid("points may hold at most 255 waypoints");
    points.resize(list.size());
    for (size_t i = 0; i < list.size(); ++i)
        if (auto f = readPoint(list[i], i, points[i]))
            return f;
    return {};
}

Failure readArea(const json& params, svc::AreaSpec& area)
{
    const auto& a = params.at("area");
    if (!a.is_object())
        return invalid("Field must be an object: area");
    const auto poly = a.find("polygon");
    if (poly == a.end() || !poly->is_array() || poly->size() < 3)
        return invalid("area.polygon must hold at least 3 vertices");
    for (size_t i = 0; i < poly->size(); ++i) {
        const auto& v = (*poly)[i];
        const auto lat = v.is_object() ? v.find("lat") : v.end();
        const auto lon = v.is_object() ? v.find("lon") : v.end();
        if (!v.is_object() || lat == v.end() || lon == v.end() || !lat->is_number() || !lon->is_number() ||
            !std::isfinite(lat->get<double>()) || !std::isfinite(lon->get<double>()) ||
            std::abs(lat->get<double>()) > 90 || std::abs(lon->get<double>()) > 180)
            return invalid("Invalid polygon vertex at index " + std::to_string(i));
        area.polygon.append({lat->get<double>(), lon->get<double>()});
    }
    const auto spacing = a.find("lineSpacing");
    if (spacing == a.end() || !spacing->is_number() || !std::isfinite(spacing->get<double>()) ||
        spacing->get<double>() <= 0)
        return invalid("area.lineSpacing must be a positive number");
    area.lineSpacing = spacing->get<double>();
    if (const auto angle = a.find("angle"); angle != a.end()) {
        if (!angle->is_number() || !std::isfinite(angle->get<double>()))
            return invalid("area.angle must be a finite number");
        area.angle = angle->get<double>();
    }
    return {};
}

// The route's kind in words beside its stored code.
const char* routeTypeText(MavFlightRouteType type)
{
    return type == MavFlightRouteType::Area ? "area survey" : "waypoints";
}

json routeSummary(const Call& call, const MavFlightRouteDataItem& route)
{
    return {{"id", route.id().toStdString()},
            {"type", int(route.config()->type())},
            {"typeText", routeTypeText(route.config()->type())},
            {"wayPointCount", route.wayPointCount()},
            {"active", routes(call).isActive(route)}};
}

json routeList(const Call& call)
{
    if (auto f = requireStation(call))
        return refuse(call, *f);
    json list = json::array();
    for (const auto& r : routes(call).list()) {
        const std::string saveError = routes(call).saveError(r->id().toStdString());
        list.push_back({{"id", r->id().toStdString()},
                        {"name", r->name().toStdString()},
                        {"type", int(r->config()->type())},
                        {"typeText", routeTypeText(r->config()->type())},
                        {"number", r->number()},
                        {"repeatTimes", r->repeatTimes()},
                        {"wayPointCount", r->wayPointCount()},
                        {"active", routes(call).isActive(*r)},
                        {"saveError", saveError.empty() ? json(nullptr) : json(saveError)}});
    }
    const auto count = list.size();
    const auto active = routes(call).active();
    return GcsCliResponse::makeSuccess({{"routes", std::move(list)},
                                        {"count", count},
                                        {"activeRouteId", active ? json(active->id().toStdString()) : json(nullptr)}});
}

json routeGet(const Call& call)
{
    RoutePtr route;
    if (auto f = requireRoute(call, route))
        return refuse(call, *f);
    return GcsCliResponse::makeSuccess({{"route", *route->toJson()}, {"active", routes(call).isActive(*route)}});
}

json routeCreate(const Call& call)
{
    if (!call.params)
        return refuse(call, *invalid("Missing params object"));
    const json& params = *call.params;
    svc::RouteDraft draft;
    if (auto f = readString(params, "name", draft.name))
        return refuse(call, *f);
    if (!params.contains("number"))
        return refuse(call, *invalid("Missing required field: number"));
    if (auto f = readUint8(params, "number", draft.number); f || (f = readUint8(params, "repeatTimes", draft.repeatTimes)))
        return refuse(call, *f);
    if (params.contains("points") == params.contains("area"))
        return refuse(call, *invalid("Exactly one of points or area is required"));
    if (params.contains("points")) {
        draft.points.emplace();
        if (auto f = readPoints(params, *draft.points))
            return refuse(call, *f);
    } else {
        draft.area.emplace();
        if (auto f = readArea(params, *draft.area))
            return refuse(call, *f);
    }
    if (auto f = requireStation(call))
        return refuse(call, *f);
    const auto created = routes(call).create(draft);
    if (!created.ok())
        return refuse(call, created.status);
    return GcsCliResponse::makeSuccess(routeSummary(call, *created.value));
}

json routeUpdate(const Call& call)
{
    RoutePtr route;
    if (auto f = requireRoute(call, route))
        return refuse(call, *f);
    const json& params = *call.params;
    svc::RouteChange change;
    if (params.contains("name")) {
        change.name.emplace();
        if (auto f = readString(params, "name", *change.name))
            return refuse(call, *f);
    }
    uint8_t number = route->number(), repeatTimes = route->repeatTimes();
    if (auto f = readUint8(params, "number", number); f || (f = readUint8(params, "repeatTimes", repeatTimes)))
        return refuse(call, *f);
    change.number = number;
    change.repeatTimes = repeatTimes;
    if (params.contains("points")) {
        change.points.emplace();
        if (auto f = readPoints(params, *change.points))
            return refuse(call, *f);
    }
    const auto updated = routes(call).update(route->id().toStdString(), change);
    if (!updated.ok())
        return refuse(call, updated.status);
    return GcsCliResponse::makeSuccess(routeSummary(call, *updated.value));
}

json routeDelete(const Call& call)
{
    RoutePtr route;
    if (auto f = requireRoute(call, route))
        return refuse(call, *f);
    if (auto s = routes(call).remove(route->id().toStdString()))
        return refuse(call, s);
    return GcsCliResponse::makeSuccess({{"deleted", true}, {"id", route->id().toStdString()}});
}

json routeSetActive(const Call& call)
{
    RoutePtr route;
    if (auto f = requireRoute(call, route))
        return refuse(call, *f);
    if (auto s = routes(call).setActive(route))
        return refuse(call, s);
    return GcsCliResponse::makeSuccess({{"activeRouteId", route->id().toStdString()}});
}

json routeDefaultWayPoint(const Call& call)
{
    if (auto f = requireStation(call))
        return refuse(call, *f);
    if (call.params && call.params->contains("wayPoint")) {
        svc::WayPointSpec point;
        if (auto f = readPoint(call.params->at("wayPoint"), 0, point, false))
            return refuse(call, *f);
        routes(call).setDefaultWayPoint(point);
    }
    const auto wp = routes(call).defaultWayPoint();
    return GcsCliResponse::makeSuccess({{"defaultWayPoint", wp ? *wp->toJson() : json(nullptr)}});
}

json fileReport(const svc::FileReport& report, const char* doneKey)
{
    json skipped = json::array();
    for (const auto& [id, reason] : report.skipped)
        skipped.push_back({{"id", id}, {"reason", reason}});
    return {{"result", report.result}, {doneKey, report.done}, {"skipped", std::move(skipped)}};
}

json folderAnswer(const Call& call, const svc::Result<svc::FileReport>& r, bool exporting, const std::string& dir)
{
    json data = fileReport(r.value, exporting ? "written" : "imported");
    data["dir"] = dir;
    if (!r.ok())
        return refuse(call, r.status, r.status.kind == svc::Kind::Refused ? std::move(data) : json::object());
    return GcsCliResponse::makeSuccess(std::move(data));
}

Failure readFormat(const json& params, bool& geojson)
{
    geojson = false;
    if (!params.contains("format"))
        return {};
    std::string format;
    if (auto f = readString(params, "format", format))
        return f;
    if (format != "geojson" && format != "routes")
        return invalid("format must be geojson or routes");
    geojson = format == "geojson";
    return {};
}

json routeExport(const Call& call)
{
    if (!call.params)
        return refuse(call, *invalid("Missing params object"));
    const json& params = *call.params;
    bool geojson = false;
    if (auto f = readFormat(params, geojson))
        return refuse(call, *f);
    if (!geojson) {
        std::string dir;
        if (auto f = readString(params, "dir", dir))
            return refuse(call, *f);
        if (dir.empty())
            return refuse(call, *invalid("dir must not be empty"));
        if (auto f = requireStation(call))
            return refuse(call, *f);
        return folderAnswer(call, routes(call).exportFolder(dir), true, dir);
    }
    std::string id, path;
    if (auto f = readString(params, "routeId", id); f || (f = readString(params, "path", path)))
        return refuse(call, *f);
    if (auto f = requireStation(call))
        return refuse(call, *f);
    const auto found = routes(call).find(id);
    const auto written = found.ok() ? routes(call).exportGeoJson(id, path) : svc::Result<svc::FileReport>(found.status);
    if (!written.ok())
        return refuse(call, written.status);
    json data = fileReport(written.value, "written");
    data["format"] = "geojson";
    data["wayPointCount"] = found.value->wayPointCount();
    return GcsCliResponse::makeSuccess(std::move(data));
}

json findingsJson(const std::vector<MavRouteFinding>& findings)
{
    json out = json::array();
    for (const auto& f : findings) {
        json item = {{"wayPoint", f.wayPoint},
                     {"rule", f.rule.toStdString()},
                     {"kind", f.kind == MavRouteFinding::Kind::Unchecked ? "unchecked" : "violation"},
                     {"text", f.text.toStdString()}};
        if (f.zoneId != 0)
            item["zoneId"] = f.zoneId;
        out.push_back(std::move(item));
    }
    return out;
}

// What a route check looked at: the zone set, the vehicle's limits, where the flight starts.
json toJson(const MavRouteCheckReport& r)
{
    const auto opt = [](const std::optional<double>& v) { return v ? json(*v) : json(nullptr); };
    return {{"zoneSet",
             {{"loaded", r.zonesLoaded},
              {"count", r.zoneCount},
              {"source", r.zoneSource.toStdString()},
              {"time", r.zoneTime.isValid() ? json(r.zoneTime.toString(Qt::ISODate).toStdString()) : json(nullptr)}}},
            {"limits",
             {{"read", r.limitsRead},
              {"maxAltM", opt(r.limits.maxAltM)},
              {"maxHorSpeedMps", opt(r.limits.maxHorSpeedMps)}}},
            {"start", r.start.toStdString()}};
}

json routeImport(const Call& call)
{
    if (!call.params)
        return refuse(call, *invalid("Missing params object"));
    const json& params = *call.params;
    bool geojson = false;
    if (auto f = readFormat(params, geojson))
        return refuse(call, *f);
    std::string where;
    if (auto f = readString(params, geojson ? "path" : "dir", where))
        return refuse(call, *f);
    if (where.empty())
        return refuse(call, *invalid(geojson ? "path must not be empty" : "dir must not be empty"));
    if (!geojson) {
        if (auto f = requireStation(call))
            return refuse(call, *f);
        return folderAnswer(call, routes(call).importFolder(where), false, where);
    }
    std::string name = QFileInfo(QString::fromStdString(where)).completeBaseName().toStdString();
    if (params.contains("name"))
        if (auto f = readString(params, "name", name))
            return refuse(call, *f);
    uint8_t number = 0;
    if (auto f = readUint8(params, "number", number); f || (f = requireStation(call)))
        return refuse(call, *f);
    const auto imported = routes(call).importGeoJson(where, name, number);
    if (!imported.ok())
        return refuse(call, imported.status);
    const auto& route = imported.value;
    return GcsCliResponse::makeSuccess(
        {{"result", 0},
         {"imported", json::array({route->id().toStdString()})},
         {"skipped", json::array()},
         {"id", route->id().toStdString()},
         {"wayPointCount", route->wayPointCount()},
         {"findings",
          findingsJson(missions(call).check(services(call).directory().resolve({}).value, route).report.findings)}});
}

// The route a mission method names by "routeId", or the active one.
Failure routeOrActive(const Call& call, RoutePtr& route)
{
    if (call.params && call.params->contains("routeId"))
        return findRoute(call, *call.params, "routeId", route);
    route = routes(call).active();
    if (!route)
        return rejected("No active flight route");
    return {};
}

// A mission method's vehicle: the one named, else the active one; for checks it may be none.
Failure missionVehicle(const Call& call, VehicleControllerPtr& vehicle, bool optional)
{
    const bool named = call.params && (call.params->contains("vehicleId") || call.params->contains("vehicleCode"));
    const auto f = resolveTarget(call, vehicle);
    if (f && optional && !named && f->code == ErrorCode::NoActiveVehicle)
        return {};
    return f;
}

json missionCheck(const Call& call)
{
    RoutePtr route;
    VehicleControllerPtr vehicle;
    if (auto f = requireStation(call); f || (f = routeOrActive(call, route)) || (f = missionVehicle(call, vehicle, true)))
        return refuse(call, *f);
    const auto check = missions(call).check(vehicle, route);
    return GcsCliResponse::makeSuccess({{"routeId", check.routeId},
                                        {"vehicleId", vehicle ? json(vehicle->vehicleId()) : json(nullptr)},
                                        {"passed", check.passed()},
                                        {"findings", findingsJson(check.report.findings)},
                                        {"checked", toJson(check.report)}});
}

json ticketJson(const svc::TransferTicket& t)
{
    json data = {{"accepted", true}, {"requestId", t.requestId}, {"vehicleId", t.vehicleId}};
    if (t.queuePosition > 0)
        data["queuePosition"] = t.queuePosition;
    return data;
}

json missionUpload(const Call& call)
{
    svc::UploadOptions options;
    if (call.params)
        if (auto f = readBool(*call.params, "force", options.force); f || (f = readBool(*call.params, "verify", options.verify)))
            return refuse(call, *f);
    RoutePtr route;
    VehicleControllerPtr vehicle;
    if (auto f = requireStation(call); f || (f = missionVehicle(call, vehicle, false)) || (f = routeOrActive(call, route)))
        return refuse(call, *f);
    const auto t = missions(call).upload(vehicle, route, options);
    if (!t.ok()) {
        json data = json::object();
        if (!t.value.findings.empty())
            data = {{"routeId", t.value.routeId},
                    {"findings", findingsJson(t.value.findings)},
                    {"checked", toJson(t.value.checked)}};
        return refuse(call, t.status, std::move(data));
    }
    spdlog::info("<cli-router> mission.upload of route {} to vehicle {} accepted, requestId {}", t.value.routeId,
                 t.value.vehicleId, t.value.requestId);
    json data = ticketJson(t.value);
    data["routeId"] = t.value.routeId;
    data["wayPointCount"] = t.value.wayPointCount;
    data["verify"] = options.verify;
    data["findings"] = findingsJson(t.value.findings);
    data["checked"] = toJson(t.value.checked);
    return GcsCliResponse::makeSuccess(std::move(data));
}

json missionDownload(const Call& call)
{
    bool intoNewRoute = false;
    if (call.params) {
        if (auto f = readBool(*call.params, "intoNewRoute", intoNewRoute))
            return refuse(call, *f);
        if (intoNewRoute && call.params->contains("routeId"))
            return refuse(call, *invalid("intoNewRoute takes no routeId: the vehicle's route goes into a new route"));
    }
    RoutePtr route;
    VehicleControllerPtr vehicle;
    if (auto f = requireStation(call); f || (f = missionVehicle(call, vehicle, false)))
        return refuse(call, *f);
    if (!intoNewRoute)
        if (auto f = routeOrActive(call, route))
            return refuse(call, *f);
    const auto t = missions(call).download(
        vehicle, intoNewRoute ? svc::TransferKind::DownloadNewRoute : svc::TransferKind::Download, route);
    if (!t.ok())
        return refuse(call, t.status);
    json data = ticketJson(t.value);
    if (intoNewRoute) {
        data["intoNewRoute"] = true;
    } else {
        data["routeId"] = t.value.routeId;
        data["wayPointCount"] = t.value.wayPointCount;
    }
    return GcsCliResponse::makeSuccess(std::move(data));
}

json missionStart(const Call& call)
{
    bool force = false;
    if (call.params)
        if (auto f = readBool(*call.params, "force", force))
            return refuse(call, *f);
    VehicleControllerPtr vehicle;
    if (auto f = resolveTarget(call, vehicle))
        return refuse(call, *f);
    const auto t = missions(call).start(vehicle, force);
    if (!t.ok())
        return refuse(call, t.status);
    return GcsCliResponse::makeSuccess(
        {{"accepted", true}, {"requestId", t.value.requestId}, {"action", "runMission"}, {"vehicleId", t.value.vehicleId}});
}

json verifyJson(const MavMissionsController::VerifyOutcome& v)
{
    static const char* const states[] = {"none", "pending", "verified", "differs", "unverified"};
    json verify = {{"state", states[v.state]}};
    if (v.state == MavMissionsController::VerifyOutcome::Differs) {
        verify["firstDifferentWayPoint"] = v.firstDifferentWayPoint;
        verify["difference"] = v.difference.toStdString();
    }
    if (v.state == MavMissionsController::VerifyOutcome::Unverified)
        verify["readBackResult"] = v.readBackResult;
    return verify;
}

json transferJson(const svc::TransferRecord& r)
{
    static const char* const states[] = {"queued", "running", "done"};
    json out = {{"requestId", r.requestId},
                {"kind", svc::kindName(r.kind)},
                {"vehicleId", r.vehicleId},
                {"routeId", r.routeId.empty() ? json(nullptr) : json(r.routeId)},
                {"state", states[int(r.state)]}};
    if (r.state == svc::TransferRecord::State::Done) {
        out["result"] = r.result;
        out["message"] = r.message;
        if (r.kind == svc::TransferKind::Upload)
            out["verify"] = verifyJson(r.verify);
        else
            out["wayPointCount"] = r.wayPointCount;
        if (!r.newRouteId.empty())
            out["newRouteId"] = r.newRouteId;
    }
    return out;
}

json countsJson(const svc::TransferCounts& c, const std::optional<svc::TransferRecord>& last)
{
    json out = {{"started", c.started},
                {"finished", c.finished},
                {"lastResult", c.lastResult ? json(*c.lastResult) : json(nullptr)},
                {"lastRouteId", c.lastRouteId.empty() ? json(nullptr) : json(c.lastRouteId)}};
    if (last && last->kind == svc::TransferKind::Upload) {
        out["verify"] = verifyJson(last->verify);
    } else if (last) {
        out["wayPointCount"] = last->wayPointCount;
        out["newRouteId"] = last->newRouteId.empty() ? json(nullptr) : json(last->newRouteId);
    }
    return out;
}

json missionStatus(const Call& call)
{
    VehicleControllerPtr vehicle;
    if (auto f = requireStation(call); f || (f = missionVehicle(call, vehicle, true)))
        return refuse(call, *f);
    auto& m = missions(call);
    // The counts are the station's; so are the details of the last finished transfer each way.
    const auto lastUp = m.lastFinished(true), lastDown = m.lastFinished(false);
    json transfers = json::array();
    if (vehicle)
        for (const auto& r : m.transfersOf(vehicle->vehicleId()))
            transfers.push_back(transferJson(r));
    json lastUpload = nullptr;
    if (const auto u = vehicle ? m.lastUpload(vehicle->vehicleId()) : std::nullopt) {
        static const char* const verifyStates[] = {"none", "pending", "verified", "differs", "unverified"};
        lastUpload = {{"requestId", u->requestId},
                      {"routeId", u->routeId},
                      {"contentHash", u->contentHash},
                      {"wayPointCount", u->wayPointCount},
                      {"result", u->result ? json(*u->result) : json(nullptr)},
                      {"verify", verifyStates[u->verify]},
                      {"time", QDateTime::fromMSecsSinceEpoch(u->timeMs).toString(Qt::ISODateWithMs).toStdString()}};
    }
    const auto active = routes(call).active();
    return GcsCliResponse::makeSuccess({{"vehicleId", vehicle ? json(vehicle->vehicleId()) : json(nullptr)},
                                        {"upload", countsJson(m.uploads(), lastUp)},
                                        {"download", countsJson(m.downloads(), lastDown)},
                                        {"lastUpload", std::move(lastUpload)},
                                        {"transfers", std::move(transfers)},
                                        {"queued", m.queued()},
                                        {"activeRouteId", active ? json(active->id().toStdString()) : json(nullptr)},
                                        {"isUploading", m.isUploading()},
                                        {"isDownloading", m.isDownloading()}});
}

const ParamSpec kRouteIdParam{"id", "string", true, {}, "route id (see route.list)"};

}  // namespace

const std::vector<MethodSpec>& missionMethods()
{
    static const std::vector<ParamSpec> routeFields = {
        {"name", "string", true, {}, "route name"},
        {"number", "integer", true, {}, "route number 0..255"},
        {"repeatTimes", "integer", false, {}, "repeat count 0..255 (default 0)"},
        {"points", "array", false, {}, "waypoints: {lat, lon, alt, vel, type, hoverTime, ...}"},
    };
    auto withId = [](std::vector<ParamSpec> fields) {
        for (auto& f : fields)
            f.required = false;
        fields.insert(fields.begin(), kRouteIdParam);
        return fields;
    };
    auto withArea = [](std::vector<ParamSpec> fields) {
        fields.push_back({"area", "object", false, {}, "{polygon: [{lat, lon}], lineSpacing, angle}: a survey"});
        return fields;
    };
    static const std::vector<MethodSpec> table = {
        {"route.list", routeList, "Every stored route and the active one.", {}},
        {"route.get", routeGet, "One route with its waypoints.", {kRouteIdParam}},
        {"route.create", routeCreate, "Creates a route from points or a survey area; it becomes active.",
         withArea(routeFields)},
        {"route.update", routeUpdate, "Changes a route's name, number, repeat count or points.", withId(routeFields)},
        {"route.delete", routeDelete, "Deletes a route.", {kRouteIdParam}},
        {"route.setActive", routeSetActive, "Makes a route the one transfers use.", {kRouteIdParam}},
        {"route.defaultWayPoint",
         routeDefaultWayPoint,
         "The template of generated waypoints; sets it when given.",
         {{"wayPoint", "object", false, {}, "waypoint fields"}}},
        {"route.export",
         routeExport,
         "Copies every route file into a directory, or writes one route as GeoJSON (format geojson).",
         {{"dir", "string", false, {}, "target directory (route files)"},
          {"format", "string", false, {"routes", "geojson"}, "routes (default) or geojson"},
          {"routeId", "string", false, {}, "the route to write (geojson)"},
          {"path", "string", false, {}, "the file to write (geojson)"}}},
        {"route.import",
         routeImport,
         "Copies the valid routes of a directory into the store, or reads a GeoJSON file into a new route.",
         {{"dir", "string", false, {}, "source directory (route files)"},
          {"format", "string", false, {"routes", "geojson"}, "routes (default) or geojson"},
          {"path", "string", false, {}, "the file to read (geojson)"},
          {"name", "string", false, {}, "name of the new route (geojson; default: the file name)"},
          {"number", "integer", false, {}, "route number 0..255 of the new route (geojson; default 0)"}}},
        {"mission.check",
         missionCheck,
         "Checks a route before it flies: numbering, positions, the vehicle's limits, no-fly zones.",
         {{"routeId", "string", false, {}, "route to check (default: the active route)"},
          kVehicleIdParam,
          kVehicleCodeParam},
         true},
        {"mission.upload",
         missionUpload,
         "Uploads a route (default: the active one) to a vehicle (default: the active one); refused when "
         "mission.check finds anything. Neither the active vehicle nor the active route changes.",
         {{"routeId", "string", false, {}, "route to upload (default: the active route)"},
          {"force", "boolean", false, {}, "upload despite check findings"},
          {"verify", "boolean", false, {}, "read the route back and compare it with what was sent"},
          kVehicleIdParam,
          kVehicleCodeParam}},
        {"mission.download",
         missionDownload,
         "Downloads a vehicle's route into a route (default: the active one) or a new route.",
         {{"routeId", "string", false, {}, "route to download into (default: the active route)"},
          {"intoNewRoute", "boolean", false, {}, "into a new route; the active route stays"},
          kVehicleIdParam,
          kVehicleCodeParam}},
        {"mission.start",
         missionStart,
         "Starts the route last uploaded from this station; refused when that upload failed, was never made, or the "
         "route changed or no longer passes its check. Follow it with command.status.",
         {{"force", "boolean", false, {}, "start whatever the vehicle holds"}, kVehicleIdParam, kVehicleCodeParam}},
        {"mission.status",
         missionStatus,
         "Transfer counts, and for a vehicle (default: the active one) its transfers by requestId and what this "
         "station last uploaded to it.",
         {kVehicleIdParam, kVehicleCodeParam}},
    };
    return table;
}

}  // namespace gcscli
