#include "MavlinkMissionServer.h"

#include "bridge/MavlinkBridge.h"

#include "fleet/FleetReadModel.h"
#include "fleet/FleetVehicleState.h"
#include "mission/MavFlightRouteDataItem.h"
#include "mission/MavWayPointDataItem.h"
#include "services/MissionService.h"
#include "services/RouteService.h"
#include "services/StationPort.h"
#include "services/VehicleDirectory.h"
#include "services/VehicleServices.h"
#include "vehicle/VehicleController.h"

#include <QDateTime>

#include <spdlog/spdlog.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>

using nlohmann::json;
using namespace mavlink;

namespace {

constexpr int64_t kItemTimeoutMs = 1500;
constexpr int kItemRetries = 5;
constexpr int64_t kServeQuietMs = 5000;
constexpr int64_t kOutcomeKeptMs = 10000;
constexpr uint16_t kMaxItems = 512;  // a route of 255 waypoints with a speed change before each

int32_t degE7(double deg)
{
    return int32_t(std::llround(deg * 1e7));
}

bool isGlobalRelative(uint8_t frame)
{
    return frame == mav::kFrameGlobalRelativeAltInt || frame == mav::kFrameGlobalRelativeAlt;
}

bool isGlobalAbsolute(uint8_t frame)
{
    return frame == mav::kFrameGlobalInt || frame == mav::kFrameGlobal;
}

// The route read back is the one an upload became (within the wire's resolution).
bool sameRoute(const std::vector<svc::WayPointSpec>& sent, const std::vector<MavProtoWayPointData_t>& read)
{
    if (sent.size() != read.size())
        return false;
    for (size_t i = 0; i < sent.size(); ++i) {
        const MavProtoWayPointData_t a = sent[i].data, b = read[i];
        if (a.type != b.type || std::abs(double(a.lat) - double(b.lat)) > 1e-6 ||
            std::abs(double(a.lon) - double(b.lon)) > 1e-6 || std::abs(double(a.alt) - double(b.alt)) > 0.05 ||
            std::abs(double(a.vel) - double(b.vel)) > 0.05 || a.hoverTime != b.hoverTime)
            return false;
    }
    return true;
}

const char* resultName(uint8_t r)
{
    switch (r) {
    case mav::kMissionAccepted: return "ACCEPTED";
    case mav::kMissionError: return "ERROR";
    case mav::kMissionUnsupportedFrame: return "UNSUPPORTED_FRAME";
    case mav::kMissionUnsupported: return "UNSUPPORTED";
    case mav::kMissionNoSpace: return "NO_SPACE";
    case mav::kMissionInvalidSequence: return "INVALID_SEQUENCE";
    case mav::kMissionDenied: return "DENIED";
    case mav::kMissionOperationCancelled: return "OPERATION_CANCELLED";
    }
    return "OTHER";
}

}  // namespace

