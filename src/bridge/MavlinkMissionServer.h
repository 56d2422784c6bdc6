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
// the operator's active route) and handed to the station's mission service for that vehicle (the
// operator's active vehicle stays). MISSION_ACK ACCEPTED as soon as the route is checked, stored
// and its transfer to the vehicle started (or queued): a client never waits on the vehicle link,
// whose latency would outlast its time-out. What the vehicle then does with it follows as a
// STATUSTEXT to that client ("Vehicle 2 took the route ..." or "... did not take the route: why")
// and in MISSION_CURRENT's total, which counts only what the vehicle is known to hold.
// MAV_MISSION_DENIED when the station refused the route (check findings). An item that cannot be
// mapped ends the upload at once with UNSUPPORTED (a command other than NAV_WAYPOINT,
// DO_CHANGE_SPEED, NAV_TAKEOFF first, NAV_RETURN_TO_LAUNCH or NAV_LAND last) or
// UNSUPPORTED_FRAME. A repeated last item after the outcome (the ground station missed the ack)
// gets the same ack again, for 10 s.
//
// Download: answered at once from the station's copy of what the vehicle holds (what it last read
// from the vehicle, or what the vehicle last took from this station, whichever is newer, and only
// while that route is unchanged); the vehicle is read only when the station has no such copy.
//
// Transfers belong to one client and one vehicle (a client: its link, address or connection, and
// its system and component ids): two ground stations never break each other's transfers, a new
// request from a client ends that client's previous one, MISSION_ACK OPERATION_CANCELLED ends it,
// and every answer goes to the client that asked. Only one client uploads to a vehicle at a time.
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

#include <compare>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
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
    // MISSION_CURRENT of a vehicle: total 0 while the station does not know what it holds.
    mavlink::MissionCurrent current(uint8_t sysid) const;

private:
    // Who a transfer belongs to: the vehicle and the client.
    struct Key {
        uint8_t vehicle = 0;
        int link = -1;
        std::string address;
        quint16 port = 0;
        quintptr socket = 0;
        uint8_t system = 0, component = 0;
        auto operator<=>(const Key&) const = default;
    };
    static Key keyOf(uint8_t vehicle, const mavlink::Frame& frame, const MavlinkPeer& peer);
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

    // What the vehicle holds, as the station last learnt it.
    struct Copy {
        std::vector<mavlink::MissionItemInt> items;
        int64_t timeMs = 0;  // since the epoch
    };
    // An upload acknowledged to its client while the station still puts it on the vehicle.
    struct Pending {
        Key key;
        MavlinkPeer peer;
        Uploaded uploaded;
    };

    void requestList(const mavlink::Frame& frame, const MavlinkPeer& peer, uint8_t target, uint8_t type);
    void count(const mavlink::Frame& frame, const MavlinkPeer& peer, const mavlink::MissionCount& m);
    void itemRequested(const mavlink::Frame& frame, const MavlinkPeer& peer, uint8_t target, uint16_t seq, uint8_t type,
                       bool legacy = false);
    void item(const mavlink::Frame& frame, const MavlinkPeer& peer, const mavlink::MissionItemInt& m,
              bool legacy = false);
    void ack(uint8_t sysid, const MavlinkPeer& peer, uint8_t gcsSystem, uint8_t gcsComponent, uint8_t type,
             uint8_t result);
    void requestNext(const Key& key, Transfer& t);
    void sendCount(const Key& key, Transfer& t);
    void finish(const Key& key, uint8_t result, const char* why, const std::string& text = {});
    // Hands the transfer to the station's mission service (which may queue it).
    void startStation(const Key& key, Transfer& t);
    void onStationTransfer(const svc::TransferRecord& record);
    // The items of what the vehicle holds when the station knows it without asking the vehicle.
    std::optional<std::vector<mavlink::MissionItemInt>> knownItems(uint8_t sysid) const;
    bool uploadRunsFromAnotherClient(const Key& key) const;
    void serveOrRead(const Key& key, Transfer& t);
    void resumeWaiting(uint8_t sysid);  // downloads that waited for a transfer to this vehicle
    // Follows each vehicle along the items it holds, from its position: the vehicle does not
    // report its current item, so an item counts as reached when the vehicle comes within its
    // acceptance radius (at least kReachM), its take-off height, or home for a return.
    void follow(int64_t nowMs);
    static constexpr double kReachM = 3.0;
    struct Progress {
        std::optional<std::vector<mavlink::MissionItemInt>> items;
        std::vector<uint16_t> nav;  // the seq of each item the vehicle flies to, in order
        size_t next = 0;  // index into nav
        bool started = false;
        uint8_t state = 0;
        int64_t refreshAt = 0;
    };

    MavlinkBridge& m_bridge;
    std::map<Key, Transfer> m_transfers;
    std::map<Key, Outcome> m_outcomes;
    std::map<uint8_t, Uploaded> m_uploaded;  // per vehicle, the last upload the vehicle took
    std::map<uint8_t, Copy> m_copies;
    std::map<int64_t, Pending> m_pending;  // by the station's requestId
    std::map<uint8_t, Progress> m_progress;
    int64_t m_followAt = 0;
    int64_t m_now = 0;
    std::map<std::string, uint64_t> m_results;
    std::vector<QMetaObject::Connection> m_connections;
};
