#include "NfzVehicleController.h"

#include "protocol/MavCmdRequestMessage.h"
#include "vehicle/MultiVehicleManager.h"
#include "vehicle/VehicleController.h"

#include "MavProtoHelper.h"
#include "NfzZoneManager.h"
#include "nfzgeo.h"

#include <QDateTime>

#include <spdlog/spdlog.h>

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

std::vector<MavProtoNfzVertex_t> boxCorners(const NfzRecord& r)
{
    return corners(r.minLat, r.minLon, r.maxLat, r.maxLon);
}

}  // namespace

NfzVehicleController::NfzVehicleController(MultiVehicleManager* multiVehicleMgr,
                                           std::shared_ptr<NfzZoneManager> zoneManager, QObject* parent)
    : QObject(parent), m_multiVehicleMgr(multiVehicleMgr), m_zoneManager(zoneManager)
{
    if (m_multiVehicleMgr) {
        connect(m_multiVehicleMgr, &MultiVehicleManager::activeVehicleChanged, this,
                &NfzVehicleController::handleActiveVehicleChanged);
        handleActiveVehicleChanged(m_multiVehicleMgr->activeVehicle());
    }
}

NfzVehicleController::~NfzVehicleController()
{
    if (m_holdingActive && m_multiVehicleMgr)
        m_multiVehicleMgr->setActiveVehicleHold(MultiVehicleManager::NfzSessionActiveHold, false);
    spdlog::debug("NfzVehicleController destroyed ------------");
}

std::optional<std::vector<MavProtoNfzVertex_t>> NfzVehicleController::zoneVertices(const NfzRecord& r)
{
    if (r.type == NfzRecord::Type::Polygon) {
        if (nfzgeo::isPolylineCirclePolygon(r)) {
            if (!nfzgeo::nfzRecordBboxValid(r))
                return std::nullopt;
            return boxCorners(r);
        }
        if (r.points.size() < 3)
            return std::nullopt;
        const size_t n = std::min(r.points.size(), MAVPROTO_NFZ_MAX_ZONE_VERTICES);
        std::vector<MavProtoNfzVertex_t> out(n);
        for (size_t i = 0; i < n; ++i)
            out[i] = {r.points[i].lat, r.points[i].lon};
        return out;
    }
    if (nfzgeo::nfzRecordBboxValid(r))
        return boxCorners(r);
    double minLat = 0, minLon = 0, maxLat = 0, maxLon = 0;
    if (!(r.radius > 0) || !nfzgeo::bboxFromCircle(r.center.lat, r.center.lon, r.radius, minLat, minLon, maxLat, maxLon))
        return std::nullopt;
    return corners(minLat, minLon, maxLat, maxLon);
}

std::shared_ptr<MavCmdRequestMessage> NfzVehicleController::makeRequest(const MavPFramePtr& frame,
                                                                        uint8_t expectedDataLen) const
{
    return MavCmdRequestMessage::create(frame, CheckResult, expectedDataLen, 0, kRequestTimeoutMs, kRequestResends);
}