namespace mavlinkmission {

std::vector<MissionItemInt> itemsFromRoute(const std::vector<MavProtoWayPointData_t>& route)
{
    std::vector<MissionItemInt> items;
    float speed = -1;
    for (const auto& wp : route) {
        const bool nav = wp.type != MAVPROTO_WP_RETURN && wp.type != MAVPROTO_WP_LAND;
        if (nav && wp.vel > 0 && wp.vel != speed) {
            MissionItemInt s;
            s.command = mav::kCmdDoChangeSpeed;
            s.frame = mav::kFrameMission;
            s.param1 = 1;  // ground speed
            s.param2 = wp.vel;
            s.param3 = -1;  // throttle unchanged
            items.push_back(s);
            speed = wp.vel;
        }
        MissionItemInt it;
        it.frame = wp.heightType() == MAVPROTO_HEIGHT_RELATIVE ? mav::kFrameGlobalRelativeAltInt : mav::kFrameGlobalInt;
        it.x = degE7(wp.lat);
        it.y = degE7(wp.lon);
        it.z = float(wp.alt);
        it.param4 =
            wp.headingDirection() == MAVPROTO_HEADING_FIXED ? wp.heading : std::numeric_limits<float>::quiet_NaN();
        switch (wp.type) {
        case MAVPROTO_WP_TAKEOFF: it.command = mav::kCmdNavTakeoff; break;
        case MAVPROTO_WP_RETURN: it.command = mav::kCmdNavReturnToLaunch; break;
        case MAVPROTO_WP_LAND: it.command = mav::kCmdNavLand; break;
        default:
            it.command = mav::kCmdNavWaypoint;
            it.param1 = wp.hoverTime;
            it.param2 = wp.radius;
            break;
        }
        items.push_back(it);
    }
    for (size_t i = 0; i < items.size(); ++i) {
        items[i].seq = uint16_t(i);
        items[i].current = i == 0;
    }
    return items;
}

Mapped pointsFromItems(const std::vector<MissionItemInt>& items, const FleetReadModel::VehicleState& vehicle,
                       float speed)
{
    Mapped out;
    auto fail = [&](uint8_t error, size_t seq) {
        out.error = error;
        out.badSeq = int(seq);
        out.points.clear();
        return out;
    };
    double lastLat = vehicle.lat, lastLon = vehicle.lon;
    size_t lastNav = items.size();
    for (size_t i = items.size(); i-- > 0;)
        if (items[i].command != mav::kCmdDoChangeSpeed) {
            lastNav = i;
            break;
        }
    bool firstNav = true;
    for (size_t i = 0; i < items.size(); ++i) {
        // Copies: the packed item's fields are not aligned for a reference.
        const MissionItemInt it = items[i];
        if (it.command == mav::kCmdDoChangeSpeed) {
            if (!std::isfinite(it.param2))
                return fail(mav::kMissionInvalidParam2, i);
            if (it.param2 > 0)
                speed = it.param2;
            continue;
        }
        const bool takeoff = it.command == mav::kCmdNavTakeoff && firstNav;
        const bool finalItem = i == lastNav;
        const bool rtl = it.command == mav::kCmdNavReturnToLaunch && finalItem;
        const bool land = it.command == mav::kCmdNavLand && finalItem;
        if (it.command != mav::kCmdNavWaypoint && !takeoff && !rtl && !land)
            return fail(mav::kMissionUnsupported, i);
        firstNav = false;
        uint8_t heightType = 0;
        if (!rtl) {
            if (isGlobalAbsolute(it.frame))
                heightType = 1;
            else if (!isGlobalRelative(it.frame))
                return fail(mav::kMissionUnsupportedFrame, i);
        }
        double lat = it.x * 1e-7, lon = it.y * 1e-7;
        const bool noPosition = it.x == 0 && it.y == 0;
        if (noPosition && it.command == mav::kCmdNavWaypoint)
            return fail(mav::kMissionInvalidParam5X, i);
        svc::WayPointSpec p;
        p.data.vel = speed;
        if (takeoff) {
            if (noPosition)
                lat = vehicle.lat, lon = vehicle.lon;
            p.data.type = MAVPROTO_WP_TAKEOFF;
            p.data.alt = std::isfinite(it.z) ? it.z : 0.0f;
        } else if (rtl) {
            lat = vehicle.homeLat, lon = vehicle.homeLon;
            p.data.type = MAVPROTO_WP_RETURN;
            double alt = it.z > 0 ? double(it.z) : double(vehicle.returnAltitude);
            if (!(alt > 0))
                alt = std::max(vehicle.alt, 30.0);
            p.data.alt = alt;
        } else if (land) {
            if (noPosition)
                lat = lastLat, lon = lastLon;
            p.data.type = MAVPROTO_WP_LAND;
            p.data.alt = 0.0;
        } else {
            if (!std::isfinite(it.z))
                return fail(mav::kMissionInvalidParam7, i);
            const double hold = std::isfinite(it.param1) ? std::clamp(double(it.param1), 0.0, 65535.0) : 0.0;
            p.data.type = hold > 0 ? MAVPROTO_WP_HOVER : MAVPROTO_WP_PASS;
            p.data.alt = it.z;
            p.data.hoverTime = uint16_t(std::lround(hold));
            if (std::isfinite(it.param2) && it.param2 > 0)
                p.data.radius = it.param2;
            if (std::isfinite(it.param4)) {
                p.data.heading = it.param4;
                p.data.setHeadingDirection(MAVPROTO_HEADING_FIXED);
            }
        }
        p.data.setHeightType(rtl ? 0 : heightType);
        p.data.lat = lat;
        p.data.lon = lon;
        lastLat = lat;
        lastLon = lon;
        out.points.push_back(p);
    }
    if (out.points.empty())
        return fail(mav::kMissionDenied, 0);
    return out;
}

std::vector<MissionItemInt> fenceItems(const json& zones)
{
    std::vector<MissionItemInt> items;
    for (const auto& z : zones.value("zones", json::array())) {
        if (z.value("shape", "") == "circle") {
            MissionItemInt it;
            it.command = mav::kCmdFenceCircleExclusion;
            it.frame = mav::kFrameGlobalInt;
            it.param1 = z.value("radius", 0.0f);
            it.x = degE7(z["center"][0].get<double>());
            it.y = degE7(z["center"][1].get<double>());
            items.push_back(it);
            continue;
        }
        const auto& points = z["points"];
        for (const auto& p : points) {
            MissionItemInt it;
            it.command = mav::kCmdFencePolygonVertexExclusion;
            it.frame = mav::kFrameGlobalInt;
            it.param1 = float(points.size());
            it.x = degE7(p[0].get<double>());
            it.y = degE7(p[1].get<double>());
            items.push_back(it);
        }
    }
    for (size_t i = 0; i < items.size(); ++i) {
        items[i].seq = uint16_t(i);
        items[i].missionType = mav::kMissionTypeFence;
    }
    return items;
}

}  // namespace mavlinkmission

