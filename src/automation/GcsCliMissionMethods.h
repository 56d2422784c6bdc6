#pragma once
// The route and mission methods of the CLI: route.list, route.get, route.create, route.update,
// route.delete, route.setActive, route.defaultWayPoint, route.export, route.import,
// mission.upload, mission.download, mission.start, mission.status.
//
// Choices where the contract is open:
// - A point without "nextWp" flies on to the following waypoint (nextWp -1); other missing keys
//   take the waypoint defaults (type 34, all else 0).
// - route.update takes any of create's fields but "area"; "points" replaces every waypoint.
// - Saving methods wait up to 2000 ms for the route store's worker, polling its flag (no nested
//   event loop), then answer "Route store is busy".
// - route.export and route.import take an absolute or relative directory; the store only
//   writes and reads route files named by their UUID below it.

#include "GcsCliRouterSupport.h"

namespace gcscli {

const std::vector<MethodSpec>& missionMethods();

// vehicle.setActive and anything else that would move the active vehicle mid-transfer.
Failure refuseDuringTransfer(const Call& call);

}  // namespace gcscli