int NfzVehicleController::uploadZonesByIds(std::vector<int64_t> ids)
{
    auto vehicle = m_vehicle.lock();
    if (!vehicle) {
        spdlog::warn("NfzVehicleController: upload failed, no active vehicle");
        return 1;
    }
    if (m_transferring) {
        spdlog::info("NfzVehicleController: upload ignored, transfer in progress");
        return 2;
    }
    if (ids.empty()) {
        spdlog::warn("NfzVehicleController: upload refused, no zone ids");
        return 3;
    }
    auto zones = m_zoneManager.lock();
    if (!zones) {
        spdlog::warn("NfzVehicleController: zone manager unavailable");
        return 4;
    }
    std::vector<MavProtoNfzZoneData_t> data;
    size_t total = 0;
    for (size_t i = 0; i < ids.size(); ++i) {
        const auto record = zones->findById(ids[i]);
        if (!record) {
            spdlog::warn("NfzVehicleController: zone id {} not found in cache", ids[i]);
            return 4;
        }
        auto vertices = zoneVertices(*record);
        if (!vertices) {
            spdlog::warn("NfzVehicleController: invalid geometry for zone id {}", ids[i]);
            return 5;
        }
        total += vertices->size();
        data.push_back({uint16_t(i), std::move(*vertices)});
    }
    if (total > 65535 || ids.size() > 65535) {
        spdlog::warn("NfzVehicleController: total vertex count {} exceeds U16 max", total);
        return 5;
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
    const MavProtoNfzUpdateTime_t time{uint16_t(now.date().year()), uint8_t(now.date().month()),
                                       uint8_t(now.date().day()),   uint8_t(now.time().hour()),
                                       uint8_t(now.time().minute()), uint8_t(now.time().second())};
    auto timeFrame = frame();
    MavProtoNfzProcesser::packNfzUpdateTimeFrame(*timeFrame, rx, vehicle->genSeqId(), time);
    requests.push_back(makeRequest(timeFrame));

    m_zoneIds = ids;
    m_remaining = std::move(requests);
    beginSession(UploadSession);
    emit uploadStarted(ids);
    emit transferProgress(0);
    if (!sendNext()) {
        endSession();
        m_zoneIds.clear();
        spdlog::warn("NfzVehicleController: sendMavPFrameReq failed for NFZ upload");
        return 1;
    }
    spdlog::info("NfzVehicleController: started upload of {} NFZ zones, {} total vertices", ids.size(), total);
    return 0;
}

int NfzVehicleController::bindManualZone(std::array<MavProtoNfzVertex_t, 4> vertices)
{
    auto vehicle = m_vehicle.lock();
    if (!vehicle) {
        spdlog::warn("NfzVehicleController: manual bind failed, no active vehicle");
        return 1;
    }
    if (m_transferring) {
        spdlog::info("NfzVehicleController: manual bind ignored, transfer in progress");
        return 2;
    }
    MavProtoManualNfzBind_t bind;
    for (size_t i = 0; i < 4; ++i)
        bind.entries[i] = {uint8_t(i + 1), vertices[i]};
    auto f = std::make_shared<_MavPFrame_t>();
    MavProtoNfzProcesser::packManualNfzBindFrame(*f, uint8_t(vehicle->vehicleId()), vehicle->genSeqId(), bind);
    m_remaining = {makeRequest(f)};
    beginSession(ManualBindSession);
    emit manualBindStarted();
    if (!sendNext()) {
        endSession();
        spdlog::warn("NfzVehicleController: sendMavPFrameReq failed for manual NFZ bind");
        return 1;
    }
    spdlog::info("NfzVehicleController: started manual NFZ bind");
    return 0;
}

bool NfzVehicleController::beginSession(SessionKind kind)
{
    m_transferring = true;
    m_sessionKind = kind;
    if (m_multiVehicleMgr && !m_holdingActive) {
        m_holdingActive = true;
        m_multiVehicleMgr->setActiveVehicleHold(MultiVehicleManager::NfzSessionActiveHold, true);
    }
    return true;
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

void NfzVehicleController::endSession()
{
    m_transferring = false;
    m_sessionKind = NoSession;
    m_current.reset();
    m_remaining.clear();
    // Last: releasing the hold may make a waiting vehicle active, which must find no session.
    if (m_holdingActive && m_multiVehicleMgr) {
        m_holdingActive = false;
        m_multiVehicleMgr->setActiveVehicleHold(MultiVehicleManager::NfzSessionActiveHold, false);
    }
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
        } else if (cmd == MavCmd::NfzUpdateTime) {
            spdlog::info("NfzVehicleController: NFZ upload completed");
            finishUpload(true, 0);
        } else if (!sendNext()) {
            spdlog::warn("NfzVehicleController: next NFZ request was not queued");
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
    const uint8_t cmd = req->childReqs.isEmpty() ? req->cmd : req->childReqs.first()->cmd;
    if (m_sessionKind == UploadSession && isUploadCmd(cmd)) {
        spdlog::warn("NfzVehicleController: NFZ upload timeout at cmd 0x{:02X}", cmd);
        finishUpload(false, kResultTimeout);
    } else if (m_sessionKind == ManualBindSession && cmd == MavCmd::ManualNfzBind) {
        spdlog::warn("NfzVehicleController: manual NFZ bind timeout");
        finishManualBind(false, kResultTimeout);
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

void NfzVehicleController::handleActiveVehicleChanged(std::shared_ptr<VehicleController> vehicle)
{
    auto current = m_vehicle.lock();
    if (vehicle && vehicle == current)
        return;
    if (m_transferring) {
        spdlog::warn("NfzVehicleController: active vehicle changed during transfer, aborting session");
        if (m_sessionKind == UploadSession)
            finishUpload(false, kResultVehicleChanged);
        else
            finishManualBind(false, kResultVehicleChanged);
    }
    if (current)
        disconnect(current.get(), nullptr, this, nullptr);
    m_vehicle = vehicle;
    if (!vehicle)
        return;
    connect(vehicle.get(), &VehicleController::mavPFrameReceived, this, &NfzVehicleController::handleMavPFrameReceived);
    connect(vehicle.get(), &VehicleController::mavAckTimeout, this, &NfzVehicleController::handleMavAckTimeout);
}