MavlinkMissionServer::MavlinkMissionServer(MavlinkBridge& bridge)
    : m_bridge(bridge)
{
    m_connections.push_back(QObject::connect(&m_bridge.services().missions(), &svc::MissionService::transferFinished,
                                             &m_bridge,
                                             [this](const svc::TransferRecord& r) { onStationTransfer(r); }));
}

MavlinkMissionServer::~MavlinkMissionServer()
{
    for (auto& c : m_connections)
        QObject::disconnect(c);
}

MavlinkMissionServer::Key MavlinkMissionServer::keyOf(uint8_t vehicle, const Frame& frame, const MavlinkPeer& peer)
{
    return {vehicle,
            peer.link,
            peer.socket ? std::string() : peer.address.toString().toStdString(),
            peer.port,
            quintptr(peer.socket),
            frame.sysid,
            frame.compid};
}

bool MavlinkMissionServer::handle(const Frame& frame, const MavlinkPeer& peer)
{
    switch (frame.msgid) {
    case kMissionRequestList: {
        const auto m = frame.as<MissionRequestList>();
        requestList(frame, peer, m.targetSystem, m.missionType);
        return true;
    }
    case kMissionCount: count(frame, peer, frame.as<MissionCount>()); return true;
    case kMissionRequestInt:
    case kMissionRequest: {
        const auto m = frame.as<MissionRequest>();
        itemRequested(frame, peer, m.targetSystem, m.seq, m.missionType, frame.msgid == kMissionRequest);
        return true;
    }
    case kMissionItemInt: item(frame, peer, frame.as<MissionItemInt>()); return true;
    case kMissionItem: {
        const auto old = frame.as<MissionItem>();
        MissionItemInt m;
        std::memcpy(static_cast<void*>(&m), &old, sizeof(m));  // the same layout but for x and y
        const bool global = isGlobalAbsolute(old.frame) || isGlobalRelative(old.frame) ||
                            old.frame == mav::kFrameGlobalInt || old.frame == mav::kFrameGlobalRelativeAltInt;
        m.x = global && std::isfinite(old.x) ? degE7(old.x) : 0;
        m.y = global && std::isfinite(old.y) ? degE7(old.y) : 0;
        item(frame, peer, m, true);
        return true;
    }
    case kMissionAck: {
        const auto m = frame.as<MissionAck>();
        auto it = m_transfers.find(keyOf(m.targetSystem, frame, peer));
        if (it == m_transfers.end())
            return true;
        if (m.type == mav::kMissionOperationCancelled) {
            spdlog::info("<mavlink> vehicle {}: ground station {} cancelled its {}", m.targetSystem, frame.sysid,
                         it->second.kind == Transfer::Kind::Upload ? "upload" : "download");
            ++m_results["cancelled"];
            m_transfers.erase(it);
        } else if (it->second.kind == Transfer::Kind::Download && it->second.phase == Transfer::Phase::Serving) {
            spdlog::info("<mavlink> vehicle {}: ground station {} read the {} items ({})", m.targetSystem, frame.sysid,
                         it->second.count, resultName(m.type));
            m_transfers.erase(it);
        }
        return true;
    }
    case kMissionClearAll: {
        const auto m = frame.as<MissionClearAll>();
        if (!m_bridge.entryFor(m.targetSystem)) {
            m_bridge.countUnknownTarget(frame);
            return true;
        }
        m_bridge.sendText(m.targetSystem, mav::kSeverityWarning,
                          "The station does not clear a vehicle's route: upload the route it should hold", &peer);
        ack(m.targetSystem, peer, frame.sysid, frame.compid, m.missionType, mav::kMissionDenied);
        return true;
    }
    case kMissionSetCurrent: {
        const auto m = frame.as<MissionSetCurrent>();
        if (!m_bridge.entryFor(m.targetSystem)) {
            m_bridge.countUnknownTarget(frame);
            return true;
        }
        m_bridge.sendText(m.targetSystem, mav::kSeverityWarning, kNoSetCurrent, &peer);
        return true;
    }
    default: return false;
    }
}

void MavlinkMissionServer::ack(uint8_t sysid, const MavlinkPeer& peer, uint8_t gcsSystem, uint8_t gcsComponent,
                               uint8_t type, uint8_t result)
{
    MissionAck a;
    a.targetSystem = gcsSystem;
    a.targetComponent = gcsComponent;
    a.type = result;
    a.missionType = type;
    m_bridge.m_links.reply(peer, a, sysid, 1);
}

std::optional<std::vector<MissionItemInt>> MavlinkMissionServer::knownItems(uint8_t sysid) const
{
    const auto copy = m_copies.find(sysid);
    const auto upload = m_bridge.services().missions().lastUpload(sysid);
    if (upload && (copy == m_copies.end() || upload->timeMs > copy->second.timeMs)) {
        // The operator (or another client) put a route on it since: known only if it went up whole
        // and is still the route it was.
        if (!upload->result || *upload->result != 0)
            return std::nullopt;
        const auto route = m_bridge.services().routes().find(upload->routeId);
        if (!route.ok() || !route.value || svc::MissionService::contentHash(*route.value) != upload->contentHash)
            return std::nullopt;
        std::vector<MavProtoWayPointData_t> records;
        for (const auto& wp : route.value->wayPointList())
            records.push_back(wp->protoData());
        if (const auto up = m_uploaded.find(sysid); up != m_uploaded.end() && sameRoute(up->second.points, records))
            return up->second.items;
        return mavlinkmission::itemsFromRoute(records);
    }
    if (copy == m_copies.end())
        return std::nullopt;
    return copy->second.items;
}

