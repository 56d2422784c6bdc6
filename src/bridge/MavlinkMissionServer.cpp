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
        auto it = m_transfers.find(m.targetSystem);
        if (it != m_transfers.end() && it->second.kind == Transfer::Kind::Download &&
            it->second.phase == Transfer::Phase::Serving) {
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

void MavlinkMissionServer::requestList(const Frame& frame, const MavlinkPeer& peer, uint8_t target, uint8_t type)
{
    if (!m_bridge.entryFor(target)) {
        m_bridge.countUnknownTarget(frame);
        return;
    }
    auto existing = m_transfers.find(target);
    if (existing != m_transfers.end()) {
        Transfer& t = existing->second;
        if (t.kind == Transfer::Kind::Download && t.missionType == type) {
            // The ground station missed the count, or is still waiting for the station.
            if (t.phase == Transfer::Phase::Serving) {
                t.peer = peer;
                sendCount(target, t);
            }
            return;
        }
        ack(target, peer, frame.sysid, frame.compid, type, mav::kMissionDenied);
        return;
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
        auto& stored = m_transfers[target] = std::move(t);
        sendCount(target, stored);
        return;
    }
    if (type != mav::kMissionTypeMission) {
        ack(target, peer, frame.sysid, frame.compid, type, mav::kMissionUnsupported);
        return;
    }
    spdlog::info("<mavlink> vehicle {}: ground station {} asks for its route", target, frame.sysid);
    startStation(target, m_transfers[target] = std::move(t));
}

void MavlinkMissionServer::sendCount(uint8_t sysid, Transfer& t)
{
    t.count = uint16_t(t.items.size());
    MissionCount c;
    c.count = t.count;
    c.targetSystem = t.gcsSystem;
    c.targetComponent = t.gcsComponent;
    c.missionType = t.missionType;
    m_bridge.m_links.reply(t.peer, c, sysid, 1);
    t.deadline = m_now + kServeQuietMs;
    if (t.count == 0)
        m_transfers.erase(sysid);  // nothing to ask for: the count is the whole answer
}

void MavlinkMissionServer::itemRequested(const Frame& frame, const MavlinkPeer& peer, uint8_t target, uint16_t seq,
                                         uint8_t type, bool legacy)
{
    auto it = m_transfers.find(target);
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
    auto existing = m_transfers.find(target);
    if (existing != m_transfers.end()) {
        Transfer& t = existing->second;
        if (t.kind == Transfer::Kind::Upload && t.phase == Transfer::Phase::Receiving && t.count == m.count &&
            t.nextSeq == 0) {
            requestNext(target, t);  // our first request was lost
            return;
        }
        return refuse(mav::kMissionDenied, "a transfer with this vehicle is in progress");
    }
    if (m.count == 0)
        return refuse(mav::kMissionDenied, "an empty route is not uploaded");
    if (m.count > kMaxItems)
        return refuse(mav::kMissionNoSpace, "more items than a route of 255 waypoints needs");
    m_outcomes.erase(target);
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
    requestNext(target, m_transfers[target] = std::move(t));
}

void MavlinkMissionServer::requestNext(uint8_t sysid, Transfer& t)
{
    MissionRequestInt r;
    r.seq = t.nextSeq;
    r.targetSystem = t.gcsSystem;
    r.targetComponent = t.gcsComponent;
    r.missionType = t.missionType;
    if (t.legacy)
        m_bridge.m_links.reply(t.peer, static_cast<const MissionRequest&>(r), sysid, 1);
    else
        m_bridge.m_links.reply(t.peer, r, sysid, 1);
    t.deadline = m_now + kItemTimeoutMs;
}

void MavlinkMissionServer::item(const Frame& frame, const MavlinkPeer& peer, const MissionItemInt& m, bool legacy)
{
    const uint8_t target = m.targetSystem;
    auto it = m_transfers.find(target);
    if (it == m_transfers.end()) {
        if (!m_bridge.entryFor(target)) {
            m_bridge.countUnknownTarget(frame);
            return;
        }
        // The last item again: the ground station did not get our ack.
        auto done = m_outcomes.find(target);
        if (done != m_outcomes.end() && done->second.lastSeq == m.seq && m_now < done->second.until)
            ack(target, peer, frame.sysid, frame.compid, m.missionType, done->second.result);
        return;
    }
    Transfer& t = it->second;
    if (t.kind != Transfer::Kind::Upload || t.phase != Transfer::Phase::Receiving)
        return;  // a repeat while the station uploads; the ack follows
    if (m.seq != t.nextSeq || m.missionType != t.missionType) {
        if (m.seq + 1 == t.nextSeq)
            requestNext(target, t);  // our request crossed its repeat: ask again
        return;
    }
    t.legacy = legacy;
    t.items.push_back(m);
    t.retries = 0;
    if (++t.nextSeq < t.count) {
        requestNext(target, t);
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
        finish(target, mapped.error, "item not mapped", "Mission upload refused: " + why);
        return;
    }
    m_uploaded[target] = {t.items, mapped.points};
    m_uploaded[target].items.shrink_to_fit();
    t.items.clear();
    t.deadline = 0;
    t.points = std::move(mapped.points);
    startStation(target, t);
}

void MavlinkMissionServer::finish(uint8_t sysid, uint8_t result, const char* why, const std::string& text)
{
    auto it = m_transfers.find(sysid);
    if (it == m_transfers.end())
        return;
    Transfer& t = it->second;
    if (result != mav::kMissionAccepted && t.kind == Transfer::Kind::Upload)
        m_bridge.sendText(sysid, mav::kSeverityWarning,
                          text.empty() ? std::string("Mission upload failed: ") + why : text, &t.peer);
    ack(sysid, t.peer, t.gcsSystem, t.gcsComponent, t.missionType, result);
    ++m_results[resultName(result)];
    if (t.kind == Transfer::Kind::Upload) {
        m_outcomes[sysid] = {result, uint16_t(t.count - 1), m_now + kOutcomeKeptMs};
        if (result != mav::kMissionAccepted)
            m_uploaded.erase(sysid);
    }
    spdlog::log(result == mav::kMissionAccepted ? spdlog::level::info : spdlog::level::warn,
                "<mavlink> vehicle {}: {} {} ({})", sysid, t.kind == Transfer::Kind::Upload ? "upload" : "download",
                resultName(result), why);
    m_transfers.erase(it);
}

// The station's services queue the transfer when another runs; the ground station waits for
// the outcome either way, and the operator's active vehicle and route stay as they are.
void MavlinkMissionServer::startStation(uint8_t sysid, Transfer& t)
{
    auto& services = m_bridge.services();
    const auto vehicle = services.directory().byId(sysid);
    if (!vehicle.ok()) {
        finish(sysid, mav::kMissionError, vehicle.status.message.c_str());
        return;
    }
    t.phase = Transfer::Phase::Station;
    if (t.kind == Transfer::Kind::Download) {
        const auto ticket = services.missions().download(vehicle.value, svc::TransferKind::DownloadScratch);
        if (!ticket.ok()) {
            finish(sysid, mav::kMissionError, ticket.status.message.c_str());
            return;
        }
        t.requestId = ticket.value.requestId;
        return;
    }
    svc::RouteDraft draft;
    draft.name = QStringLiteral("mavlink %1").arg(QDateTime::currentDateTime().toString(Qt::ISODate)).toStdString();
    draft.number = 1;
    draft.points = std::move(t.points);
    const size_t count = draft.points->size();
    const auto created = services.routes().create(draft, svc::RouteService::Activation::Keep);
    if (!created.ok()) {
        finish(sysid, mav::kMissionDenied, created.status.message.c_str());
        return;
    }
    t.routeId = created.value->id();
    const auto ticket = services.missions().upload(vehicle.value, created.value);
    if (!ticket.ok()) {
        finish(sysid, mav::kMissionDenied, ticket.status.message.c_str());
        return;
    }
    t.requestId = ticket.value.requestId;
    spdlog::info("<mavlink> vehicle {}: route {} ({} waypoints) uploading, requestId {}{}", sysid,
                 t.routeId.toStdString(), count, t.requestId,
                 ticket.value.queuePosition ? " (queued at place " + std::to_string(ticket.value.queuePosition) + ")"
                                            : std::string());
}

void MavlinkMissionServer::onStationTransfer(const svc::TransferRecord& r)
{
    const auto it = std::find_if(m_transfers.begin(), m_transfers.end(), [&](const auto& entry) {
        return entry.second.phase == Transfer::Phase::Station && entry.second.requestId == r.requestId;
    });
    if (it == m_transfers.end())
        return;
    const uint8_t sysid = it->first;
    Transfer& t = it->second;
    if (t.kind == Transfer::Kind::Upload) {
        finish(sysid, r.result == 0 ? mav::kMissionAccepted : mav::kMissionError, r.message.c_str());
        return;
    }
    if (r.result != 0 || !r.scratch) {
        finish(sysid, mav::kMissionError, r.result != 0 ? r.message.c_str() : "no route read");
        return;
    }
    std::vector<MavProtoWayPointData_t> records;
    for (const auto& wp : r.scratch->wayPointList())
        records.push_back(wp->protoData());
    t.items = mavlinkmission::itemsFromRoute(records);
    if (const auto up = m_uploaded.find(sysid); up != m_uploaded.end() && sameRoute(up->second.points, records)) {
        t.items = up->second.items;
        for (size_t i = 0; i < t.items.size(); ++i)
            t.items[i].seq = uint16_t(i);
    }
    t.phase = Transfer::Phase::Serving;
    spdlog::info("<mavlink> vehicle {}: route of {} waypoints read, offering {} items", sysid, records.size(),
                 t.items.size());
    ++m_results["downloads"];
    sendCount(sysid, t);
}

void MavlinkMissionServer::tick(int64_t nowMs)
{
    m_now = nowMs;
    std::vector<uint8_t> expired;
    for (auto& [sysid, t] : m_transfers)
        if (t.deadline && nowMs >= t.deadline)
            expired.push_back(sysid);
    for (uint8_t sysid : expired) {
        Transfer& t = m_transfers[sysid];
        if (t.phase == Transfer::Phase::Receiving) {
            if (++t.retries <= kItemRetries) {
                requestNext(sysid, t);
                continue;
            }
            finish(sysid, mav::kMissionOperationCancelled, "the ground station stopped sending items");
            continue;
        }
        spdlog::info("<mavlink> vehicle {}: ground station went quiet during the download", sysid);
        m_transfers.erase(sysid);
    }
    for (auto it = m_outcomes.begin(); it != m_outcomes.end();)
        it = nowMs >= it->second.until ? m_outcomes.erase(it) : std::next(it);
}

void MavlinkMissionServer::vehicleLeft(uint8_t sysid)
{
    auto it = m_transfers.find(sysid);
    if (it == m_transfers.end())
        return;
    // A transfer the station runs ends through the missions controller's own signal.
    if (it->second.phase != Transfer::Phase::Station)
        finish(sysid, mav::kMissionOperationCancelled, "the vehicle left the station");
}

json MavlinkMissionServer::status() const
{
    json results = json::object();
    for (const auto& [name, n] : m_results)
        results[name] = n;
    size_t waiting = 0;
    for (const auto& [sysid, t] : m_transfers)
        if (t.phase == Transfer::Phase::Station && t.requestId)
            if (const auto r = m_bridge.services().missions().transfer(t.requestId);
                r && r->state == svc::TransferRecord::State::Queued)
                ++waiting;
    return {{"active", m_transfers.size()}, {"waiting", waiting}, {"results", results}};
}
