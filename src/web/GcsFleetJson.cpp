#include "GcsFleetJson.h"

#include "app/GcsAppController.h"
#include "app/GcsApplication.h"
#include "automation/GcsCliCommandRouter.h"
#include "automation/GcsCliServiceContext.h"
#include "mission/MavFlightRouteDataItem.h"
#include "mission/MavMissionsController.h"
#include "telemetry/MavAhrsDataItem.h"
#include "telemetry/MavFlightStatusDataItem.h"
#include "telemetry/MavPosDataItem.h"
#include "telemetry/MavTelemetryController.h"
#include "telemetry/VehicleAlert.h"
#include "telemetry/VehicleAlertController.h"
#include "vehicle/MultiVehicleManager.h"
#include "vehicle/VehicleController.h"

#include "NfzZoneManager.h"

#include <QDateTime>

#include <spdlog/spdlog.h>

#include <algorithm>
#include <atomic>
#include <cmath>

using nlohmann::json;

namespace {

// The raw value rounded to the decimals its display element shows.
double shown(double value, const MavTeleDataElementPtr& element)
{
    if (!element)
        return value;
    const auto cell = element->displayCell();
    if (!cell.isNumber)
        return value;
    const double scale = std::pow(10.0, cell.decimals);
    return std::round(value * scale) / scale;
}

std::string stateText(const QString& text, int code)
{
    return text.isEmpty() ? std::to_string(code) : text.toStdString();
}

// The router resolves its app controller through the application object.
GcsApplication* routerApp(GcsAppController* ctrl)
{
    GcsApplication* app = gcsApp();
    if (app && app->appCtrler() == ctrl)
        return app;
    static std::atomic<bool> warned{false};
    if (!warned.exchange(true))
        spdlog::warn("<fleet-web> the app controller is not the application's: alerts are left out");
    return nullptr;
}

}  // namespace