MissionCurrent MavlinkMissionServer::current(uint8_t sysid) const
{
    MissionCurrent m;
    const auto p = m_progress.find(sysid);
    if (p == m_progress.end() || !p->second.items)
        return m;  // total 0, state unknown: the station does not know what the vehicle holds
    const Progress& progress = p->second;
    m.total = uint16_t(progress.items->size());
    m.seq = progress.next < progress.nav.size() ? progress.nav[progress.next] : m.total;
    m.missionState = progress.state;
    return m;
}

void MavlinkMissionServer::follow(int64_t nowMs)
{
    if (nowMs < m_followAt)
        return;
    m_followAt = nowMs + 200;
    for (auto it = m_progress.begin(); it != m_progress.end();)
        it = m_bridge.m_vehicles.count(it->first) ? std::next(it) : m_progress.erase(it);
    for (const auto& [sysid, entry] : m_bridge.m_vehicles) {
        const auto vehicle = entry.vehicle.lock();
        if (!vehicle || !vehicle->alive())
            continue;
        Progress& p = m_progress[sysid];
        if (nowMs >= p.refreshAt) {
            p.refreshAt = nowMs + 1000;
            auto items = knownItems(sysid);
            const bool same =
                items && p.items && items->size() == p.items->size() &&
                std::equal(items->begin(), items->end(), p.items->begin(),
                           [](const auto& a, const auto& b) { return std::memcmp(&a, &b, sizeof(a)) == 0; });
            if (!same) {
                p = Progress{std::move(items), {}, 0, false, 0, p.refreshAt};
                if (p.items)
                    for (const auto& item : *p.items)
                        if (item.command != mav::kCmdDoChangeSpeed)
                            p.nav.push_back(item.seq);
                p.state = !p.items        ? mav::kMissionStateUnknown
                          : p.nav.empty() ? mav::kMissionStateNone
                                          : mav::kMissionStateNotStarted;
            }
        }
        if (!p.items || p.nav.empty() || p.next >= p.nav.size())
            continue;
        const auto s = FleetReadModel::vehicleState(*vehicle);
        const bool flying = s.flightState != 0 && s.flightState != 5;
        const bool autoMode = s.flightMode == 3;
        if (!s.telemetryKnown || (s.lat == 0 && s.lon == 0))
            continue;
        if (flying && autoMode)
            p.started = true;
        if (!p.started)
            continue;
        p.state = flying && !autoMode ? mav::kMissionStatePaused : mav::kMissionStateActive;
        const MissionItemInt& target = (*p.items)[p.nav[p.next]];
        const auto distanceTo = [&](double lat, double lon) {
            constexpr double kEarthM = 6371000.0;
            const double rad = std::numbers::pi / 180.0;
            const double dn = (lat - s.lat) * rad * kEarthM;
            const double de = (lon - s.lon) * rad * kEarthM * std::cos(s.lat * rad);
            return std::hypot(dn, de);
        };
        bool reached = false;
        if (target.command == mav::kCmdNavTakeoff)
            reached = s.alt >= double(target.z) - 1.0;
        else if (target.command == mav::kCmdNavReturnToLaunch)
            reached = !(s.homeLat == 0 && s.homeLon == 0) && distanceTo(s.homeLat, s.homeLon) <= kReachM;
        else if (target.x != 0 || target.y != 0)
            reached = distanceTo(target.x * 1e-7, target.y * 1e-7) <=
                      std::max(kReachM, target.command == mav::kCmdNavWaypoint ? double(target.param2) : 0.0);
        if (!reached)
            continue;
        MissionItemReached r;
        r.seq = target.seq;
        m_bridge.m_links.broadcast(r, sysid, 1);
        spdlog::debug("<mavlink> vehicle {}: item {} reached", sysid, r.seq);
        if (++p.next >= p.nav.size())
            p.state = mav::kMissionStateComplete;
    }
}

