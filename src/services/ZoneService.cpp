#include "ZoneService.h"

#include "services/OperationGate.h"
#include "services/OutcomeRecorder.h"
#include "nfz/NfzVehicleController.h"
#include "vehicle/VehicleController.h"

#include "NfzZoneManager.h"

#include <spdlog/spdlog.h>

namespace svc {

namespace {
constexpr const char* kTransferRunning = "A no-fly-zone transfer is already running";
}

const char* zoneTransferKindName(ZoneTransferKind kind)
{
    return kind == ZoneTransferKind::Upload ? "upload" : "manualBind";
}

ZoneService::ZoneService(VehicleDirectory& directory, OperationGate& gate,
                         std::shared_ptr<NfzVehicleController> transfers, std::shared_ptr<NfzZoneManager> zones,
                         QObject* parent)
    : QObject(parent)
    , m_directory(directory)
    , m_gate(gate)
    , m_transfers(std::move(transfers))
    , m_zones(zones)
{
    if (!m_transfers)
        return;
    auto* ctrl = m_transfers.get();
    // Sessions started past this service (tests, a later front end) are recorded too, without a
    // request id.
    auto adopt = [this, ctrl](ZoneTransferKind kind, std::vector<int64_t> ids) {
        if (m_running)
            return;
        const auto vehicle = ctrl->sessionVehicle();
        m_running = ZoneTransfer{0, vehicle ? vehicle->vehicleId() : 0, kind, std::move(ids), {}, false, false, 0};
    };
    connect(ctrl, &NfzVehicleController::uploadStarted, this,
            [adopt](std::vector<int64_t> ids) { adopt(ZoneTransferKind::Upload, std::move(ids)); });
    connect(ctrl, &NfzVehicleController::manualBindStarted, this, [adopt] { adopt(ZoneTransferKind::ManualBind, {}); });
    connect(ctrl, &NfzVehicleController::zonesEnlarged, this, [this](std::vector<int64_t> ids) {
        if (m_running)
            m_running->enlargedZoneIds = std::move(ids);
    });
    connect(ctrl, &NfzVehicleController::uploadFinished, this,
            [this](bool ok, int ret, std::vector<int64_t>) { finish(ok, ret); });
    connect(ctrl, &NfzVehicleController::manualBindFinished, this, [this](bool ok, int ret) { finish(ok, ret); });
}

bool ZoneService::transferring() const
{
    return m_transfers && m_transfers->isTransferring();
}

Status ZoneService::startable(const VehicleSelector& selector, VehiclePtr& vehicle) const
{
    if (!m_transfers)
        return Status::refused("No-fly-zone services are not available");
    // One zone session at a time on the station, whichever vehicle it goes to.
    if (m_transfers->isTransferring())
        return Status::busy(kTransferRunning);
    auto found = m_directory.resolve(selector);
    if (!found.ok())
        return found.status;
    vehicle = found.value;
    if (auto s = m_directory.reachable(*vehicle, "no-fly-zone transfers"))
        return s;
    return m_gate.check(*vehicle, Operation::ZoneTransfer);
}

Result<ZoneTransfer> ZoneService::upload(const VehicleSelector& selector, std::vector<int64_t> ids)
{
    VehiclePtr vehicle;
    if (auto s = startable(selector, vehicle))
        return s;
    const auto zones = m_zones.lock();
    if (!zones)
        return Status::refused("No-fly-zone services are not available");
    if (ids.empty())
        ids = zones->zoneIds();
    if (ids.empty())
        return Status::invalid("The zone set holds no zones to upload");
    for (const int64_t id : ids) {
        if (!zones->findById(id))
            return Status::invalid("Unknown zone id: " + std::to_string(id));
    }
    const int code = m_transfers->uploadZonesByIds(vehicle, ids);
    if (code != 0)
        m_running.reset();  // a start that failed after its start signal ends nothing
    switch (code) {
    case 0: return started(vehicle, ZoneTransferKind::Upload, std::move(ids));
    case 2: return Status::busy(kTransferRunning);
    case 4:
    case 5: return Status::invalid(m_transfers->lastRefusal().toStdString());
    case 6: return Status::refused(m_transfers->lastRefusal().toStdString());
    default: return Status::refused("The no-fly-zone upload could not be sent");
    }
}

Result<ZoneTransfer> ZoneService::bindManual(const VehicleSelector& selector,
                                             const std::array<MavProtoNfzVertex_t, 4>& corners)
{
    VehiclePtr vehicle;
    if (auto s = startable(selector, vehicle))
        return s;
    const int code = m_transfers->bindManualZone(vehicle, corners);
    if (code != 0)
        m_running.reset();
    switch (code) {
    case 0: return started(vehicle, ZoneTransferKind::ManualBind, {});
    case 2: return Status::busy(kTransferRunning);
    case 5: return Status::invalid(m_transfers->lastRefusal().toStdString());
    case 6: return Status::refused(m_transfers->lastRefusal().toStdString());
    default: return Status::refused("The manual no-fly-zone bind could not be sent");
    }
}

Result<ZoneTransfer> ZoneService::started(const VehiclePtr& vehicle, ZoneTransferKind kind, std::vector<int64_t> ids)
{
    // The controller's start signals already opened the record; this names its request.
    ZoneTransfer t{nextRequestId(), vehicle->vehicleId(), kind, std::move(ids), m_transfers->enlargedZoneIds(),
                   false, false, 0};
    m_running = t;
    spdlog::info("<services> zone {} started on vehicle {}, requestId {}", zoneTransferKindName(kind),
                 t.vehicleId, t.requestId);
    return t;
}

void ZoneService::finish(bool ok, int ret)
{
    if (!m_running)
        return;
    ZoneTransfer t = std::move(*m_running);
    m_running.reset();
    t.finished = true;
    t.ok = ok;
    t.result = ret;
    if (t.requestId) {
        if (m_records.emplace(t.requestId, t).second)
            m_order.push_back(t.requestId);
        while (m_order.size() > kMaxRecords) {
            m_records.erase(m_order.front());
            m_order.pop_front();
        }
    }
    m_lastFinished = t;
    spdlog::info("<services> zone {} on vehicle {} ended {} ({}), requestId {}", zoneTransferKindName(t.kind),
                 t.vehicleId, ok ? "ok" : "failed", ret, t.requestId);
    emit transferFinished(t);
}

std::optional<ZoneTransfer> ZoneService::transfer(int64_t requestId) const
{
    if (m_running && m_running->requestId == requestId)
        return m_running;
    if (const auto it = m_records.find(requestId); it != m_records.end())
        return it->second;
    return std::nullopt;
}

}  // namespace svc
