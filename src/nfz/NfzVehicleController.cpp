#include "NfzVehicleController.h"

#include "protocol/MavCmdRequestMessage.h"
#include "vehicle/VehicleController.h"

#include "MavProtoHelper.h"
#include "NfzZoneManager.h"
#include "nfzgeo.h"

#include <QDateTime>

#include <spdlog/spdlog.h>

#include <algorithm>
#include <cmath>
#include <set>

namespace {

bool isUploadCmd(uint8_t cmd)
{
    return cmd == MavCmd::NfzCount || cmd == MavCmd::NfzZone || cmd == MavCmd::NfzUpdateTime;
}

std::vector<MavProtoNfzVertex_t> corners(double minLat, double minLon, double maxLat, double maxLon)
{
    std::array<double, 4> lats{};
    std::array<double, 4> lons{};
    nfzgeo::bboxToFourVertices(minLat, maxLat, minLon, maxLon, lats, lons);
    std::vector<MavProtoNfzVertex_t> out(4);
    for (size_t i = 0; i < 4; ++i)
        out[i] = {lats[i], lons[i]};
    return out;
}

std::vector<MavProtoNfzVertex_t> vertices(const nfzgeo::Ring& ring)
{
    std::vector<MavProtoNfzVertex_t> out(ring.size());
    for (size_t i = 0; i < ring.size(); ++i)
        out[i] = {ring[i].lat, ring[i].lon};
    return out;
}

size_t distinctCount(nfzgeo::Ring ring)
{
    std::sort(ring.begin(), ring.end(),
              [](const auto& a, const auto& b) { return a.lat < b.lat || (a.lat == b.lat && a.lon < b.lon); });
    return size_t(std::unique(ring.begin(), ring.end(),
                              [](const auto& a, const auto& b) { return a.lat == b.lat && a.lon == b.lon; }) -
                  ring.begin());
}

constexpr const char* kMeridian = "crosses the 180th meridian; split it there";

}  // namespace

NfzVehicleController::NfzVehicleController(std::shared_ptr<NfzZoneManager> zoneManager, QObject* parent)
    : QObject(parent)
    , m_zoneManager(zoneManager)
{
}

NfzVehicleController::~NfzVehicleController()
{
    cancelQueued();
    spdlog::debug("NfzVehicleController destroyed ------------");
}

NfzVehicleController::ZoneShape NfzVehicleController::zoneShape(const NfzRecord& r)
{
    ZoneShape shape;
    if (r.type == NfzRecord::Type::Circle) {
        double minLat = 0, minLon = 0, maxLat = 0, maxLon = 0;
        if (!(r.radius > 0) ||
            !nfzgeo::bboxFromCircle(r.center.lat, r.center.lon, r.radius, minLat, minLon, maxLat, maxLon))
            shape.refusal = "a circle needs a positive radius";
        else if (nfzgeo::circleCrossesAntimeridian(r.center.lat, r.center.lon, r.radius))
            shape.refusal = kMeridian;
        else
            shape = {corners(minLat, minLon, maxLat, maxLon), true, "bounding box", {}};
        return shape;
    }
    const nfzgeo::Ring ring = nfzgeo::openRing(r.points);
    if (distinctCount(ring) < 3) {
        shape.refusal = "fewer than 3 distinct vertices";
    } else if (nfzgeo::crossesAntimeridian(ring)) {
        shape.refusal = kMeridian;
    } else if (!nfzgeo::isSimplePolygon(ring)) {
        shape.refusal = "self-intersecting polygon";
    } else if (nfzgeo::isPolylineCirclePolygon(r)) {
        shape = {corners(r.minLat, r.minLon, r.maxLat, r.maxLon), true, "bounding box", {}};
    } else if (ring.size() <= MAVPROTO_NFZ_MAX_ZONE_VERTICES) {
        shape.vertices = vertices(ring);
    } else if (const auto hull = nfzgeo::convexHull(ring); hull.size() <= MAVPROTO_NFZ_MAX_ZONE_VERTICES) {
        // Dropping only collinear vertices keeps the area: not an enlargement.
        const double area = nfzgeo::ringArea(ring);
        shape = {vertices(hull), nfzgeo::ringArea(hull) > area * (1 + 1e-9), "convex hull", {}};
    } else {
        shape = {corners(r.minLat, r.minLon, r.maxLat, r.maxLon), true, "bounding box", {}};
    }
    return shape;
}

