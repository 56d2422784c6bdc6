#include "SimVehicleMission.h"

#include "MavProtoMissionProcesser.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <cstring>

using P = MavProtoMissionProcesser;
using Reply = SimVehicle::Reply;

SimVehicleMission::SimVehicleMission(SimVehicle& vehicle, const SimOptions& options)
    : m_vehicle(vehicle)
    , m_options(options)
{
    m_vehicle.registerCommand(MavCmd::RouteUploadBasic, [this](const _MavPFrame_t& f) { return handleUploadBasic(f); });
    m_vehicle.registerCommand(MavCmd::RouteUploadWaypoints,
                              [this](const _MavPFrame_t& f) { return handleUploadWayPoint(f); });
    m_vehicle.registerCommand(MavCmd::RouteDownloadBasic,
                              [this](const _MavPFrame_t& f) { return handleDownloadBasic(f); });
    m_vehicle.registerCommand(MavCmd::RouteDownloadWaypoints,
                              [this](const _MavPFrame_t& f) { return handleDownloadWayPoint(f); });
}

Reply SimVehicleMission::handleUploadBasic(const _MavPFrame_t& frame)
{
    MavProtoUpWayPointBasicParam_t basic;
    if (!P::parseUpWayPointBasicParamsReq(frame, basic))
        return refuse("route upload", fmt::format("basic payload of {} bytes, expected 4", frame.data.size()));
    m_upload = basic;
    m_received.assign(basic.wayPointCount, std::nullopt);
    spdlog::info("<VehicleSim> vehicle {} receives route {}: {} waypoints, repeated {} times", m_vehicle.id(),
                 basic.routeNumber, basic.wayPointCount, basic.repeatTimes);
    if (basic.wayPointCount == 0) {
        m_basic = basic;
        m_wayPoints.clear();
        spdlog::info("<VehicleSim> vehicle {} cleared its route", m_vehicle.id());
    }
    return Reply{};
}

Reply SimVehicleMission::handleUploadWayPoint(const _MavPFrame_t& frame)
{
    MavProtoWayPointData_t wp;
    if (!P::parseUpWayPointDataReq(frame, wp))
        return refuse("route upload", fmt::format("waypoint payload of {} bytes, expected 56", frame.data.size()));
    const uint8_t number = wp.number;
    if (m_options.wpNoAck.count(number) > 0) {
        spdlog::info("<VehicleSim> vehicle {} leaves the upload of waypoint {} unanswered", m_vehicle.id(), number);
        return Reply{false, 0};
    }
    const auto forced = m_options.wpResults.find(number);
    if (forced != m_options.wpResults.end()) {
        spdlog::info("<VehicleSim> vehicle {} answers the upload of waypoint {} with {} and drops it", m_vehicle.id(),
                     number, forced->second);
        return Reply{true, forced->second};
    }
    if (!m_upload)
        return refuse("route upload", fmt::format("waypoint {} while no upload is open", number));
    if (number < 1 || number > m_received.size())
        return refuse("route upload", fmt::format("waypoint {} outside 1..{}", number, m_received.size()));

    auto& slot = m_received[number - 1];
    // Only a resend (its answer was lost) may repeat a number; other bytes under it would make the
    // stored route differ from what was acknowledged.
    if (slot && std::memcmp(&*slot, &wp, sizeof wp) != 0)
        return refuse("route upload", fmt::format("waypoint {} arrived again with other contents", number));
    slot = wp;
    spdlog::debug("<VehicleSim> vehicle {} received waypoint {}", m_vehicle.id(), number);
    if (std::all_of(m_received.begin(), m_received.end(), [](const auto& w) { return w.has_value(); })) {
        m_basic = *m_upload;
        m_wayPoints.clear();
        for (const auto& w : m_received)
            m_wayPoints.push_back(*w);
        alterStored();
        spdlog::info("<VehicleSim> vehicle {} stored route {} with {} waypoints", m_vehicle.id(), m_basic.routeNumber,
                     m_wayPoints.size());
    }
    return Reply{};
}

void SimVehicleMission::alterStored()
{
    for (const uint8_t k : m_options.storeAltered) {
        if (k == 0) {
            ++m_basic.repeatTimes;
            spdlog::info("<VehicleSim> vehicle {} stores repeat count {}, not the {} acknowledged", m_vehicle.id(),
                         m_basic.repeatTimes, m_basic.repeatTimes - 1);
        } else if (k <= m_wayPoints.size()) {
            m_wayPoints[k - 1].alt += 1.0;
            spdlog::info("<VehicleSim> vehicle {} stores waypoint {} 1 m higher than acknowledged", m_vehicle.id(), k);
        }
    }
}

Reply SimVehicleMission::handleDownloadBasic(const _MavPFrame_t& frame)
{
    uint8_t asked = 0;
    if (!P::parseDownWayPointBasicParamsReq(frame, asked))
        return refuse("route download", "basic request without a route number");
    const MavProtoDownWayPointBasicParam_t basic{m_basic.repeatTimes, uint8_t(m_wayPoints.size()), m_basic.reserved,
                                                 m_basic.routeNumber};
    spdlog::info("<VehicleSim> vehicle {} sends route {} ({} asked for): {} waypoints", m_vehicle.id(),
                 m_basic.routeNumber, asked, m_wayPoints.size());
    Reply reply;
    reply.pack = [basic](_MavPFrame_t& out, uint8_t id, uint8_t seq, uint8_t result) {
        return P::packDownWayPointBasicParamsAck(out, id, seq, result, basic);
    };
    return reply;
}

Reply SimVehicleMission::handleDownloadWayPoint(const _MavPFrame_t& frame)
{
    MavProtoDownWayPointDataReq_t req;
    if (!P::parseDownWayPointDataReq(frame, req))
        return refuse("route download", fmt::format("waypoint request of {} bytes, expected 2", frame.data.size()));
    if (req.number < 1 || req.number > m_wayPoints.size())
        return refuse("route download", fmt::format("waypoint {} outside 1..{}", req.number, m_wayPoints.size()));
    MavProtoWayPointData_t wp = m_wayPoints[req.number - 1];
    if (m_options.dlWrongRoute.count(req.number) > 0) {
        ++wp.routeNumber;
        spdlog::info("<VehicleSim> vehicle {} sends waypoint {} under route {}", m_vehicle.id(), req.number,
                     wp.routeNumber);
    }
    if (m_options.dlWrongNumber.count(req.number) > 0) {
        ++wp.number;
        spdlog::info("<VehicleSim> vehicle {} sends waypoint {} as number {}", m_vehicle.id(), req.number, wp.number);
    }
    Reply reply;
    reply.pack = [wp](_MavPFrame_t& out, uint8_t id, uint8_t seq, uint8_t result) {
        return P::packDownWayPointDataAck(out, id, seq, result, wp);
    };
    return reply;
}

Reply SimVehicleMission::refuse(const char* what, const std::string& reason) const
{
    spdlog::warn("<VehicleSim> vehicle {} refuses the {}: {}", m_vehicle.id(), what, reason);
    return Reply{true, SimVehicle::kResultOutOfRange};
}
