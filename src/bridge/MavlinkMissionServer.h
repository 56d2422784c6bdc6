#pragma once
// The MAVLink mission protocol on the vehicle's side, for the bridge (MISSION_ITEM_INT only).
//
// Download (MISSION_REQUEST_LIST): the vehicle's route is read through the station into a
// scratch route, then offered as MISSION_COUNT and MISSION_ITEM_INT: NAV_TAKEOFF, NAV_WAYPOINT
// (hold time in param1, acceptance radius in param2), NAV_RETURN_TO_LAUNCH and NAV_LAND by the
// waypoint's type, each in GLOBAL_RELATIVE_ALT_INT (GLOBAL_INT for heights above sea level),
// and a DO_CHANGE_SPEED before each waypoint whose speed differs from the last. A repeated
// request list while the count is out answers the count again; the transfer ends with the ground
// station's MISSION_ACK or after 5 s without a request.
//
// Upload (MISSION_COUNT, control only): each item asked for with MISSION_REQUEST_INT, resent
// after 1.5 s up to 5 times; then a stored route "mavlink <time>" is created (it does not become
// the operator's active route) and the station's mission service checks and uploads it to that
// vehicle (the operator's active vehicle stays); MISSION_ACK ACCEPTED only when the vehicle took the
// last waypoint, MAV_MISSION_DENIED when the station refused it (check findings), ERROR when the
// vehicle refused or timed out. An item that cannot be mapped ends the upload at once with
// UNSUPPORTED (a command other than NAV_WAYPOINT, DO_CHANGE_SPEED, NAV_TAKEOFF first,
// NAV_RETURN_TO_LAUNCH or NAV_LAND last) or UNSUPPORTED_FRAME. A repeated last item after the
// outcome (the ground station missed the ack) gets the same ack again, for 10 s.
//
// Mission files as clients load them: an item 0 that is a NAV_WAYPOINT followed by a NAV_TAKEOFF
// is the home position the file carries (the QGC WPL and ArduPilot convention), kept for the round
// trip but not flown; legacy MISSION_ITEM (float degrees) is taken in an upload and answered to a
// MISSION_REQUEST in a download (MISSION_REQUEST_INT gets MISSION_ITEM_INT). Every refusal of an
// upload comes with a STATUSTEXT saying which item and why, beside the MISSION_ACK.
//
// The station cannot clear a vehicle's route nor move its current item: MISSION_CLEAR_ALL is
// DENIED and MISSION_SET_CURRENT (and DO_SET_MISSION_CURRENT, in the bridge) answered with a
// STATUSTEXT saying what to do instead.
//
// Fence download answers the cached no-fly zones as exclusion polygons and circles; fence
// uploads are DENIED, rally points are empty and their uploads UNSUPPORTED.
//
// Round trip: the items a ground station uploaded are kept per vehicle with the route they became;
// a download whose route read back from the vehicle is that route (same points, types, heights)
// answers those items as they came, so what a client uploads downloads identical (no inserted
// DO_CHANGE_SPEED, no RTL altitude or take-off position filled in). Any other route, e.g. one
// the operator uploaded since, is offered as mapped from the station's route.
//
// Choices: a NAV_TAKEOFF or NAV_LAND without a position (0, 0) takes the vehicle's position or
// the previous waypoint's; NAV_RETURN_TO_LAUNCH flies to home at its own altitude if given, else
// at the vehicle's return altitude. Waypoints before any DO_CHANGE_SPEED fly at the route
// template's speed.

#include "bridge/MavlinkMessages.h"
#include "bridge/MavlinkLinks.h"

#include "services/RouteService.h"

#include "MavProtoMissionRecords.h"

#include <nlohmann/json.hpp>

#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <vector>

class MavlinkBridge;

inline constexpr const char* kNoSetCurrent =
    "The station cannot change a route's current item: upload a route starting there and start it";
class MavFlightRouteDataItem;
namespace svc {
struct TransferRecord;
}