std::string NfzVehicleController::checkManualZone(const std::array<MavProtoNfzVertex_t, 4>& v)
{
    nfzgeo::Ring ring;
    for (size_t i = 0; i < v.size(); ++i) {
        const std::string which = "manual zone: vertex " + std::to_string(i + 1);
        if (!std::isfinite(v[i].lat) || v[i].lat < -90.0 || v[i].lat > 90.0)
            return which + " latitude must be a number in [-90, 90]";
        if (!std::isfinite(v[i].lon) || v[i].lon < -180.0 || v[i].lon > 180.0)
            return which + " longitude must be a number in [-180, 180]";
        ring.push_back({v[i].lat, v[i].lon});
    }
    if (distinctCount(ring) < 4)
        return "manual zone: the four vertices must be distinct";
    if (nfzgeo::crossesAntimeridian(ring))
        return std::string("manual zone: ") + kMeridian;
    // Three corners on a line make a triangle, not a quadrilateral.
    bool straight = false;
    for (size_t i = 0; i < 4; ++i) {
        const auto& a = ring[i];
        const auto& b = ring[(i + 1) % 4];
        const auto& c = ring[(i + 2) % 4];
        straight = straight || (b.lon - a.lon) * (c.lat - a.lat) == (b.lat - a.lat) * (c.lon - a.lon);
    }
    if (straight || !nfzgeo::isSimplePolygon(ring))
        return "manual zone: the vertices, in order, must trace a simple quadrilateral";
    return {};
}

std::shared_ptr<MavCmdRequestMessage> NfzVehicleController::makeRequest(const MavPFramePtr& frame,
                                                                        uint8_t expectedDataLen) const
{
    return MavCmdRequestMessage::create(frame, CheckResult, expectedDataLen, 0, kRequestTimeoutMs, kRequestResends);
}

int NfzVehicleController::refuse(int code, std::string why)
{
    spdlog::warn("NfzVehicleController: refused: {}", why);
    m_lastRefusal = QString::fromStdString(why);
    return code;
}

int NfzVehicleController::checkVehicle(const std::shared_ptr<VehicleController>& vehicle, const char* what)
{
    if (!vehicle)
        return refuse(1, std::string(what) + ": no vehicle");
    if (m_transferring)
        return refuse(2, std::string(what) + ": a no-fly-zone transfer is running");
    if (vehicle->firmwareUpdating()) {
        return refuse(6, std::string(what) + ": vehicle " + std::to_string(vehicle->vehicleId()) +
                             " is updating its firmware");
    }
    return 0;
}

