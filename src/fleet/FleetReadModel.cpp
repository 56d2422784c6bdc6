#include "FleetReadModel.h"

#include "mission/MavFlightRouteDataItem.h"
#include "mission/MavMissionsController.h"
#include "telemetry/MavAhrsDataItem.h"
#include "telemetry/MavFlightStatusDataItem.h"
#include "telemetry/MavPosDataItem.h"
#include "telemetry/MavTeleDataElement.h"
#include "telemetry/MavTelemetryController.h"
#include "telemetry/VehicleAlert.h"
#include "telemetry/VehicleAlertController.h"
#include "vehicle/MultiVehicleManager.h"
#include "vehicle/VehicleController.h"

#include "NfzZoneManager.h"

#include <QDateTime>

#include <algorithm>
#include <optional>
#include <cmath>

using nlohmann::json;

namespace {

// The raw value rounded to the decimals its display element shows.
double asShown(double value, const MavTeleDataElementPtr& element)
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

json optionalAge(std::optional<int64_t> age)
{
    return age ? json(*age) : json(nullptr);
}

// How long ago the vehicle was last heard; null for never.
void addLinkAges(const VehicleController& v, json& entry)
{
    entry["lastTelemetryAgeMs"] = optionalAge(v.telemetryAgeMs());
    entry["lastHeartbeatAgeMs"] = optionalAge(v.heartbeatAgeMs());
}

// Which display element of its item presents each snapshot field.
struct DisplayField {
    const char* key;
    MavTeleDataElement::TeleElementId id;
};
using E = MavTeleDataElement;
const std::vector<DisplayField> kAhrsDisplay = {{"roll", E::AhrsRoll}, {"pitch", E::AhrsPitch}, {"yaw", E::AhrsYaw},
                                                {"gx", E::AhrsGx},     {"gy", E::AhrsGy},       {"gz", E::AhrsGz}};
const std::vector<DisplayField> kPositionDisplay = {
    {"lat", E::PosLat},           {"lon", E::PosLon},         {"alt", E::PosAlt},
    {"northSpd", E::PosNorthSpd}, {"eastSpd", E::PosEastSpd}, {"upSpd", E::PosUpSpd},
    {"homeLat", E::PosHomeLat},   {"homeLon", E::PosHomeLon}, {"posSatNum", E::PosSatNum}};
const std::vector<DisplayField> kStatusDisplay = {{"flightMode", E::FlightMode},
                                                  {"flightState", E::FlightState},
                                                  {"armedState", E::FlightArmedState},
                                                  {"positionState", E::FlightPositionState},
                                                  {"fcuVol", E::FlightFcuVol},
                                                  {"rcState", E::FlightRcState},
                                                  {"gnssHdop", E::FlightGnssHdop},
                                                  {"gnssVdop", E::FlightGnssVdop},
                                                  {"workState", E::FlightWorkState},
                                                  {"emergencyProtect", E::FlightEmergencyProtect},
                                                  {"headingState", E::FlightHeadingState},
                                                  {"batteryState", E::FlightBatteryState},
                                                  {"linkState", E::FlightLinkState},
                                                  {"imuSensorState", E::FlightImuSensorState},
                                                  {"headingSensorState", E::FlightHeadingSensorState},
                                                  {"gnssPositionState", E::FlightGnssPositionState},
                                                  {"integratedNavigationState", E::FlightIntegratedNavigationState},
                                                  {"totalFlightTime", E::FlightTotalFlightTime},
                                                  {"currentFlightTime", E::FlightCurrentFlightTime},
                                                  {"surplusFlightTime", E::FlightSurplusFlightTime},
                                                  {"takeoffCheck", E::FlightTakeoffCheck}};

// The element's text as a number when it is one (HDOP "0.8"), else as text (a mode's name).
json displayValue(const MavTeleDataElement& element)
{
    const QString text = element.displayValue();
    bool number = false;
    if (const qlonglong whole = text.toLongLong(&number); number)
        return int64_t(whole);
    const double value = text.toDouble(&number);
    return number ? json(value) : json(text.toStdString());
}

// Rounds a raw float to the decimals its element shows, so that answers carry no float noise.
void roundLikeElement(json& raw, const MavTeleDataElement& element)
{
    const QString text = element.value();
    bool number = false;
    text.toDouble(&number);
    if (!raw.is_number_float() || !number)
        return;
    const qsizetype dot = text.indexOf('.');
    const double scale = std::pow(10.0, dot < 0 ? 0 : double(text.size() - dot - 1));
    raw = std::round(raw.get<double>() * scale) / scale;
}

// Fills display (and units) for the fields of one item and rounds its raw values in place.
void presentItem(const MavTeleBaseDataItem* item, const std::vector<DisplayField>& fields, json& raw, json& display,
                 json& units)
{
    display = json::object();
    units = json::object();
    if (!item)
        return;
    const auto elements = item->dataElementList();
    for (const auto& f : fields) {
        const auto el = std::find_if(elements.begin(), elements.end(), [&](const auto& e) { return e->id() == f.id; });
        if (el == elements.end())
            continue;
        display[f.key] = displayValue(**el);
        if (!(*el)->unit().isEmpty())
            units[f.key] = (*el)->unit().toStdString();
        if (raw.contains(f.key))
            roundLikeElement(raw[f.key], **el);
    }
}

}  // namespace