namespace FleetReadModel {
struct VehicleState;
}

namespace mavlinkmission {

// The route's waypoints as mission items (seq, targets and mission type left for the caller).
std::vector<mavlink::MissionItemInt> itemsFromRoute(const std::vector<MavProtoWayPointData_t>& route);

struct Mapped {
    std::vector<svc::WayPointSpec> points;  // the route's waypoints
    uint8_t error = 0;  // a MAV_MISSION_RESULT, 0 when mapped
    int badSeq = -1;
};
// Mission items to route points; speed: until the first DO_CHANGE_SPEED.
Mapped pointsFromItems(const std::vector<mavlink::MissionItemInt>& items, const FleetReadModel::VehicleState& vehicle,
                       float speed);

// The zones document's zones as fence items.
std::vector<mavlink::MissionItemInt> fenceItems(const nlohmann::json& zones);

}  // namespace mavlinkmission

class MavlinkMissionServer {
public:
    explicit MavlinkMissionServer(MavlinkBridge& bridge);
    ~MavlinkMissionServer();

    // Mission messages; false when the message is not one of them.
    bool handle(const mavlink::Frame& frame, const MavlinkPeer& peer);
    void tick(int64_t nowMs);
    void vehicleLeft(uint8_t sysid);
    nlohmann::json status() const;

private:
    struct Transfer {
        enum class Kind { Download, Upload };
        enum class Phase { Station, Serving, Receiving };
        Kind kind = Kind::Download;
        Phase phase = Phase::Station;
        uint8_t missionType = 0;
        MavlinkPeer peer;
        uint8_t gcsSystem = 0, gcsComponent = 0;
        std::vector<mavlink::MissionItemInt> items;
        uint16_t count = 0;
        uint16_t nextSeq = 0;
        int64_t deadline = 0;
        int retries = 0;
        std::vector<svc::WayPointSpec> points;  // an upload's route, until the station takes it
        QString routeId;
        bool legacy = false;  // the ground station sends MISSION_ITEM: ask with MISSION_REQUEST
        int64_t requestId = 0;  // the station's transfer, while the phase is Station
    };
    struct Uploaded {
        std::vector<mavlink::MissionItemInt> items;
        std::vector<svc::WayPointSpec> points;
    };
    struct Outcome {
        uint8_t result = 0;
        uint16_t lastSeq = 0;
        int64_t until = 0;
    };

    void requestList(const mavlink::Frame& frame, const MavlinkPeer& peer, uint8_t target, uint8_t type);
    void count(const mavlink::Frame& frame, const MavlinkPeer& peer, const mavlink::MissionCount& m);
    void itemRequested(const mavlink::Frame& frame, const MavlinkPeer& peer, uint8_t target, uint16_t seq, uint8_t type,
                       bool legacy = false);
    void item(const mavlink::Frame& frame, const MavlinkPeer& peer, const mavlink::MissionItemInt& m,
              bool legacy = false);
    void ack(uint8_t sysid, const MavlinkPeer& peer, uint8_t gcsSystem, uint8_t gcsComponent, uint8_t type,
             uint8_t result);
    void requestNext(uint8_t sysid, Transfer& t);
    void sendCount(uint8_t sysid, Transfer& t);
    void finish(uint8_t sysid, uint8_t result, const char* why, const std::string& text = {});
    // Hands the transfer to the station's mission service (which may queue it).
    void startStation(uint8_t sysid, Transfer& t);
    void onStationTransfer(const svc::TransferRecord& record);

    MavlinkBridge& m_bridge;
    std::map<uint8_t, Transfer> m_transfers;
    std::map<uint8_t, Outcome> m_outcomes;
    std::map<uint8_t, Uploaded> m_uploaded;  // per vehicle, the last upload the vehicle took
    int64_t m_now = 0;
    std::map<std::string, uint64_t> m_results;
    std::vector<QMetaObject::Connection> m_connections;
};