int NfzVehicleController::uploadZonesByIds(const std::shared_ptr<VehicleController>& vehicle,
                                           std::vector<int64_t> ids)
{
    if (const int code = checkVehicle(vehicle, "zone upload"))
        return code;
    if (ids.empty())
        return refuse(3, "zone upload: no zone ids");
    auto zones = m_zoneManager.lock();
    if (!zones)
        return refuse(4, "zone upload: the zone set is not available");
    if (ids.size() > kMaxVertexTotal)
        return refuse(5, "zone upload: " + std::to_string(ids.size()) + " zones, at most 65535 fit");
    std::vector<MavProtoNfzZoneData_t> data;
    std::vector<int64_t> enlarged;
    std::string enlargedText;
    std::set<int64_t> seen;
    size_t total = 0;
    for (size_t i = 0; i < ids.size(); ++i) {
        const std::string name = "zone " + std::to_string(ids[i]);
        if (!seen.insert(ids[i]).second)
            return refuse(5, name + " is listed twice");
        const auto record = zones->findById(ids[i]);
        if (!record)
            return refuse(4, name + " is not in the zone set");
        ZoneShape shape = zoneShape(*record);
        if (!shape.refusal.empty())
            return refuse(5, name + ": " + shape.refusal);
        if (shape.enlarged) {
            enlarged.push_back(ids[i]);
            const std::string drawn = record->type == NfzRecord::Type::Circle
                                          ? std::string("a circle")
                                          : std::to_string(record->points.size()) + " vertices";
            enlargedText +=
                fmt::format("{}{} as its {} ({})", enlargedText.empty() ? "" : "; ", name, shape.how, drawn);
        }
        total += shape.vertices.size();
        data.push_back({uint16_t(i), std::move(shape.vertices)});
    }
    if (total > kMaxVertexTotal) {
        return refuse(5, fmt::format("zone upload: {} zones hold {} vertices as sent, at most {} fit", ids.size(),
                                     total, kMaxVertexTotal));
    }

    const auto rx = uint8_t(vehicle->vehicleId());
    auto frame = [] { return std::make_shared<_MavPFrame_t>(); };
    std::deque<std::shared_ptr<MavCmdRequestMessage>> requests;
    auto countFrame = frame();
    MavProtoNfzProcesser::packNfzTotalCountFrame(*countFrame, rx, vehicle->genSeqId(),
                                                 {uint16_t(ids.size()), uint16_t(total)});
    requests.push_back(makeRequest(countFrame));
    for (const auto& zone : data) {
        auto f = frame();
        MavProtoNfzProcesser::packNfzZoneDataFrame(*f, rx, vehicle->genSeqId(), zone);
        requests.push_back(makeRequest(f, 3));
    }
    const QDateTime now = QDateTime::currentDateTime();
    const MavProtoNfzUpdateTime_t time{uint16_t(now.date().year()),  uint8_t(now.date().month()),
                                       uint8_t(now.date().day()),    uint8_t(now.time().hour()),
                                       uint8_t(now.time().minute()), uint8_t(now.time().second())};
    auto timeFrame = frame();
    MavProtoNfzProcesser::packNfzUpdateTimeFrame(*timeFrame, rx, vehicle->genSeqId(), time);
    requests.push_back(makeRequest(timeFrame));

    m_lastRefusal.clear();
    m_zoneIds = ids;
    m_enlargedIds = enlarged;
    m_zonesTotal = ids.size();
    m_zonesDone = 0;
    m_remaining = std::move(requests);
    beginSession(UploadSession, vehicle);
    emit uploadStarted(ids);
    if (!enlarged.empty()) {
        // Larger keeps the aircraft out of at least the drawn zone; the operator must still know.
        spdlog::warn("NfzVehicleController: {} of {} zones sent enlarged: {}", enlarged.size(), ids.size(),
                     enlargedText);
        emit zonesEnlarged(enlarged);
    }
    emit transferProgress(0);
    if (!sendNext()) {
        cancelQueued();
        endSession();
        m_zoneIds.clear();
        return refuse(1, "zone upload: the first request could not be sent");
    }
    spdlog::info("NfzVehicleController: started upload of {} NFZ zones, {} total vertices", ids.size(), total);
    return 0;
}

int NfzVehicleController::bindManualZone(const std::shared_ptr<VehicleController>& vehicle,
                                         std::array<MavProtoNfzVertex_t, 4> vertices)
{
    if (const int code = checkVehicle(vehicle, "manual zone bind"))
        return code;
    if (const std::string why = checkManualZone(vertices); !why.empty())
        return refuse(5, why);
    MavProtoManualNfzBind_t bind;
    for (size_t i = 0; i < 4; ++i)
        bind.entries[i] = {uint8_t(i + 1), vertices[i]};
    auto f = std::make_shared<_MavPFrame_t>();
    MavProtoNfzProcesser::packManualNfzBindFrame(*f, uint8_t(vehicle->vehicleId()), vehicle->genSeqId(), bind);
    m_lastRefusal.clear();
    m_remaining = {makeRequest(f)};
    beginSession(ManualBindSession, vehicle);
    emit manualBindStarted();
    if (!sendNext()) {
        cancelQueued();
        endSession();
        return refuse(1, "manual zone bind: the request could not be sent");
    }
    spdlog::info("NfzVehicleController: started manual NFZ bind");
    return 0;
}

void NfzVehicleController::beginSession(SessionKind kind, const std::shared_ptr<VehicleController>& vehicle)
{
    m_transferring = true;
    m_sessionKind = kind;
    m_vehicle = vehicle;
    // The answers of this vehicle only, for this session only.
    connect(vehicle.get(), &VehicleController::mavPFrameReceived, this, &NfzVehicleController::handleMavPFrameReceived);
    connect(vehicle.get(), &VehicleController::mavAckTimeout, this, &NfzVehicleController::handleMavAckTimeout);
}

bool NfzVehicleController::sendNext()
{
    auto vehicle = m_vehicle.lock();
    if (!vehicle || m_remaining.empty())
        return false;
    m_current = m_remaining.front();
    m_remaining.pop_front();
    return vehicle->sendMavPFrameReq(m_current);
}