namespace GcsFleetJson {

int64_t nowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

int worstAlertLevel(const QList<VehicleAlert>& active)
{
    int worst = 0;
    for (const auto& a : active)
        worst = std::max(worst, int(a.level) + 1);
    return worst;
}

json linkStats(const VehicleController& v)
{
    const auto s = v.linkLossStats();
    return {{"telemetryWindowCount", s.telemetryWindowCount},
            {"telemetryActiveWindowCount", s.telemetryActiveWindowCount},
            {"telemetrySilentWindowCount", s.telemetrySilentWindowCount},
            {"telemetrySilentRate", s.telemetrySilentRate},
            {"ackExpectedCount", s.ackExpectedCount},
            {"ackRecvCount", s.ackRecvCount},
            {"ackLostCount", s.ackLostCount},
            {"ackLossRate", s.ackLossRate}};
}

std::string vehicleKey(const VehicleController& v)
{
    return v.vehicleControllerType() == VehicleControllerType::Remote ? "remote:" + v.vehicleCode().toStdString()
                                                                       : "local:" + std::to_string(v.vehicleId());
}

json vehicle(const VehicleController& v, bool active)
{
    json V = vehicleWithoutLinkStats(v, active);
    V["linkStats"] = linkStats(v);
    return V;
}

json vehicleWithoutLinkStats(const VehicleController& v, bool active)
{
    double lat = 0, lon = 0, alt = 0, north = 0, east = 0, up = 0, heading = 0, fcuVol = 0;
    int sats = 0, battery = 0, mode = 0, state = 0;
    QString batteryText, modeText, stateTextQ;
    if (const auto tele = v.teleCtrler()) {
        if (const auto p = tele->posDataItem()) {
            lat = shown(p->lat(), p->latElement());
            lon = shown(p->lon(), p->lonElement());
            alt = shown(p->alt(), p->altElement());
            north = shown(p->northSpd(), p->northSpdElement());
            east = shown(p->eastSpd(), p->eastSpdElement());
            up = shown(p->upSpd(), p->upSpdElement());
            sats = p->posSatNum();
        }
        if (const auto a = tele->ahrsDataItem())
            heading = shown(a->yaw(), a->yawElement());
        if (const auto s = tele->flightStatusDataItem()) {
            fcuVol = shown(s->fcuVol(), s->fcuVolElement());
            battery = s->batteryState();
            mode = s->flightMode();
            state = s->flightState();
        }
    }
    int worst = 0;
    if (const auto alerts = v.alertCtrler())
        worst = worstAlertLevel(alerts->activeAlerts());
    return {{"key", vehicleKey(v)},
            {"vehicleId", v.vehicleId()},
            {"vehicleCode", v.vehicleCode().toStdString()},
            {"controllerType", v.vehicleControllerType() == VehicleControllerType::Remote ? "Remote" : "Local"},
            {"alive", v.alive()},
            {"active", active},
            {"lat", lat},
            {"lon", lon},
            {"alt", alt},
            {"heading", heading},
            {"northSpd", north},
            {"eastSpd", east},
            {"upSpd", up},
            {"groundSpeed", std::round(std::hypot(north, east) * 100.0) / 100.0},
            {"fcuVol", fcuVol},
            {"batteryState", battery},
            {"batteryStateText", stateText(MavFlightStatusDataItem::batteryStateText(battery), battery)},
            {"posSatNum", sats},
            {"flightMode", mode},
            {"flightModeText", stateText(MavFlightStatusDataItem::flightModeText(mode), mode)},
            {"flightState", state},
            {"flightStateText", stateText(MavFlightStatusDataItem::flightStateText(state), state)},
            {"worstAlertLevel", worst}};
}

json fleet(GcsAppController* ctrl)
{
    json vehicles = json::array();
    json activeId = nullptr;
    if (auto* mvm = ctrl ? ctrl->multiVehicleMgr() : nullptr) {
        const auto active = mvm->activeVehicle();
        if (active)
            activeId = active->vehicleId();
        for (const auto& v : mvm->vehicleList())
            vehicles.push_back(vehicle(*v, v == active));
    }
    const auto count = vehicles.size();
    return {{"vehicles", std::move(vehicles)}, {"count", count}, {"activeVehicleId", activeId}, {"time", nowMs()}};
}

json vehicleAlerts(GcsAppController* ctrl, const VehicleController& v)
{
    json list = json::array();
    const auto alerts = v.alertCtrler();
    if (!alerts || alerts->activeAlerts().isEmpty())
        return list;
    const GcsCliServiceContext context{routerApp(ctrl), nullptr};
    if (!context.app)
        return list;
    const json answer = GcsCliCommandRouter::dispatch(
        context, {{"method", "alerts.active"}, {"params", {{"vehicleId", v.vehicleId()}}}});
    if (answer.value("ok", false) != true)
        return list;
    const json& data = answer["data"];
    for (json entry : data["alerts"]) {
        entry["key"] = vehicleKey(v);
        entry["vehicleId"] = data["vehicleId"];
        entry["vehicleCode"] = data["vehicleCode"];
        list.push_back(std::move(entry));
    }
    return list;
}

json alerts(GcsAppController* ctrl)
{
    json list = json::array();
    if (auto* mvm = ctrl ? ctrl->multiVehicleMgr() : nullptr) {
        for (const auto& v : mvm->vehicleList())
            for (auto& entry : vehicleAlerts(ctrl, *v))
                list.push_back(std::move(entry));
    }
    const auto count = list.size();
    return {{"alerts", std::move(list)}, {"count", count}};
}

json activeRoute(GcsAppController* ctrl)
{
    const auto missions = ctrl ? ctrl->missionsCtrler() : nullptr;
    const auto route = missions ? missions->activeFlightRoute() : nullptr;
    if (!route)
        return {{"route", nullptr}};
    json full = std::move(*route->toJson());
    json area = nullptr;
    if (const auto polygon = full.find("polygon"); polygon != full.end()) {
        area = json::array();
        for (const auto& vertex : *polygon)
            area.push_back({vertex["lat"], vertex["lon"]});
    }
    json& waypoints = full["points"];
    const auto count = waypoints.size();
    return {{"route",
             {{"id", full["id"]},
              {"name", full["name"]},
              {"waypointCount", count},
              {"waypoints", std::move(waypoints)},
              {"area", std::move(area)}}}};
}

json zones(GcsAppController* ctrl)
{
    json list = json::array();
    if (const auto manager = ctrl ? ctrl->nfzZoneManager() : nullptr) {
        for (const auto& z : manager->zones()) {
            json zone = {{"id", std::to_string(z.id)}, {"name", "Zone " + std::to_string(z.id)}};
            if (z.type == NfzRecord::Type::Circle) {
                zone["shape"] = "circle";
                zone["center"] = {z.center.lat, z.center.lon};
                zone["radius"] = z.radius;
            } else {
                zone["shape"] = "polygon";
                json points = json::array();
                for (const auto& p : z.points)
                    points.push_back({p.lat, p.lon});
                zone["points"] = std::move(points);
            }
            list.push_back(std::move(zone));
        }
    }
    const auto count = list.size();
    return {{"zones", std::move(list)}, {"count", count}};
}

json link(GcsAppController* ctrl)
{
    return ctrl ? ctrl->gcsCliConnectionStatusData() : json::object();
}

}  // namespace GcsFleetJson
