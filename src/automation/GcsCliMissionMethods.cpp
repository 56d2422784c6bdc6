#include "GcsCliMissionMethods.h"

#include "GcsCliOutcomeRecorder.h"
#include "app/GcsAppController.h"
#include "mission/MavAreaRouteConfig.h"
#include "mission/MavAreaRouteGenerator.h"
#include "mission/MavFlightRouteDataItem.h"
#include "mission/MavFlightRouteManager.h"
#include "mission/MavMissionsController.h"
#include "mission/MavMultiPointRouteConfig.h"
#include "mission/MavRouteGeoJson.h"
#include "mission/MavWayPointDataItem.h"
#include "vehicle/MultiVehicleManager.h"
#include "vehicle/VehicleController.h"

#include "OstFunctions.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <spdlog/spdlog.h>

#include <chrono>
#include <cmath>
#include <thread>

namespace gcscli {
namespace {

using RoutePtr = std::shared_ptr<MavFlightRouteDataItem>;
constexpr int kStoreWaitMs = 2000;
constexpr int kMaxWayPoints = 255;
constexpr int kFileWaitMs = 15000;
constexpr qint64 kMaxGeoJsonBytes = 16 * 1024 * 1024;

Failure requireMissions(const Call& call, MavMissionsController*& missions, MavFlightRouteManager*& store)
{
    if (auto f = requireCtrl(call))
        return f;
    missions = call.ctrl->missionsCtrler().get();
    store = call.ctrl->flightRouteMgr().get();
    if (!missions || !store)
        return rejected("Mission services are not available");
    return {};
}

// A new route becomes active: not while the active one is edited or a transfer runs.
Failure requireMissionsIdle(const Call& call, MavMissionsController*& missions, MavFlightRouteManager*& store)
{
    if (auto f = requireMissions(call, missions, store))
        return f;
    if (missions->isEditing())
        return rejected("Active flight route is being edited");
    if (missions->isTransferring())
        return rejected("A mission transfer is in progress");
    return {};
}

// The worker clears its flag on its own thread; a nested event loop here would run other CLI
// requests in the middle of this one.
Failure waitForStore(const MavFlightRouteManager& store, int waitMs = kStoreWaitMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (store.isLoadRunning()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return rejected("Route store is busy");
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // A refresh or import ends on the main thread, which this request holds: no waiting for it.
    if (store.isRefreshing() || store.isImporting())
        return rejected("Route store is busy");
    return {};
}

Failure findRoute(const Call& call, const MavFlightRouteManager& store, RoutePtr& route)
{
    std::string id;
    if (auto f = readString(*call.params, "id", id))
        return f;
    for (const auto& r : store.flightRoutes()) {
        if (r->id().toStdString() == id) {
            route = r;
            return {};
        }
    }
    return invalid("Unknown route id");
}

// The preamble of the methods that name a route by "id".
Failure requireRoute(const Call& call, MavMissionsController*& missions, MavFlightRouteManager*& store, RoutePtr& route)
{
    if (!call.params)
        return invalid("Missing params object");
    if (auto f = requireMissions(call, missions, store))
        return f;
    return findRoute(call, *store, route);
}

// The outcome of the save just started for `route`, once the worker is through.
Failure checkSaved(const MavFlightRouteManager& store, const RoutePtr& route)
{
    if (auto f = waitForStore(store))
        return f;
    if (const QString reason = store.lastSaveError(route->id()); !reason.isEmpty())
        return rejected("Route not saved: " + reason.toStdString());
    return {};
}

// Touching a route: refused while a transfer holds it, or while the active route is edited or
// transferred.
Failure checkActiveRouteFree(const MavMissionsController& missions, const MavFlightRouteManager& store,
                             const RoutePtr& route)
{
    if (const QString reason = store.routeLockReason(route->id()); !reason.isEmpty())
        return rejected(reason.toStdString());
    if (!missions.activeFlightRoute() || route->id() != missions.activeFlightRoute()->id())
        return {};
    if (missions.isEditing())
        return rejected("Active flight route is being edited");
    if (missions.isTransferring())
        return rejected("A mission transfer is in progress");
    return {};
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

struct PointSpec {
    MavProtoWayPointData_t data;
    int16_t nextWp = -1;
};

// One point of "points": the waypoint keys of the right kind and finite. A route's points must
// give their position and altitude: a forgotten key would otherwise fly to (0, 0) at 0 m.
Failure readPoint(const json& p, size_t index, PointSpec& out, bool requirePosition = true)
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

Failure readPoints(const json& params, std::vector<PointSpec>& points)
{
    const auto& list = params.at("points");
    if (!list.is_array())
        return invalid("Field must be an array: points");
    if (list.size() > size_t(kMaxWayPoints))
        return invalid("points may hold at most 255 waypoints");
    points.resize(list.size());
    for (size_t i = 0; i < list.size(); ++i)
        if (auto f = readPoint(list[i], i, points[i]))
            return f;
    return {};
}

struct AreaSpec {
    QList<std::pair<double, double>> polygon;
    double lineSpacing = 0;
    double angle = 0;
};

Failure readArea(const json& params, AreaSpec& area)
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

void addPoints(MavFlightRouteDataItem& route, const std::vector<PointSpec>& points)
{
    for (const auto& p : points) {
        const auto& d = p.data;
        route.addWayPoint(d.type, d.lon, d.lat, d.alt, d.vel, d.radius, d.headingDirection(), d.traceMode(),
                          d.heightType(), d.hoverTime, p.nextWp, d.heading);
    }
}

json routeSummary(const MavFlightRouteDataItem& route, const MavMissionsController& missions)
{
    return {{"id", route.id().toStdString()},
            {"type", int(route.config()->type())},
            {"wayPointCount", route.wayPointCount()},
            {"active", missions.activeFlightRoute() && missions.activeFlightRoute()->id() == route.id()}};
}

json routeList(const Call& call)
{
    MavMissionsController* missions = nullptr;
    MavFlightRouteManager* store = nullptr;
    if (auto f = requireMissions(call, missions, store))
        return refuse(call, *f);
    json routes = json::array();
    const auto active = missions->activeFlightRoute();
    for (const auto& r : store->flightRoutes()) {
        const QString saveError = store->lastSaveError(r->id());
        routes.push_back({{"id", r->id().toStdString()},
                          {"name", r->name().toStdString()},
                          {"type", int(r->config()->type())},
                          {"number", r->number()},
                          {"repeatTimes", r->repeatTimes()},
                          {"wayPointCount", r->wayPointCount()},
                          {"active", active && r->id() == active->id()},
                          {"saveError", saveError.isEmpty() ? json(nullptr) : json(saveError.toStdString())}});
    }
    const auto count = routes.size();
    return GcsCliResponse::makeSuccess({{"routes", std::move(routes)},
                                        {"count", count},
                                        {"activeRouteId", active ? json(active->id().toStdString()) : json(nullptr)}});
}

json routeGet(const Call& call)
{
    MavMissionsController* missions = nullptr;
    MavFlightRouteManager* store = nullptr;
    RoutePtr route;
    if (auto f = requireRoute(call, missions, store, route))
        return refuse(call, *f);
    const auto active = missions->activeFlightRoute();
    return GcsCliResponse::makeSuccess(
        {{"route", *route->toJson()}, {"active", active && active->id() == route->id()}});
}

json routeCreate(const Call& call)
{
    if (!call.params)
        return refuse(call, *invalid("Missing params object"));
    const json& params = *call.params;
    std::string name;
    if (auto f = readString(params, "name", name))
        return refuse(call, *f);
    uint8_t number = 0, repeatTimes = 0;
    if (!params.contains("number"))
        return refuse(call, *invalid("Missing required field: number"));
    if (auto f = readUint8(params, "number", number); f || (f = readUint8(params, "repeatTimes", repeatTimes)))
        return refuse(call, *f);
    if (params.contains("points") == params.contains("area"))
        return refuse(call, *invalid("Exactly one of points or area is required"));
    std::vector<PointSpec> points;
    AreaSpec area;
    if (auto f = params.contains("points") ? readPoints(params, points) : readArea(params, area))
        return refuse(call, *f);

    MavMissionsController* missions = nullptr;
    MavFlightRouteManager* store = nullptr;
    if (auto f = requireMissionsIdle(call, missions, store))
        return refuse(call, *f);

    std::shared_ptr<MavFlightRouteAbstractConfig> config;
    const QString id = OstFunctions::createUuid(true);
    if (params.contains("area")) {
        auto areaConfig = std::make_shared<MavAreaRouteConfig>(id);
        areaConfig->setPolygonVertices(area.polygon);
        areaConfig->setLineSpacing(area.lineSpacing);
        areaConfig->setAngle(area.angle);
        if (MavAreaRouteGenerator::crossesAntimeridian(area.polygon))
            return refuse(call, *invalid("area.polygon crosses the 180° meridian; split the area at it"));
        if (MavAreaRouteGenerator::generate(areaConfig.get()).isEmpty())
            return refuse(call, *rejected("Area generator produced no waypoints"));
        config = areaConfig;
    } else {
        config = std::make_shared<MavMultiPointRouteConfig>(id);
    }
    config->setName(QString::fromStdString(name));
    config->setNumber(number);
    config->setRepeatTimes(repeatTimes);

    if (auto f = waitForStore(*store))
        return refuse(call, *f);
    const RoutePtr route = store->addFlightRoute(config, nullptr);
    if (!route || missions->activeFlightRoute() != route)
        return refuse(call, *rejected("Route store is busy"));
    if (auto* areaConfig = dynamic_cast<MavAreaRouteConfig*>(config.get()))
        missions->generateAreaRouteWayPoints(areaConfig);
    else
        addPoints(*route, points);
    if (auto f = waitForStore(*store)) {
        missions->setIsEditing(false);
        return refuse(call, *f);
    }
    missions->stopEditing();
    if (auto f = checkSaved(*store, route))
        return refuse(call, *f);
    spdlog::info("<cli-router> route {} created with {} waypoints", route->id().toStdString(), route->wayPointCount());
    return GcsCliResponse::makeSuccess(routeSummary(*route, *missions));
}

json routeUpdate(const Call& call)
{
    MavMissionsController* missions = nullptr;
    MavFlightRouteManager* store = nullptr;
    RoutePtr route;
    if (auto f = requireRoute(call, missions, store, route))
        return refuse(call, *f);
    const json& params = *call.params;
    std::string name;
    if (params.contains("name"))
        if (auto f = readString(params, "name", name))
            return refuse(call, *f);
    uint8_t number = route->number(), repeatTimes = route->repeatTimes();
    if (auto f = readUint8(params, "number", number); f || (f = readUint8(params, "repeatTimes", repeatTimes)))
        return refuse(call, *f);
    std::vector<PointSpec> points;
    if (params.contains("points"))
        if (auto f = readPoints(params, points))
            return refuse(call, *f);
    if (auto f = checkActiveRouteFree(*missions, *store, route); f || (f = waitForStore(*store)))
        return refuse(call, *f);

    if (params.contains("name"))
        route->setName(QString::fromStdString(name));
    route->setNumber(number);
    route->setRepeatTimes(repeatTimes);
    if (params.contains("points")) {
        route->resetWayPoints(std::list<std::shared_ptr<MavWayPointDataItem>>{});
        addPoints(*route, points);
    }
    if (!store->updateFlightRoute(route))
        return refuse(call, *rejected("Route store is busy"));
    if (auto f = checkSaved(*store, route))
        return refuse(call, *f);
    return GcsCliResponse::makeSuccess(routeSummary(*route, *missions));
}

json routeDelete(const Call& call)
{
    MavMissionsController* missions = nullptr;
    MavFlightRouteManager* store = nullptr;
    RoutePtr route;
    if (auto f = requireRoute(call, missions, store, route))
        return refuse(call, *f);
    if (auto f = checkActiveRouteFree(*missions, *store, route); f || (f = waitForStore(*store)))
        return refuse(call, *f);
    if (!store->removeFlightRoute(route))
        return refuse(call, *rejected("Route store is busy"));
    return GcsCliResponse::makeSuccess({{"deleted", true}, {"id", route->id().toStdString()}});
}

Failure makeActive(MavMissionsController& missions, const RoutePtr& route)
{
    if (route != missions.activeFlightRoute() && missions.isTransferring())
        return rejected("A mission transfer is in progress");
    switch (missions.setActiveFlightRoute(route)) {
    case SetActRouteRefusedEditing: return rejected("Active flight route is being edited");
    case SetActRouteRefusedUploading: return rejected("A mission transfer is in progress");
    default: return {};
    }
}

json routeSetActive(const Call& call)
{
    MavMissionsController* missions = nullptr;
    MavFlightRouteManager* store = nullptr;
    RoutePtr route;
    if (auto f = requireRoute(call, missions, store, route); f || (f = makeActive(*missions, route)))
        return refuse(call, *f);
    return GcsCliResponse::makeSuccess({{"activeRouteId", route->id().toStdString()}});
}

json routeDefaultWayPoint(const Call& call)
{
    MavMissionsController* missions = nullptr;
    MavFlightRouteManager* store = nullptr;
    if (auto f = requireMissions(call, missions, store))
        return refuse(call, *f);
    if (call.params && call.params->contains("wayPoint")) {
        PointSpec point;
        if (auto f = readPoint(call.params->at("wayPoint"), 0, point, false))
            return refuse(call, *f);
        auto wp = std::make_shared<MavWayPointDataItem>(nullptr, point.data);
        wp->setNextWp(point.nextWp < 0 ? 0 : uint8_t(point.nextWp));
        store->setDefaultWayPointData(wp);
    }
    const auto wp = store->defaultWayPointData();
    return GcsCliResponse::makeSuccess({{"defaultWayPoint", wp ? *wp->toJson() : json(nullptr)}});
}

json fileReport(const MavRouteFileReport& report, const char* doneKey)
{
    json done = json::array();
    for (const QString& id : report.done)
        done.push_back(id.toStdString());
    json skipped = json::array();
    for (const auto& [id, reason] : report.skipped)
        skipped.push_back({{"id", id.toStdString()}, {"reason", reason.toStdString()}});
    return {{"result", report.ret}, {doneKey, std::move(done)}, {"skipped", std::move(skipped)}};
}

// Whole-store copies between the cache and a folder; the answer is what the worker did.
json routeFolderTransfer(const Call& call, bool exporting, const std::string& dir)
{
    MavMissionsController* missions = nullptr;
    MavFlightRouteManager* store = nullptr;
    if (auto f = requireMissions(call, missions, store); f || (f = waitForStore(*store)))
        return refuse(call, *f);
    if (!exporting && missions->isTransferring())
        return refuse(call, *rejected("A mission transfer is in progress"));
    if (!exporting && missions->isEditing())
        return refuse(call, *rejected("Active flight route is being edited"));
    if (exporting)
        store->exportAllToLocal(QString::fromStdString(dir));
    else
        store->importAllFromLocal(QString::fromStdString(dir));
    if (auto f = waitForStore(*store, kFileWaitMs); f && store->isLoadRunning())
        return refuse(call, Refusal{ErrorCode::Timeout, "Route files are still being copied"});
    const MavRouteFileReport report = store->lastFileReport();
    json data = fileReport(report, exporting ? "written" : "imported");
    data["dir"] = dir;
    if (report.ret != 0 && report.done.empty()) {
        const std::string why =
            report.skipped.empty() ? std::string("nothing to copy") : report.skipped.front().second.toStdString();
        spdlog::warn("<cli-router> {} of {} failed: {}", call.method, dir, why);
        return GcsCliResponse::makeError(ErrorCode::CommandRejected,
                                         std::string(exporting ? "Export" : "Import") + " failed: " + why,
                                         GcsCliResponse::ErrorDomain::Business, std::move(data));
    }
    spdlog::info("<cli-router> {} {}: {} routes, {} skipped", call.method, dir, report.done.size(),
                 report.skipped.size());
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
        return routeFolderTransfer(call, true, dir);
    }
    std::string id, path;
    if (auto f = readString(params, "routeId", id); f || (f = readString(params, "path", path)))
        return refuse(call, *f);
    MavMissionsController* missions = nullptr;
    MavFlightRouteManager* store = nullptr;
    RoutePtr route;
    const json byId = {{"id", id}};
    const Call lookup{call.method, call.ctrl, &byId, call.outcomes};
    if (auto f = requireMissions(call, missions, store); f || (f = findRoute(lookup, *store, route)))
        return refuse(call, *f);
    QSaveFile file(QString::fromStdString(path));
    const std::string text = MavRouteGeoJson::toGeoJson(*route).dump(2);
    if (!file.open(QIODevice::WriteOnly) || file.write(text.data(), qint64(text.size())) != qint64(text.size()) ||
        !file.commit())
        return refuse(call, *rejected("Can not write " + path + ": " + file.errorString().toStdString()));
    spdlog::info("<cli-router> route {} exported as GeoJSON to {}", id, path);
    return GcsCliResponse::makeSuccess({{"result", 0},
                                        {"written", json::array({path})},
                                        {"skipped", json::array()},
                                        {"format", "geojson"},
                                        {"wayPointCount", route->wayPointCount()}});
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

// One route from a GeoJSON file (ours or another tool's) into a new route that becomes active.
json routeImportGeoJson(const Call& call, const std::string& path)
{
    const json& params = *call.params;
    std::string name = QFileInfo(QString::fromStdString(path)).completeBaseName().toStdString();
    if (params.contains("name"))
        if (auto f = readString(params, "name", name))
            return refuse(call, *f);
    uint8_t number = 0;
    if (auto f = readUint8(params, "number", number))
        return refuse(call, *f);
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly))
        return refuse(call, *rejected("Can not read " + path + ": " + file.errorString().toStdString()));
    if (file.size() > kMaxGeoJsonBytes)
        return refuse(call, *rejected("File is larger than 16 MiB: " + path));
    const QByteArray bytes = file.readAll();
    const json doc = json::parse(bytes.constBegin(), bytes.constEnd(), nullptr, false);
    QString error;
    const auto route =
        doc.is_discarded() ? nullptr : MavRouteGeoJson::fromGeoJson(doc, QString::fromStdString(name), number, error);
    if (!route)
        return refuse(call, *rejected("Not imported: " +
                                      (doc.is_discarded() ? std::string("not valid JSON") : error.toStdString())));
    MavMissionsController* missions = nullptr;
    MavFlightRouteManager* store = nullptr;
    if (auto f = requireMissionsIdle(call, missions, store))
        return refuse(call, *f);
    if (auto f = waitForStore(*store))
        return refuse(call, *f);
    if (!store->addFlightRoute(route))
        return refuse(call, *rejected("Route store is busy"));
    // A new route opens for editing; this one is complete and already saved.
    missions->setIsEditing(false);
    if (auto f = checkSaved(*store, route))
        return refuse(call, *f);
    spdlog::info("<cli-router> route {} imported from {} with {} waypoints", route->id().toStdString(), path,
                 route->wayPointCount());
    return GcsCliResponse::makeSuccess({{"result", 0},
                                        {"imported", json::array({route->id().toStdString()})},
                                        {"skipped", json::array()},
                                        {"id", route->id().toStdString()},
                                        {"wayPointCount", route->wayPointCount()},
                                        {"findings", findingsJson(missions->checkRoute(route))}});
}

json routeImport(const Call& call)
{
    if (!call.params)
        return refuse(call, *invalid("Missing params object"));
    bool geojson = false;
    if (auto f = readFormat(*call.params, geojson))
        return refuse(call, *f);
    std::string where;
    if (auto f = readString(*call.params, geojson ? "path" : "dir", where))
        return refuse(call, *f);
    if (where.empty())
        return refuse(call, *invalid(geojson ? "path must not be empty" : "dir must not be empty"));
    return geojson ? routeImportGeoJson(call, where) : routeFolderTransfer(call, false, where);
}

// The route a mission method names by "routeId", or the active one.
Failure routeOrActive(const Call& call, MavMissionsController& missions, const MavFlightRouteManager& store,
                      RoutePtr& route)
{
    if (call.params && call.params->contains("routeId")) {
        std::string id;
        if (auto f = readString(*call.params, "routeId", id))
            return f;
        const json byId = {{"id", id}};
        const Call lookup{call.method, call.ctrl, &byId, call.outcomes};
        return findRoute(lookup, store, route);
    }
    route = missions.activeFlightRoute();
    if (!route)
        return rejected("No active flight route");
    return {};
}

json missionCheck(const Call& call)
{
    MavMissionsController* missions = nullptr;
    MavFlightRouteManager* store = nullptr;
    RoutePtr route;
    if (auto f = requireMissions(call, missions, store); f || (f = routeOrActive(call, *missions, *store, route)))
        return refuse(call, *f);
    const auto report = missions->checkRouteReport(route);
    return GcsCliResponse::makeSuccess({{"routeId", route->id().toStdString()},
                                        {"passed", report.passed()},
                                        {"findings", findingsJson(report.findings)},
                                        {"checked", toJson(report)}});
}

// A transfer goes to the active vehicle: a locally linked one, over an open link.
Failure checkTransferVehicle(const Call& call)
{
    auto* mvm = call.ctrl->multiVehicleMgr();
    const auto vehicle = mvm ? mvm->activeVehicle() : nullptr;
    if (!vehicle)
        return Refusal{ErrorCode::NoActiveVehicle, "No matching vehicle or no active vehicle"};
    if (!vehicle->isLocal())
        return rejected("Mission transfer requires a locally linked vehicle");
    if (!call.ctrl->isConnected())
        return rejected("GCS link is not connected; mission transfer is blocked");
    return refuseWhileUpdatingFirmware(*vehicle);
}

json missionTransfer(const Call& call, bool upload)
{
    MavMissionsController* missions = nullptr;
    MavFlightRouteManager* store = nullptr;
    if (auto f = requireMissions(call, missions, store); f || (f = checkTransferVehicle(call)))
        return refuse(call, *f);
    bool force = false, verify = false, intoNewRoute = false;
    if (call.params) {
        if (auto f = readBool(*call.params, upload ? "force" : "intoNewRoute", upload ? force : intoNewRoute))
            return refuse(call, *f);
        if (upload)
            if (auto f = readBool(*call.params, "verify", verify))
                return refuse(call, *f);
        if (intoNewRoute && call.params->contains("routeId"))
            return refuse(call, *invalid("intoNewRoute takes no routeId: the vehicle's route goes into a new route"));
    }
    if (call.params && call.params->contains("routeId")) {
        RoutePtr route;
        if (auto f = routeOrActive(call, *missions, *store, route); f || (f = makeActive(*missions, route)))
            return refuse(call, *f);
    }
    json findings = json::array();
    json checked = nullptr;
    if (upload) {
        const auto route = missions->activeFlightRoute();
        // A count past 255 cannot be sent at all: the record has one byte for it.
        if (route && route->wayPointCount() > kMaxWayPoints)
            return refuse(call, *rejected("Route has more than 255 waypoints"));
        if (route) {
            const auto report = missions->checkRouteReport(route);
            const auto found = report.violations();
            findings = findingsJson(report.findings);
            checked = toJson(report);
            if (!found.empty() && !force) {
                spdlog::warn("<cli-router> mission.upload of route {} refused: {} check findings, first: {}",
                             route->id().toStdString(), found.size(), found.front().text.toStdString());
                return GcsCliResponse::makeError(
                    ErrorCode::CommandRejected,
                    "Route check failed (" + std::to_string(found.size()) +
                        " findings; see data.findings or "
                        "mission.check, or upload with \"force\": true): " +
                        found.front().text.toStdString(),
                    GcsCliResponse::ErrorDomain::Business,
                    {{"routeId", route->id().toStdString()}, {"findings", findings}, {"checked", checked}});
            }
            if (!found.empty())
                spdlog::warn("<cli-router> mission.upload of route {} forced past {} check findings",
                             route->id().toStdString(), found.size());
        }
    }
    const int ret = upload ? missions->upload(verify) : missions->download(intoNewRoute);
    static const char* const texts[] = {
        "",
        "",
        "No active flight route",
        "Active flight route is being edited",
        "A route upload is in progress",
        "A route download is in progress",
        "Vehicle is updating its firmware; mission transfers are refused until it ends"};
    if (ret == 1)
        return refuse(call, Refusal{ErrorCode::NoActiveVehicle, "No matching vehicle or no active vehicle"});
    if (ret != 0)
        return refuse(call, *rejected(ret >= 2 && ret <= 6 ? texts[ret] : "Mission transfer refused"));
    const auto route = missions->activeFlightRoute();
    if (intoNewRoute) {
        spdlog::info("<cli-router> mission.download into a new route started");
        return GcsCliResponse::makeSuccess({{"accepted", true}, {"intoNewRoute", true}});
    }
    spdlog::info("<cli-router> {} of route {} started", call.method, route->id().toStdString());
    json data = {{"accepted", true}, {"routeId", route->id().toStdString()}, {"wayPointCount", route->wayPointCount()}};
    if (upload) {
        data["verify"] = verify;
        data["findings"] = std::move(findings);
        data["checked"] = std::move(checked);
    }
    return GcsCliResponse::makeSuccess(std::move(data));
}

json missionUpload(const Call& call)
{
    return missionTransfer(call, true);
}

json missionDownload(const Call& call)
{
    return missionTransfer(call, false);
}

json missionStart(const Call& call)
{
    VehicleControllerPtr vehicle;
    if (auto f = resolveTarget(call, vehicle))
        return refuse(call, *f);
    if (!vehicle->isLocal())
        return refuse(call, *rejected("mission.start requires a locally controllable vehicle"));
    if (!call.ctrl->isConnected())
        return refuse(call, *rejected("GCS link is not connected; control commands are blocked"));
    if (!vehicle->alive())
        return refuse(call, *rejected("Target vehicle is not alive; control commands are blocked"));
    if (auto f = refuseWhileUpdatingFirmware(*vehicle))
        return refuse(call, *f);
    if (auto missions = call.ctrl->missionsCtrler(); missions && missions->isTransferring())
        return refuse(call, *rejected("A mission transfer is in progress"));
    const int64_t requestId = nextRequestId();
    if (call.outcomes)
        call.outcomes->trackCommand(requestId, "runMission", {vehicle});
    vehicle->runMission();
    spdlog::info("<cli-router> mission.start sent to vehicle {}, requestId {}", vehicle->vehicleId(), requestId);
    return GcsCliResponse::makeSuccess({{"accepted", true}, {"requestId", requestId}, {"action", "runMission"}});
}

json missionStatus(const Call& call)
{
    MavMissionsController* missions = nullptr;
    MavFlightRouteManager* store = nullptr;
    if (auto f = requireMissions(call, missions, store); f || (f = requireOutcomes(call)))
        return refuse(call, *f);
    const auto active = missions->activeFlightRoute();
    json data = call.outcomes->missionTransfers();
    data["activeRouteId"] = active ? json(active->id().toStdString()) : json(nullptr);
    data["isUploading"] = missions->isUploading();
    data["isDownloading"] = missions->isDownloading();
    return GcsCliResponse::makeSuccess(std::move(data));
}

const ParamSpec kRouteIdParam{"id", "string", true, {}, "route id (see route.list)"};

}  // namespace

Failure refuseDuringTransfer(const Call& call)
{
    if (!call.ctrl)
        return {};
    if (auto missions = call.ctrl->missionsCtrler(); missions && missions->isTransferring())
        return rejected("A mission transfer is in progress");
    return {};
}

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
    const ParamSpec routeIdOptional{"routeId", "string", false, {}, "route to make active first"};
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
         {{"routeId", "string", false, {}, "route to check (default: the active route)"}}},
        {"mission.upload",
         missionUpload,
         "Uploads the active route to the active vehicle; refused when mission.check finds anything.",
         {routeIdOptional,
          {"force", "boolean", false, {}, "upload despite check findings"},
          {"verify", "boolean", false, {}, "read the route back and compare it with what was sent"}}},
        {"mission.download",
         missionDownload,
         "Downloads the active vehicle's route into the active route.",
         {routeIdOptional, {"intoNewRoute", "boolean", false, {}, "into a new route; the active route stays"}}},
        {"mission.start",
         missionStart,
         "Starts the uploaded mission; follow it with command.status.",
         {kVehicleIdParam, kVehicleCodeParam}},
        {"mission.status", missionStatus, "Transfer flags and the counts of started and finished transfers.", {}},
    };
    return table;
}

}  // namespace gcscli
