#pragma once
// The documents of the fleet page, built from the app controller on the main thread.
//
//   fleet   {"vehicles": [V...], "count", "activeVehicleId", "time"}; V has "key" (vehicleKey)
//   alerts  {"alerts": [{"key", "vehicleId", "vehicleCode", ...alert fields}], "count"}
//   route   {"route": null | {"id", "name", "waypointCount", "waypoints", "area"}}
//   zones   {"zones": [{"id", "name", "shape", "center"+"radius" | "points"}], "count"}
//   link    the CLI's connection.status data
//
// Field names and values are the CLI's: connection.status comes from the app controller's own
// builder, alert records from the router's alerts.active, waypoints from the route's own JSON.
// A vehicle's V is built here from its telemetry items rather than through the router, since
// the server builds every V at every tick: its numbers are rounded to the decimals their
// display elements show, as telemetry.snapshot rounds them, and its linkStats has the fields
// of vehicle.linkStats (the web tests compare both with the router's answers).
//
// Choices:
// - worstAlertLevel is 0 without an active alert, else 1 + the highest VehicleAlertLevel (Info 1,
//   Warning 2, Critical 3), so that 0 can mean "none".
// - A state code without a text shows its number as text, as the display elements do.
// - A zone's id is its numeric id as text and its name is "Zone <id>" (zone records carry no name).
// - The active route is the missions controller's; "area" is the survey polygon of a route
//   generated from one, else null.
// - Alert records go through the router, which needs the process's GcsApplication; with a
//   controller that is not that application's, alerts stay empty (and a warning is logged once).

#include <QtCore/qcontainerfwd.h>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

class GcsAppController;
class VehicleController;
struct VehicleAlert;

namespace GcsFleetJson {

int64_t nowMs();
// What the page keys a vehicle by: "local:ID", or "remote:CODE" (remote vehicles all have id -1).
std::string vehicleKey(const VehicleController& vehicle);
nlohmann::json vehicle(const VehicleController& vehicle, bool active);
// V in two parts: without "linkStats", and that object alone (the ticks send its counters, which
// move at every telemetry request, at most once a second).
nlohmann::json vehicleWithoutLinkStats(const VehicleController& vehicle, bool active);
nlohmann::json linkStats(const VehicleController& vehicle);
// The highest level of the alerts as worstAlertLevel counts it.
int worstAlertLevel(const QList<VehicleAlert>& active);
nlohmann::json fleet(GcsAppController* ctrl);
// One vehicle's alert records as the alerts document lists them (empty without alerts).
nlohmann::json vehicleAlerts(GcsAppController* ctrl, const VehicleController& vehicle);
nlohmann::json alerts(GcsAppController* ctrl);
nlohmann::json activeRoute(GcsAppController* ctrl);
nlohmann::json zones(GcsAppController* ctrl);
nlohmann::json link(GcsAppController* ctrl);

}  // namespace GcsFleetJson