void NfzVehicleController::cancelQueued()
{
    // Only the request in flight sits in the vehicle's queue; the rest were never handed to it.
    if (!m_current)
        return;
    if (auto vehicle = m_vehicle.lock())
        vehicle->cancelMavPFrameReq(m_current);
    m_current.reset();
}

void NfzVehicleController::endSession()
{
    if (auto vehicle = m_vehicle.lock())
        disconnect(vehicle.get(), nullptr, this, nullptr);
    m_vehicle.reset();
    m_transferring = false;
    m_sessionKind = NoSession;
    m_current.reset();
    m_remaining.clear();
}

void NfzVehicleController::handleMavPFrameReceived(MavPFramePtr pframe, OstAbstractLink*,
                                                   std::shared_ptr<MavCmdRequestMessage> req)
{
    if (!m_transferring || !pframe)
        return;
    // Only the answer to the request in flight counts; a late answer to an earlier one does not.
    if (!req || req != m_current)
        return;
    const uint8_t cmd = pframe->cmd;
    if (m_sessionKind == UploadSession && isUploadCmd(cmd)) {
        int ret = 0;
        if (cmd == MavCmd::NfzZone) {
            MavProtoNfzZoneDataAck_t ack;
            ret = MavProtoNfzProcesser::parseNfzZoneDataAck(*pframe, ack);
            if (ret == 0 && ack.statusWord != 0)
                ret = ack.statusWord;
        } else {
            ret = MavProtoHelper::parseMavProtoFrameResult(*pframe);
        }
        if (ret != 0) {
            spdlog::warn("NfzVehicleController: NFZ upload failed at cmd 0x{:02X}, ret={}", cmd, ret);
            finishUpload(false, ret);
            return;
        }
        if (cmd == MavCmd::NfzUpdateTime) {
            spdlog::info("NfzVehicleController: NFZ upload completed");
            finishUpload(true, 0);
            return;
        }
        if (cmd == MavCmd::NfzZone)
            emit transferProgress(int(++m_zonesDone * 100 / (m_zonesTotal + 1)));
        if (!sendNext()) {
            spdlog::warn("NfzVehicleController: next NFZ request was not queued");
            cancelQueued();
            finishUpload(false, kResultTimeout);
        }
    } else if (m_sessionKind == ManualBindSession && cmd == MavCmd::ManualNfzBind) {
        const int ret = MavProtoNfzProcesser::parseManualNfzBindAck(*pframe);
        if (ret != 0) {
            spdlog::warn("NfzVehicleController: manual NFZ bind rejected, ret={}", ret);
            finishManualBind(false, ret);
        } else {
            spdlog::info("NfzVehicleController: manual NFZ bind completed");
            finishManualBind(true, 0);
        }
    }
}

void NfzVehicleController::handleMavAckTimeout(std::shared_ptr<MavCmdRequestMessage> req)
{
    if (!m_transferring || !req || req != m_current)
        return;
    // A retired vehicle's queue ends what it held with time-outs: that is the vehicle leaving.
    const auto vehicle = m_vehicle.lock();
    const int ret = vehicle && vehicle->retired() ? kResultVehicleChanged : kResultTimeout;
    const uint8_t cmd = req->childReqs.isEmpty() ? req->cmd : req->childReqs.first()->cmd;
    if (m_sessionKind == UploadSession && isUploadCmd(cmd)) {
        spdlog::warn("NfzVehicleController: NFZ upload ended at cmd 0x{:02X}, ret={}", cmd, ret);
        finishUpload(false, ret);
    } else if (m_sessionKind == ManualBindSession && cmd == MavCmd::ManualNfzBind) {
        spdlog::warn("NfzVehicleController: manual NFZ bind ended, ret={}", ret);
        finishManualBind(false, ret);
    }
}

void NfzVehicleController::finishUpload(bool ok, int ret)
{
    if (m_sessionKind != UploadSession)
        return;
    std::vector<int64_t> ids = std::move(m_zoneIds);
    m_zoneIds.clear();
    endSession();
    emit transferProgress(ok ? 100 : 0);
    emit uploadFinished(ok, ret, ids);
}

void NfzVehicleController::finishManualBind(bool ok, int ret)
{
    if (m_sessionKind != ManualBindSession)
        return;
    endSession();
    emit manualBindFinished(ok, ret);
}
