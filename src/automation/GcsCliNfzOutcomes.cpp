#include "GcsCliNfzOutcomes.h"

#include "services/StationPort.h"
#include "nfz/NfzSyncController.h"
#include "nfz/NfzVehicleController.h"
#include "vehicle/MultiVehicleManager.h"
#include "vehicle/VehicleController.h"

#include <string_view>

GcsCliNfzOutcomes::GcsCliNfzOutcomes(QObject* parent)
    : QObject(parent)
    , m_lastSync(nullptr)
    , m_lastTransfer(nullptr)
{
}

void GcsCliNfzOutcomes::attach(svc::StationPort* station)
{
    if (!station)
        return;
    if (auto* sync = station->zoneSync().get(); sync && sync != m_sync.data()) {
        m_sync = sync;
        connect(sync, &NfzSyncController::syncFinished, this, [this, sync](bool ok, int errorCode, int detail) {
            const std::string name = NfzSyncController::errorName(errorCode).toStdString();
            m_lastSync = {{"ok", ok},
                          {"errorCode", errorCode},
                          {"error", name},
                          {"detail", detail},
                          {"message", sync->lastErrorText().toStdString()}};
            m_lastError = ok ? std::string() : name;
        });
    }
    if (auto* vehicle = station->zoneTransfers().get(); vehicle && vehicle != m_vehicle.data()) {
        m_vehicle = vehicle;
        // A session started elsewhere (not through the CLI) still names its vehicle.
        auto started = [this, station] {
            auto* mvm = station->vehicles();
            const auto active = mvm ? mvm->activeVehicle() : nullptr;
            m_vehicleId = active ? active->vehicleId() : 0;
            m_requestId = 0;
            m_enlargedIds.clear();
        };
        connect(vehicle, &NfzVehicleController::uploadStarted, this, started);
        connect(vehicle, &NfzVehicleController::manualBindStarted, this, started);
        connect(vehicle, &NfzVehicleController::zonesEnlarged, this,
                [this](std::vector<int64_t> ids) { m_enlargedIds = std::move(ids); });
        connect(vehicle, &NfzVehicleController::uploadFinished, this,
                [this](bool ok, int ret, std::vector<int64_t> ids) { recordTransfer("upload", ok, ret, ids); });
        connect(vehicle, &NfzVehicleController::manualBindFinished, this,
                [this](bool ok, int ret) { recordTransfer("manualBind", ok, ret, {}); });
    }
}

void GcsCliNfzOutcomes::noteTransferStarted(int64_t requestId, int vehicleId)
{
    m_requestId = requestId;
    m_vehicleId = vehicleId;
}

void GcsCliNfzOutcomes::recordTransfer(const char* kind, bool ok, int ret, const std::vector<int64_t>& ids)
{
    m_lastTransfer = {{"kind", kind},
                      {"ok", ok},
                      {"ret", ret},
                      {"zoneIds", ids},
                      {"vehicleId", m_vehicleId},
                      {"requestId", m_requestId ? nlohmann::json(m_requestId) : nullptr}};
    if (std::string_view(kind) == "upload")
        m_lastTransfer["enlargedZoneIds"] = m_enlargedIds;
}
