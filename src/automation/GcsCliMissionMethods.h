#pragma once
// The route and mission methods of the CLI: route.list, route.get, route.create, route.update,
// route.delete, route.setActive, route.defaultWayPoint, route.export, route.import,
// mission.check, mission.upload, mission.download, mission.start, mission.status. They parse
// and answer; the rules are RouteService's and MissionService's.
//
// Choices where the contract is open:
// - A point without "nextWp" flies on to the following waypoint (nextWp -1); other missing keys
//   take the waypoint defaults (type 34, all else 0).
// - route.update takes any of create's fields but "area"; "points" replaces every waypoint.
// - Mission methods take a vehicle selector; without one they address the active vehicle, and
//   they never change it (nor the active route: mission.upload {"routeId"} uploads that route
//   as it is).
// - route.export and route.import take an absolute or relative directory; the store only
//   writes and reads route files named by their UUID below it.

#include "GcsCliRouterSupport.h"

namespace gcscli {

const std::vector<MethodSpec>& missionMethods();

}  // namespace gcscli