void MavlinkMissionServer::requestList(const Frame& frame, const MavlinkPeer& peer, uint8_t target, uint8_t type)
{
    if (!m_bridge.entryFor(target)) {
        m_bridge.countUnknownTarget(frame);
        return;
    }
    const Key key = keyOf(target, frame, peer);
    if (auto existing = m_transfers.find(key); existing != m_transfers.end()) {
        Transfer& t = existing->second;
        if (t.kind == Transfer::Kind::Download && t.missionType == type) {
            // The client missed the count, or is still waiting for the station.
            if (t.phase == Transfer::Phase::Serving) {
                t.peer = peer;
                sendCount(key, t);
            }
            return;
        }
        spdlog::info("<mavlink> vehicle {}: ground station {} asks again; its previous transfer ends", target,
                     frame.sysid);
        m_transfers.erase(existing);
    }
    Transfer t;
    t.kind = Transfer::Kind::Download;
    t.missionType = type;
    t.peer = peer;
    t.gcsSystem = frame.sysid;
    t.gcsComponent = frame.compid;
    if (type == mav::kMissionTypeFence || type == mav::kMissionTypeRally) {
        if (type == mav::kMissionTypeFence)
            t.items = mavlinkmission::fenceItems(FleetReadModel::zones(m_bridge.m_station->fleetSources()));
        t.phase = Transfer::Phase::Serving;
        sendCount(key, m_transfers[key] = std::move(t));
        return;
    }
    if (type != mav::kMissionTypeMission) {
        ack(target, peer, frame.sysid, frame.compid, type, mav::kMissionUnsupported);
        return;
    }
    spdlog::info("<mavlink> vehicle {}: ground station {} asks for its route", target, frame.sysid);
    serveOrRead(key, m_transfers[key] = std::move(t));
}

// From the station's copy when it has one; after an upload on its way, once the vehicle has
// answered it (the vehicle takes one transfer at a time); else read from the vehicle.
void MavlinkMissionServer::serveOrRead(const Key& key, Transfer& t)
{
    const bool vehicleBusy = std::any_of(m_pending.begin(), m_pending.end(),
                                         [&](const auto& p) { return p.second.key.vehicle == key.vehicle; }) ||
                             std::any_of(m_transfers.begin(), m_transfers.end(), [&](const auto& other) {
                                 return other.first.vehicle == key.vehicle &&
                                        other.second.phase == Transfer::Phase::Station && other.second.requestId != 0;
                             });
    if (vehicleBusy) {
        t.phase = Transfer::Phase::Station;
        t.requestId = 0;
        spdlog::info("<mavlink> vehicle {}: the download waits for the transfer on its way", key.vehicle);
        return;
    }
    if (auto known = knownItems(key.vehicle)) {
        spdlog::info("<mavlink> vehicle {}: {} items from the station's copy", key.vehicle, known->size());
        t.items = std::move(*known);
        for (size_t i = 0; i < t.items.size(); ++i)
            t.items[i].seq = uint16_t(i);
        t.phase = Transfer::Phase::Serving;
        ++m_results["downloads"];
        sendCount(key, t);
        return;
    }
    startStation(key, t);
}

void MavlinkMissionServer::sendCount(const Key& key, Transfer& t)
{
    t.count = uint16_t(t.items.size());
    MissionCount c;
    c.count = t.count;
    c.targetSystem = t.gcsSystem;
    c.targetComponent = t.gcsComponent;
    c.missionType = t.missionType;
    m_bridge.m_links.reply(t.peer, c, key.vehicle, 1);
    t.deadline = m_now + kServeQuietMs;
    if (t.count == 0)
        m_transfers.erase(key);  // nothing to ask for: the count is the whole answer
}

void MavlinkMissionServer::itemRequested(const Frame& frame, const MavlinkPeer& peer, uint8_t target, uint16_t seq,
                                         uint8_t type, bool legacy)
{
    auto it = m_transfers.find(keyOf(target, frame, peer));
    if (it == m_transfers.end()) {
        if (!m_bridge.entryFor(target))
            m_bridge.countUnknownTarget(frame);
        return;
    }
    Transfer& t = it->second;
    if (t.kind != Transfer::Kind::Download || t.phase != Transfer::Phase::Serving || t.missionType != type)
        return;
    if (seq >= t.items.size()) {
        ack(target, peer, frame.sysid, frame.compid, type, mav::kMissionInvalidSequence);
        m_transfers.erase(it);
        return;
    }
    MissionItemInt item = t.items[seq];
    item.targetSystem = frame.sysid;
    item.targetComponent = frame.compid;
    item.missionType = type;
    if (legacy) {
        MissionItem old;
        std::memcpy(static_cast<void*>(&old), &item, sizeof(old));
        const bool global = isGlobalAbsolute(item.frame) || isGlobalRelative(item.frame);
        old.x = global ? float(item.x * 1e-7) : float(item.x);
        old.y = global ? float(item.y * 1e-7) : float(item.y);
        m_bridge.m_links.reply(peer, old, target, 1);
    } else {
        m_bridge.m_links.reply(peer, item, target, 1);
    }
    t.deadline = m_now + kServeQuietMs;
}

bool MavlinkMissionServer::uploadRunsFromAnotherClient(const Key& key) const
{
    return std::any_of(m_transfers.begin(), m_transfers.end(), [&](const auto& entry) {
        return entry.first.vehicle == key.vehicle && !(entry.first == key) &&
               entry.second.kind == Transfer::Kind::Upload;
    });
}

