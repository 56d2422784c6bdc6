#pragma once
// One read model of the fleet: what the CLI's vehicle.list, telemetry.snapshot, alerts.active
// and vehicle.linkStats answer, and the fleet page's documents and ticks, built from the same
// objects by the same code. Main thread only. Below the CLI and the page, above the vehicles:
// it never includes app/, automation/ or web/; its owner hands it the fleet's objects (Sources).
//
//   fleet   {"vehicles": [V...], "count", "activeVehicleId", "time"}; V has "key" (vehicleKey)
//   alerts  {"alerts": [{"key", "vehicleId", "vehicleCode", ...alert record}], "count"}
//   route   {"route": null | {"id", "name", "waypointCount", "waypoints", "area"}}
//   zones   {"zones": [{"id", "name", "shape", "center"+"radius" | "points"}], "count"}
//   link    the connection state (Sources::linkState, the CLI's connection.status)
//
// Choices:
// - A vehicle's V is built from its telemetry items at every page tick: numbers are rounded to
//   the decimals their display elements show (as the snapshot rounds them), and its linkStats
//   has the fields of vehicle.linkStats.
// - worstAlertLevel is 0 without an active alert, else 1 + the highest VehicleAlertLevel (Info 1,
//   Warning 2, Critical 3), so that 0 can mean "none".
// - A state code without a text shows its number as text, as the display elements do.
// - A zone's id is its numeric id as text and its name is "Zone <id>" (zone records carry no name).
// - The active route is the missions controller's; "area" is the survey polygon of a route
//   generated from one, else null.
// - Link ages (lastTelemetryAgeMs, lastHeartbeatAgeMs) are the vehicle's own, null for never.

#include <QString>
#include <QtCore/qcontainerfwd.h>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class MavMissionsController;
class MultiVehicleManager;
class NfzZoneManager;
class VehicleController;
struct MavLinkLossStatsSnapshot;
struct VehicleAlert;

namespace FleetReadModel {

// The fleet's objects, handed down by their owner; any may be missing.
struct Sources {
    MultiVehicleManager* vehicles = nullptr;
    std::shared_ptr<MavMissionsController> missions;
    std::shared_ptr<NfzZoneManager> zones;
    std::function<nlohmann::json()> linkState;
};

// ---- one vehicle, as the CLI answers ----
// {"vehicleId", "vehicleCode"}
nlohmann::json identity(const VehicleController& vehicle);
// vehicle.list's entry: identity, controllerType, alive, address and the link ages.
nlohmann::json listEntry(const VehicleController& vehicle);
// telemetry.snapshot's data: identity, ahrs, position, flightStatus (raw values rounded as
// shown), display (the shown values, and their units) and the link ages.
nlohmann::json telemetrySnapshot(const VehicleController& vehicle);
// alerts.active's records, by id: {"id", "sourceField", "level", "currentValue", "expectedValue",
// "thresholdValue", "timestampMs", "message"}.
nlohmann::json alertRecords(const VehicleController& vehicle);
std::string alertMessage(const VehicleAlert& alert);

// ---- the fleet page ----

int64_t nowMs();
// What the page keys a vehicle by: "local:ID", or "remote:CODE" (remote vehicles all have id -1).
std::string vehicleKey(const VehicleController& vehicle);
nlohmann::json vehicle(const VehicleController& vehicle, bool active);
// V in two parts: without "linkStats", and that object alone (the ticks send its counters, which
// move at every telemetry request, at most once a second).
nlohmann::json vehicleWithoutLinkStats(const VehicleController& vehicle, bool active);
nlohmann::json linkStats(const VehicleController& vehicle);
nlohmann::json linkStats(const MavLinkLossStatsSnapshot& stats);
// What V shows of a vehicle, read without building anything: a page tick compares it with the
// last one to skip a vehicle that has not changed, and builds V only for those that have.
struct Shown {
    double lat = 0, lon = 0, alt = 0, north = 0, east = 0, up = 0, heading = 0, fcuVol = 0;
    int vehicleId = 0, sats = 0, battery = 0, mode = 0, state = 0, worst = 0;
    bool remote = false, alive = false, active = false;
    QString vehicleCode;
    bool operator==(const Shown&) const = default;
};
Shown shown(const VehicleController& vehicle, bool active);
nlohmann::json vehicleWithoutLinkStats(const Shown& shown, const std::string& key);
// lat, lon (null without a fix), alt, heading, the three speeds, groundSpeed and fcuVol, as the
// page and the broker's vehicle document both carry them.
void putPosition(nlohmann::json::object_t& doc, const Shown& shown);
// The highest level of the alerts as worstAlertLevel counts it.
int worstAlertLevel(const QList<VehicleAlert>& active);
nlohmann::json fleet(const Sources& sources);
// One vehicle's alert records as the alerts document lists them (empty without alerts).
nlohmann::json vehicleAlerts(const VehicleController& vehicle);
nlohmann::json alerts(const Sources& sources);
nlohmann::json activeRoute(const Sources& sources);
nlohmann::json zones(const Sources& sources);
nlohmann::json link(const Sources& sources);

}  // namespace FleetReadModel
