#pragma once
// The route of one simulated vehicle: upload (0x42 basic record, 0x43 waypoints) and download
// (0x40, 0x41), answered through the vehicle's command table. Run mission (SimVehicle) flies
// the stored route, following each waypoint's nextWp (SimFlightModel).
//
// Upload: 0x42 opens an upload of `count` waypoints (answer 0), forgetting any upload still
// open; a count of 0 completes at once and clears the stored route. 0x43 keeps the waypoint
// under its number and answers 0. Once every number 1..count has arrived, the waypoints in
// number order and the basic record as received replace the stored route. The upload stays open
// until the next 0x42, so a resend of a waypoint whose answer was lost (the same bytes) is still
// answered 0. What is acknowledged is what is stored: a number that already arrived in this
// upload with other bytes is refused, so a route with two waypoints of one number is refused
// rather than acknowledged and stored short. Refused with 8, changing nothing: a payload too
// short, a waypoint while no upload is open, a waypoint number outside 1..count, a number that
// arrived before with other bytes.
//
// Download: 0x40 answers 0 and {repeat count, waypoint count, the third byte of the upload's
// basic record, route number} of the stored route (the count is 0 without one), whatever route
// number is asked for. 0x41 answers 0 and the stored waypoint of the number asked for; a
// number of 0 or past the count is refused with 8, and so is a payload too short.
//
// Faults (SimOptions), by waypoint number: an upload that is never answered nor stored
// (wpNoAck), one answered with a given result and not stored (wpResults), a download answer
// whose record carries the route number + 1 (dlWrongRoute) or the waypoint number + 1
// (dlWrongNumber). Only the record sent is altered; the stored route is not. storeAltered is the
// other way round: the upload is acknowledged as sent, but the stored waypoint is 1 m higher (or,
// for 0, the stored repeat count one more), so a read-back differs from what was acknowledged.

#include "MavProtoMissionRecords.h"
#include "SimVehicle.h"

#include <optional>
#include <vector>

class SimVehicleMission {
public:
    // Registers the route commands into the vehicle's table.
    SimVehicleMission(SimVehicle& vehicle, const SimOptions& options);

    bool hasRoute() const { return !m_wayPoints.empty(); }
    // The basic record of the last completed upload (all defaults before one).
    const MavProtoUpWayPointBasicParam_t& basic() const { return m_basic; }
    // Waypoints 1..count of the stored route, in order.
    const std::vector<MavProtoWayPointData_t>& wayPoints() const { return m_wayPoints; }
    // Stores a route as a completed upload would (tests of downloads over a lossy link).
    void setRoute(const MavProtoUpWayPointBasicParam_t& basic, std::vector<MavProtoWayPointData_t> wayPoints)
    {
        m_basic = basic;
        m_wayPoints = std::move(wayPoints);
    }

private:
    SimVehicle::Reply handleUploadBasic(const _MavPFrame_t& frame);
    SimVehicle::Reply handleUploadWayPoint(const _MavPFrame_t& frame);
    SimVehicle::Reply handleDownloadBasic(const _MavPFrame_t& frame);
    SimVehicle::Reply handleDownloadWayPoint(const _MavPFrame_t& frame);
    SimVehicle::Reply refuse(const char* what, const std::string& reason) const;
    void alterStored();

    SimVehicle& m_vehicle;
    const SimOptions& m_options;
    MavProtoUpWayPointBasicParam_t m_basic;
    std::vector<MavProtoWayPointData_t> m_wayPoints;
    // The upload in progress: its basic record and what has arrived, by number - 1.
    std::optional<MavProtoUpWayPointBasicParam_t> m_upload;
    std::vector<std::optional<MavProtoWayPointData_t>> m_received;
};