void MavlinkMissionServer::count(const Frame& frame, const MavlinkPeer& peer, const MissionCount& m)
{
    const uint8_t target = m.targetSystem;
    if (!m_bridge.entryFor(target)) {
        m_bridge.countUnknownTarget(frame);
        return;
    }
    auto refuse = [&](uint8_t result, const char* why) {
        spdlog::warn("<mavlink> vehicle {}: upload of {} items from ground station {} refused: {}", target, m.count,
                     frame.sysid, why);
        ++m_results[resultName(result)];
        m_bridge.sendText(target, mav::kSeverityWarning, std::string("Mission upload refused: ") + why, &peer);
        ack(target, peer, frame.sysid, frame.compid, m.missionType, result);
    };
    if (!m_bridge.m_options.control)
        return refuse(mav::kMissionDenied, "the bridge is read-only (no --mavlink-control)");
    if (m.missionType == mav::kMissionTypeFence)
        return refuse(mav::kMissionDenied, "no-fly zones come from the cloud, not from ground stations");
    if (m.missionType != mav::kMissionTypeMission)
        return refuse(mav::kMissionUnsupported, "only routes can be uploaded");
    const Key key = keyOf(target, frame, peer);
    if (auto existing = m_transfers.find(key); existing != m_transfers.end()) {
        Transfer& t = existing->second;
        if (t.kind == Transfer::Kind::Upload && t.phase == Transfer::Phase::Receiving && t.count == m.count &&
            t.nextSeq == 0) {
            requestNext(key, t);  // our first request was lost
            return;
        }
        spdlog::info("<mavlink> vehicle {}: ground station {} starts an upload; its previous transfer ends", target,
                     frame.sysid);
        m_transfers.erase(existing);
    }
    if (uploadRunsFromAnotherClient(key))
        return refuse(mav::kMissionDenied, "another ground station is uploading a route to this vehicle");
    if (m.count == 0)
        return refuse(mav::kMissionDenied, "an empty route is not uploaded");
    if (m.count > kMaxItems)
        return refuse(mav::kMissionNoSpace, "more items than a route of 255 waypoints needs");
    m_outcomes.erase(key);
    Transfer t;
    t.kind = Transfer::Kind::Upload;
    t.phase = Transfer::Phase::Receiving;
    t.missionType = m.missionType;
    t.peer = peer;
    t.gcsSystem = frame.sysid;
    t.gcsComponent = frame.compid;
    t.count = m.count;
    t.items.reserve(m.count);
    spdlog::info("<mavlink> vehicle {}: ground station {} uploads {} items", target, frame.sysid, m.count);
    requestNext(key, m_transfers[key] = std::move(t));
}

void MavlinkMissionServer::requestNext(const Key& key, Transfer& t)
{
    MissionRequestInt r;
    r.seq = t.nextSeq;
    r.targetSystem = t.gcsSystem;
    r.targetComponent = t.gcsComponent;
    r.missionType = t.missionType;
    if (t.legacy)
        m_bridge.m_links.reply(t.peer, static_cast<const MissionRequest&>(r), key.vehicle, 1);
    else
        m_bridge.m_links.reply(t.peer, r, key.vehicle, 1);
    t.deadline = m_now + kItemTimeoutMs;
}

void MavlinkMissionServer::item(const Frame& frame, const MavlinkPeer& peer, const MissionItemInt& m, bool legacy)
{
    const uint8_t target = m.targetSystem;
    const Key key = keyOf(target, frame, peer);
    auto it = m_transfers.find(key);
    if (it == m_transfers.end()) {
        if (!m_bridge.entryFor(target)) {
            m_bridge.countUnknownTarget(frame);
            return;
        }
        // The last item again: the client did not get our ack.
        auto done = m_outcomes.find(key);
        if (done != m_outcomes.end() && done->second.lastSeq == m.seq && m_now < done->second.until)
            ack(target, peer, frame.sysid, frame.compid, m.missionType, done->second.result);
        return;
    }
    Transfer& t = it->second;
    if (t.kind != Transfer::Kind::Upload || t.phase != Transfer::Phase::Receiving)
        return;
    if (m.seq != t.nextSeq || m.missionType != t.missionType) {
        if (m.seq + 1 == t.nextSeq)
            requestNext(key, t);  // our request crossed its repeat: ask again
        return;
    }
    t.legacy = legacy;
    t.items.push_back(m);
    t.retries = 0;
    if (++t.nextSeq < t.count) {
        requestNext(key, t);
        return;
    }
    const auto vehicle = m_bridge.entryFor(target)->vehicle.lock();
    const auto state = vehicle ? FleetReadModel::vehicleState(*vehicle) : FleetReadModel::VehicleState{};
    float speed = 5;
    if (const auto tmpl = m_bridge.services().routes().defaultWayPoint())
        speed = tmpl->protoData().vel;
    if (!(speed > 0))
        speed = 5;
    // A file's home at item 0 (a waypoint before the take-off) is kept for the round trip, not flown.
    size_t first = 0;
    if (t.items.size() >= 2 && t.items[0].command == mav::kCmdNavWaypoint) {
        for (size_t i = 1; i < t.items.size(); ++i)
            if (t.items[i].command != mav::kCmdDoChangeSpeed) {
                first = t.items[i].command == mav::kCmdNavTakeoff ? 1 : 0;
                break;
            }
    }
    auto mapped = mavlinkmission::pointsFromItems(
        std::vector<MissionItemInt>(t.items.begin() + std::ptrdiff_t(first), t.items.end()), state, speed);
    if (mapped.error) {
        const size_t bad = size_t(mapped.badSeq) + first;
        const std::string why =
            "item " + std::to_string(bad) + " (command " + std::to_string(uint16_t(t.items[bad].command)) + ") " +
            (mapped.error == mav::kMissionUnsupportedFrame ? "has a frame the station cannot fly"
             : mapped.error == mav::kMissionUnsupported
                 ? "cannot be flown by the station here (waypoints, speed changes, a first "
                   "take-off, a last return or land)"
                 : "has a value the station cannot fly (" + std::string(resultName(mapped.error)) + ")");
        spdlog::warn("<mavlink> vehicle {}: upload {}", target, why);
        finish(key, mapped.error, "item not mapped", "Mission upload refused: " + why);
        return;
    }
    t.deadline = 0;
    t.points = std::move(mapped.points);
    startStation(key, t);
}