namespace FleetReadModel {

json identity(const VehicleController& v)
{
    return {{"vehicleId", v.vehicleId()}, {"vehicleCode", v.vehicleCode().toStdString()}};
}

json listEntry(const VehicleController& v)
{
    json entry = identity(v);
    entry["controllerType"] = v.vehicleControllerType() == VehicleControllerType::Remote ? "Remote" : "Local";
    entry["alive"] = v.alive();
    entry["address"] = v.address().toStdString();
    addLinkAges(v, entry);
    return entry;
}

json telemetrySnapshot(const VehicleController& vehicle)
{
    json ahrs = json::object();
    json position = json::object();
    json status = json::object();
    json display = {{"ahrs", json::object()}, {"position", json::object()}, {"flightStatus", json::object()}};
    json units = display;
    if (const auto tele = vehicle.teleCtrler()) {
        if (const auto a = tele->ahrsDataItem()) {
            ahrs = {{"roll", a->roll()}, {"pitch", a->pitch()}, {"yaw", a->yaw()},
                    {"gx", a->gx()},     {"gy", a->gy()},       {"gz", a->gz()}};
            presentItem(a.get(), kAhrsDisplay, ahrs, display["ahrs"], units["ahrs"]);
        }
        if (const auto p = tele->posDataItem()) {
            position = {{"lat", p->lat()},           {"lon", p->lon()},         {"alt", p->alt()},
                        {"northSpd", p->northSpd()}, {"eastSpd", p->eastSpd()}, {"upSpd", p->upSpd()},
                        {"homeLat", p->homeLat()},   {"homeLon", p->homeLon()}, {"posSatNum", p->posSatNum()}};
            presentItem(p.get(), kPositionDisplay, position, display["position"], units["position"]);
            // 0/0 is what a vehicle reports before its fix (and for a home it never set): unknown,
            // not a point off Africa.
            for (const auto& [latKey, lonKey] : {std::pair{"lat", "lon"}, std::pair{"homeLat", "homeLon"}}) {
                if (position[latKey] == 0.0 && position[lonKey] == 0.0) {
                    for (const char* key : {latKey, lonKey}) {
                        position[key] = nullptr;
                        display["position"][key] = nullptr;
                    }
                }
            }
        }
        if (const auto s = tele->flightStatusDataItem()) {
            status = {{"flightMode", s->flightMode()},
                      {"flightState", s->flightState()},
                      {"armedState", s->armedState()},
                      {"positionState", s->positionState()},
                      {"fcuVol", s->fcuVol()},
                      {"rcState", s->rcState()},
                      {"gnssHdop", s->gnssHdop()},
                      {"gnssVdop", s->gnssVdop()},
                      {"workState", s->workState()},
                      {"emergencyProtect", s->emergencyProtect()},
                      {"headingState", s->headingState()},
                      {"batteryState", s->batteryState()},
                      {"linkState", s->linkState()},
                      {"imuSensorState", s->imuSensorState()},
                      {"headingSensorState", s->headingSensorState()},
                      {"gnssPositionState", s->gnssPositionState()},
                      {"integratedNavigationState", s->integratedNavigationState()},
                      {"totalFlightTime", s->totalFlightTime()},
                      {"currentFlightTime", s->currentFlightTime()},
                      {"surplusFlightTime", s->surplusFlightTime()},
                      {"takeoffCheck", s->takeoffCheck()}};
            presentItem(s.get(), kStatusDisplay, status, display["flightStatus"], units["flightStatus"]);
        }
    }
    json data = identity(vehicle);
    data["ahrs"] = std::move(ahrs);
    data["position"] = std::move(position);
    data["flightStatus"] = std::move(status);
    display["units"] = std::move(units);
    data["display"] = std::move(display);
    addLinkAges(vehicle, data);
    return data;
}

// The protection and take-off alerts carry their text in currentValue; the others say which
// value they saw against their threshold or the value expected.
std::string alertMessage(const VehicleAlert& a)
{
    return VehicleAlertController::messageOf(a, QDateTime::currentMSecsSinceEpoch()).toStdString();
}

json alertRecords(const VehicleController& v)
{
    QList<VehicleAlert> active;
    if (const auto alerts = v.alertCtrler())
        active = alerts->activeAlerts();
    std::sort(active.begin(), active.end(), [](const VehicleAlert& a, const VehicleAlert& b) { return a.key < b.key; });
    json list = json::array();
    for (const auto& a : active) {
        list.push_back({{"id", a.key.toStdString()},
                        {"sourceField", a.sourceField.toStdString()},
                        {"level", VehicleAlert::levelText(a.level).toStdString()},
                        {"currentValue", a.currentValue.toStdString()},
                        {"expectedValue", a.expectedValue.toStdString()},
                        {"thresholdValue", a.thresholdValue.toStdString()},
                        {"timestampMs", a.timestampMs},
                        {"message", alertMessage(a)}});
    }
    return list;
}

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
    return linkStats(v.linkLossStats());
}

