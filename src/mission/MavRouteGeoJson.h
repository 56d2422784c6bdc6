#pragma once
// Routes as GeoJSON (RFC 7946) for other mapping and planning tools.
//
// Export: a FeatureCollection of one LineString Feature (the legs; properties name, routeId,
// number, repeatTimes) then one Point Feature per waypoint in route order (properties number,
// type, action, alt, vel, radius, hoverTime, heading, headingDirection, traceMode, heightType,
// nextWp). Positions are [lon, lat, alt]; alt is the waypoint's own altitude, whose reference
// heightType names (not always the ellipsoid RFC 7946 assumes). action is the type in English:
// takeoff, waypoint, hover, orbit, returnHome, land (null for an unknown type).
//
// Import builds a new multi-point route (fresh id) from:
// - our own export: Point Features that all carry an integer "number", taken in number order
//   with their properties;
// - any other file: Point Features in file order, or else the first LineString's positions;
//   a bare Feature or Geometry is taken like a collection of one.
// Waypoints get numbers 1..N and nextWp "the following one"; type and the other properties
// are taken when present and valid ("speed" is read where "vel" is absent), else defaults
// (type 34, zeros). Every point needs an altitude, from its third coordinate or an "alt"
// property (of the point, or of the LineString's Feature); a missing one refuses the file
// rather than flying at 0 m. "repeatTimes" on the LineString's Feature is taken too.
//
// Choices:
// - A route of under two waypoints exports its LineString Feature with a null geometry (a
//   LineString needs two positions), so the route's properties still travel.
// - A leg across the 180° meridian is not cut into a MultiLineString: the legs stay one line
//   in flight order, and an importer reads them back the same way.
// - Float fields are written in their shortest decimal form (5.1, not 5.099999904632568) and
//   read back to the same float.
// Refusals return null, put an English sentence in `error` and log it under "<RouteGeoJson>";
// nothing throws. Main thread only (the route is a QObject).

#include <QString>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <memory>

class MavFlightRouteDataItem;

class MavRouteGeoJson {
public:
    static nlohmann::json toGeoJson(const MavFlightRouteDataItem& route);
    static std::shared_ptr<MavFlightRouteDataItem> fromGeoJson(const nlohmann::json& doc, const QString& name,
                                                               uint8_t number, QString& error);
};