void MavlinkMissionServer::finish(const Key& key, uint8_t result, const char* why, const std::string& text)
{
    auto it = m_transfers.find(key);
    if (it == m_transfers.end())
        return;
    Transfer& t = it->second;
    if (result != mav::kMissionAccepted && t.kind == Transfer::Kind::Upload)
        m_bridge.sendText(key.vehicle, mav::kSeverityWarning,
                          text.empty() ? std::string("Mission upload failed: ") + why : text, &t.peer);
    ack(key.vehicle, t.peer, t.gcsSystem, t.gcsComponent, t.missionType, result);
    ++m_results[resultName(result)];
    if (t.kind == Transfer::Kind::Upload)
        m_outcomes[key] = {result, uint16_t(t.count - 1), m_now + kOutcomeKeptMs};
    spdlog::log(result == mav::kMissionAccepted ? spdlog::level::info : spdlog::level::warn,
                "<mavlink> vehicle {}: {} {} ({})", key.vehicle,
                t.kind == Transfer::Kind::Upload ? "upload" : "download", resultName(result), why);
    m_transfers.erase(it);
}

// The station's services queue the transfer when another runs; the operator's active vehicle and
// route stay as they are. An upload is acknowledged here; a download waits for the vehicle.
void MavlinkMissionServer::startStation(const Key& key, Transfer& t)
{
    const uint8_t sysid = key.vehicle;
    auto& services = m_bridge.services();
    const auto vehicle = services.directory().byId(sysid);
    if (!vehicle.ok()) {
        finish(key, mav::kMissionError, vehicle.status.message.c_str());
        return;
    }
    t.phase = Transfer::Phase::Station;
    if (t.kind == Transfer::Kind::Download) {
        const auto ticket = services.missions().download(vehicle.value, svc::TransferKind::DownloadScratch);
        if (!ticket.ok()) {
            finish(key, mav::kMissionError, ticket.status.message.c_str());
            return;
        }
        t.requestId = ticket.value.requestId;
        return;
    }
    svc::RouteDraft draft;
    draft.name = QStringLiteral("mavlink %1").arg(QDateTime::currentDateTime().toString(Qt::ISODate)).toStdString();
    draft.number = 1;
    Uploaded uploaded{t.items, t.points};
    draft.points = std::move(t.points);
    const size_t count = draft.points->size();
    const auto created = services.routes().create(draft, svc::RouteService::Activation::Keep);
    if (!created.ok()) {
        finish(key, mav::kMissionDenied, created.status.message.c_str());
        return;
    }
    t.routeId = created.value->id();
    const auto ticket = services.missions().upload(vehicle.value, created.value);
    if (!ticket.ok()) {
        finish(key, mav::kMissionDenied, ticket.status.message.c_str());
        return;
    }
    t.requestId = ticket.value.requestId;
    spdlog::info("<mavlink> vehicle {}: route {} ({} waypoints) uploading, requestId {}{}", sysid,
                 t.routeId.toStdString(), count, t.requestId,
                 ticket.value.queuePosition ? " (queued at place " + std::to_string(ticket.value.queuePosition) + ")"
                                            : std::string());
    uploaded.items.shrink_to_fit();
    m_pending[t.requestId] = {key, t.peer, std::move(uploaded)};
    finish(key, mav::kMissionAccepted, "stored; the station puts it on the vehicle");
}