json linkStats(const MavLinkLossStatsSnapshot& s)
{
    json L = json::object();
    auto& o = L.get_ref<json::object_t&>();
    o.emplace("telemetryWindowCount", s.telemetryWindowCount);
    o.emplace("telemetryActiveWindowCount", s.telemetryActiveWindowCount);
    o.emplace("telemetrySilentWindowCount", s.telemetrySilentWindowCount);
    o.emplace("telemetrySilentRate", s.telemetrySilentRate);
    o.emplace("ackExpectedCount", s.ackExpectedCount);
    o.emplace("ackRecvCount", s.ackRecvCount);
    o.emplace("ackLostCount", s.ackLostCount);
    o.emplace("ackLossRate", s.ackLossRate);
    return L;
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

Shown shown(const VehicleController& v, bool active)
{
    Shown s;
    if (const auto tele = v.teleCtrler()) {
        if (const auto p = tele->posDataItem()) {
            s.lat = asShown(p->lat(), p->latElement());
            s.lon = asShown(p->lon(), p->lonElement());
            s.alt = asShown(p->alt(), p->altElement());
            s.north = asShown(p->northSpd(), p->northSpdElement());
            s.east = asShown(p->eastSpd(), p->eastSpdElement());
            s.up = asShown(p->upSpd(), p->upSpdElement());
            s.sats = p->posSatNum();
        }
        if (const auto a = tele->ahrsDataItem())
            s.heading = asShown(a->yaw(), a->yawElement());
        if (const auto f = tele->flightStatusDataItem()) {
            s.fcuVol = asShown(f->fcuVol(), f->fcuVolElement());
            s.battery = f->batteryState();
            s.mode = f->flightMode();
            s.state = f->flightState();
        }
    }
    if (const auto alerts = v.alertCtrler())
        s.worst = worstAlertLevel(alerts->activeAlerts());
    s.vehicleId = v.vehicleId();
    s.vehicleCode = v.vehicleCode();
    s.remote = v.vehicleControllerType() == VehicleControllerType::Remote;
    s.alive = v.alive();
    s.active = active;
    return s;
}

json vehicleWithoutLinkStats(const VehicleController& v, bool active)
{
    return vehicleWithoutLinkStats(shown(v, active), vehicleKey(v));
}

void putPosition(json::object_t& o, const Shown& s)
{
    // A vehicle reports 0/0 until it has a fix: no position then, not a point off Africa.
    const bool noFix = s.lat == 0 && s.lon == 0;
    o.emplace("lat", noFix ? json(nullptr) : json(s.lat));
    o.emplace("lon", noFix ? json(nullptr) : json(s.lon));
    o.emplace("alt", s.alt);
    o.emplace("heading", s.heading);
    o.emplace("northSpd", s.north);
    o.emplace("eastSpd", s.east);
    o.emplace("upSpd", s.up);
    o.emplace("groundSpeed", std::round(std::hypot(s.north, s.east) * 100.0) / 100.0);
    o.emplace("fcuVol", s.fcuVol);
}

json vehicleWithoutLinkStats(const Shown& s, const std::string& key)
{
    // Filled in place: an initializer list builds each pair as an array first, which doubles
    // what a tick of a large fleet allocates.
    json V = json::object();
    auto& o = V.get_ref<json::object_t&>();
    o.emplace("key", key);
    o.emplace("vehicleId", s.vehicleId);
    o.emplace("vehicleCode", s.vehicleCode.toStdString());
    o.emplace("controllerType", s.remote ? "Remote" : "Local");
    o.emplace("alive", s.alive);
    o.emplace("active", s.active);
    putPosition(o, s);
    o.emplace("batteryState", s.battery);
    o.emplace("batteryStateText", stateText(MavFlightStatusDataItem::batteryStateText(s.battery), s.battery));
    o.emplace("posSatNum", s.sats);
    o.emplace("flightMode", s.mode);
    o.emplace("flightModeText", stateText(MavFlightStatusDataItem::flightModeText(s.mode), s.mode));
    o.emplace("flightState", s.state);
    o.emplace("flightStateText", stateText(MavFlightStatusDataItem::flightStateText(s.state), s.state));
    o.emplace("worstAlertLevel", s.worst);
    return V;
}

json fleet(const Sources& sources)
{
    json vehicles = json::array();
    json activeId = nullptr;
    if (auto* mvm = sources.vehicles) {
        const auto active = mvm->activeVehicle();
        if (active)
            activeId = active->vehicleId();
        for (const auto& v : mvm->vehicleList())
            vehicles.push_back(vehicle(*v, v == active));
    }
    const auto count = vehicles.size();
    return {{"vehicles", std::move(vehicles)}, {"count", count}, {"activeVehicleId", activeId}, {"time", nowMs()}};
}

json vehicleAlerts(const VehicleController& v)
{
    json list = alertRecords(v);
    for (json& entry : list) {
        entry["key"] = vehicleKey(v);
        entry["vehicleId"] = v.vehicleId();
        entry["vehicleCode"] = v.vehicleCode().toStdString();
    }
    return list;
}

json alerts(const Sources& sources)
{
    json list = json::array();
    if (auto* mvm = sources.vehicles) {
        for (const auto& v : mvm->vehicleList())
            for (auto& entry : vehicleAlerts(*v))
                list.push_back(std::move(entry));
    }
    const auto count = list.size();
    return {{"alerts", std::move(list)}, {"count", count}};
}

json activeRoute(const Sources& sources)
{
    const auto& missions = sources.missions;
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

json zones(const Sources& sources)
{
    json list = json::array();
    if (const auto& manager = sources.zones) {
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

json link(const Sources& sources)
{
    return sources.linkState ? sources.linkState() : json::object();
}

}  // namespace FleetReadModel