void MavlinkMissionServer::onStationTransfer(const svc::TransferRecord& r)
{
    if (auto p = m_pending.find(r.requestId); p != m_pending.end()) {
        const Pending pending = std::move(p->second);
        m_pending.erase(p);
        const uint8_t sysid = pending.key.vehicle;
        const size_t waypoints = pending.uploaded.points.size();
        if (r.result == 0) {
            m_copies[sysid] = {pending.uploaded.items, QDateTime::currentMSecsSinceEpoch()};
            m_uploaded[sysid] = pending.uploaded;
            ++m_results["vehicleTook"];
            m_bridge.sendText(sysid, mav::kSeverityInfo,
                              "Vehicle " + std::to_string(sysid) + " took the route (" + std::to_string(waypoints) +
                                  " waypoints)",
                              &pending.peer);
        } else {
            ++m_results["vehicleRefused"];
            m_bridge.sendText(sysid, mav::kSeverityError,
                              "Vehicle " + std::to_string(sysid) + " did not take the uploaded route: " + r.message,
                              &pending.peer);
        }
        spdlog::log(r.result == 0 ? spdlog::level::info : spdlog::level::warn,
                    "<mavlink> vehicle {}: the uploaded route {} ({})", sysid,
                    r.result == 0 ? "is on the vehicle" : "did not reach the vehicle", r.message);
        resumeWaiting(sysid);
        return;
    }
    const auto it = std::find_if(m_transfers.begin(), m_transfers.end(), [&](const auto& entry) {
        return entry.second.phase == Transfer::Phase::Station && entry.second.requestId == r.requestId;
    });
    if (it == m_transfers.end())
        return;
    const Key key = it->first;
    const uint8_t sysid = key.vehicle;
    Transfer& t = it->second;
    if (r.result != 0 || !r.scratch) {
        finish(key, mav::kMissionError, r.result != 0 ? r.message.c_str() : "no route read");
        resumeWaiting(sysid);
        return;
    }
    std::vector<MavProtoWayPointData_t> records;
    for (const auto& wp : r.scratch->wayPointList())
        records.push_back(wp->protoData());
    t.items = mavlinkmission::itemsFromRoute(records);
    if (const auto up = m_uploaded.find(sysid); up != m_uploaded.end() && sameRoute(up->second.points, records))
        t.items = up->second.items;
    for (size_t i = 0; i < t.items.size(); ++i)
        t.items[i].seq = uint16_t(i);
    m_copies[sysid] = {t.items, QDateTime::currentMSecsSinceEpoch()};
    t.phase = Transfer::Phase::Serving;
    spdlog::info("<mavlink> vehicle {}: route of {} waypoints read, offering {} items", sysid, records.size(),
                 t.items.size());
    ++m_results["downloads"];
    sendCount(key, t);
    resumeWaiting(sysid);
}

void MavlinkMissionServer::resumeWaiting(uint8_t sysid)
{
    std::vector<Key> waiting;
    for (const auto& [key, t] : m_transfers)
        if (key.vehicle == sysid && t.kind == Transfer::Kind::Download && t.phase == Transfer::Phase::Station &&
            t.requestId == 0)
            waiting.push_back(key);
    for (const Key& key : waiting)
        if (auto it = m_transfers.find(key); it != m_transfers.end())
            serveOrRead(key, it->second);
}

void MavlinkMissionServer::tick(int64_t nowMs)
{
    m_now = nowMs;
    follow(nowMs);
    std::vector<Key> expired;
    for (auto& [key, t] : m_transfers)
        if (t.deadline && nowMs >= t.deadline)
            expired.push_back(key);
    for (const Key& key : expired) {
        Transfer& t = m_transfers[key];
        if (t.phase == Transfer::Phase::Receiving) {
            if (++t.retries <= kItemRetries) {
                requestNext(key, t);
                continue;
            }
            finish(key, mav::kMissionOperationCancelled, "the ground station stopped sending items");
            continue;
        }
        spdlog::info("<mavlink> vehicle {}: ground station {} went quiet during the download", key.vehicle, key.system);
        m_transfers.erase(key);
    }
    for (auto it = m_outcomes.begin(); it != m_outcomes.end();)
        it = nowMs >= it->second.until ? m_outcomes.erase(it) : std::next(it);
}

void MavlinkMissionServer::vehicleLeft(uint8_t sysid)
{
    std::vector<Key> gone;
    for (const auto& [key, t] : m_transfers)
        // A transfer the station runs ends through the mission service's own signal.
        if (key.vehicle == sysid && t.phase != Transfer::Phase::Station)
            gone.push_back(key);
    for (const Key& key : gone)
        finish(key, mav::kMissionOperationCancelled, "the vehicle left the station");
    m_copies.erase(sysid);  // it may come back holding anything
}

json MavlinkMissionServer::status() const
{
    json results = json::object();
    for (const auto& [name, n] : m_results)
        results[name] = n;
    size_t waiting = 0;
    for (const auto& [key, t] : m_transfers)
        if (t.phase == Transfer::Phase::Station && t.requestId)
            if (const auto r = m_bridge.services().missions().transfer(t.requestId);
                r && r->state == svc::TransferRecord::State::Queued)
                ++waiting;
    return {
        {"active", m_transfers.size()}, {"waiting", waiting}, {"onTheirWay", m_pending.size()}, {"results", results}};
}
