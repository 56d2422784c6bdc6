#include "FirmwareService.h"

#include "services/OperationGate.h"
#include "services/OutcomeRecorder.h"
#include "services/VehicleDirectory.h"

#include "firmware/FirmwareUpdateController.h"
#include "params/MavBasicParamsDataItem.h"
#include "params/MavParamsController.h"
#include "vehicle/MultiVehicleManager.h"
#include "vehicle/VehicleController.h"

#include "MavProtoFirmwareProcesser.h"

#include <spdlog/spdlog.h>

#include <algorithm>

using Step = FirmwareEnums::UpdateStep;
using UpdateResult = FirmwareEnums::UpdateResult;
using Startup = FirmwareEnums::UpdateStartupResult;

namespace svc {

FirmwareService::FirmwareService(VehicleDirectory& directory, OperationGate& gate, QObject* parent)
    : QObject(parent)
    , m_directory(directory)
    , m_gate(gate)
{
    m_clock.start();
    followVehicles(directory.manager());
}

Result<FirmwareTicket> FirmwareService::update(const std::shared_ptr<VehicleController>& vehicle,
                                               const FirmwareRequest& request)
{
    if (!vehicle)
        return Status::noVehicle("No vehicle");
    if (request.force && !m_allowForced)
        return Status::refused("A forced firmware update is for benches and simulators: start the station with "
                               "--allow-forced-firmware to allow it");
    if (auto s = m_directory.reachable(*vehicle, "firmware updates", !request.force))
        return s;
    const auto ctrl = vehicle->firmwareUpdateCtrler();
    if (!ctrl)
        return Status::refused("Firmware update is not available for this vehicle");
    if (ctrl->isRunning())
        return Status::busy("Firmware update already running on this vehicle");
    if (auto s = m_gate.check(*vehicle, Operation::Firmware))
        return s;
    const Startup ret = ctrl->updateFirmware(QString::fromStdString(request.path), request.firmInfoTimeoutMs,
                                             request.resetTimeoutMs, request.force,
                                             QString::fromStdString(request.sha256));
    const std::string why = ctrl->refusalText().toStdString();
    switch (ret) {
    case Startup::Ok: break;
    case Startup::FailedBusy: return Status::busy("Firmware update already running on this vehicle");
    case Startup::FailedFirmFileNotValid:
        return Status::invalid("Firmware file does not exist or is empty: " + request.path);
    case Startup::FailedReadFirmwareFile:
    case Startup::FailedChecksumMismatch: return Status::invalid("Firmware image refused: " + why);
    case Startup::FailedVehicleBusy:
        return Status::refused("Firmware update refused: " + why +
                               "; the vehicle must be alive, landed and disarmed (force is for a bench or simulator "
                               "only)");
    default: return Status::noVehicle("Vehicle " + std::to_string(vehicle->vehicleId()) + " cannot be updated now");
    }
    const int64_t requestId = nextRequestId();
    adopt(requestId, vehicle);
    spdlog::info("<services> firmware update of vehicle {} from {} started{}, requestId {}", vehicle->vehicleId(),
                 request.path, request.force ? " (forced)" : "", requestId);
    return FirmwareTicket{requestId,         vehicle->vehicleId(),     request.path, ctrl->imageSha256().toStdString(),
                          ctrl->imageSize(), ctrl->imageFrameCount(), request.force};
}

void FirmwareService::followVehicles(MultiVehicleManager* vehicleMgr)
{
    if (!vehicleMgr || vehicleMgr == m_vehicleMgr.data())
        return;
    m_vehicleMgr = vehicleMgr;
    connect(vehicleMgr, &MultiVehicleManager::vehicleJoined, this, &FirmwareService::follow);
    for (const auto& vehicle : vehicleMgr->vehicleList())
        follow(vehicle);
}

void FirmwareService::follow(const std::shared_ptr<VehicleController>& vehicle)
{
    const auto ctrl = vehicle ? vehicle->firmwareUpdateCtrler() : nullptr;
    FirmwareUpdateController* c = ctrl.get();
    if (!c || m_followed.count(c))
        return;
    m_followed.insert(c);
    const int vehicleId = vehicle->vehicleId();
    connect(c, &QObject::destroyed, this, [this, c] {
        m_followed.erase(c);
        m_current.erase(c);
    });
    connect(c, &FirmwareUpdateController::updateStepAndProgressChanged, this,
            [this, c, vehicleId](Step step, int done, int total) {
                // A new update, from here or another front end.
                if (step == Step::Reset)
                    begin(c, vehicleId);
                Update* u = currentOf(c);
                if (!u)
                    return;
                u->step = int(step);
                if (step == Step::UploadingData) {
                    u->framesAcked = done;
                    u->frameCount = total;
                    u->lastProgressMs = m_clock.elapsed();
                    if (u->uploadStartMs < 0)
                        u->uploadStartMs = u->lastProgressMs;
                }
            });
    connect(c, &FirmwareUpdateController::updateFinished, this, [this, c](UpdateResult ret) {
        Update* u = currentOf(c);
        if (!u || u->result)
            return;
        u->step = int(c->updateStep());
        u->result = int(ret);
    });
}

void FirmwareService::begin(FirmwareUpdateController* ctrl, int vehicleId)
{
    Update u;
    u.vehicleId = vehicleId;
    u.step = int(ctrl->updateStep());
    u.path = ctrl->filePath().toStdString();
    u.sha256 = ctrl->imageSha256().toStdString();
    u.totalSize = ctrl->imageSize();
    u.frameCount = ctrl->imageFrameCount();
    const int64_t key = m_nextLocalKey--;
    keep(key, std::move(u));
    m_current[ctrl] = key;
    m_latest[vehicleId] = key;
}

FirmwareService::Update* FirmwareService::currentOf(FirmwareUpdateController* ctrl)
{
    const auto key = m_current.find(ctrl);
    if (key == m_current.end())
        return nullptr;
    const auto it = m_updates.find(key->second);
    return it == m_updates.end() ? nullptr : &it->second;
}

void FirmwareService::keep(int64_t key, Update update)
{
    m_updates[key] = std::move(update);
    m_order.push_back(key);
    while (m_order.size() > kMaxUpdates) {
        m_updates.erase(m_order.front());
        m_order.pop_front();
    }
}

void FirmwareService::adopt(int64_t requestId, const std::shared_ptr<VehicleController>& vehicle)
{
    follow(vehicle);
    const auto ctrl = vehicle ? vehicle->firmwareUpdateCtrler() : nullptr;
    if (!ctrl)
        return;
    if (!currentOf(ctrl.get()))
        begin(ctrl.get(), vehicle->vehicleId());
    const int64_t old = m_current[ctrl.get()];
    Update u = m_updates[old];
    m_updates.erase(old);
    if (const auto at = std::find(m_order.begin(), m_order.end(), old); at != m_order.end())
        m_order.erase(at);
    u.requestId = requestId;
    const int vehicleId = u.vehicleId;
    keep(requestId, std::move(u));
    m_current[ctrl.get()] = requestId;
    m_latest[vehicleId] = requestId;
}

std::optional<FirmwareStatus> FirmwareService::statusOfRequest(int64_t requestId) const
{
    const auto it = m_updates.find(requestId);
    if (requestId <= 0 || it == m_updates.end())
        return std::nullopt;
    return describe(it->second);
}

FirmwareStatus FirmwareService::statusOfVehicle(int vehicleId) const
{
    const auto key = m_latest.find(vehicleId);
    const auto it = key == m_latest.end() ? m_updates.end() : m_updates.find(key->second);
    if (it != m_updates.end())
        return describe(it->second);
    Update idle;
    idle.vehicleId = vehicleId;
    return describe(idle);
}

FirmwareStatus FirmwareService::describe(const Update& u) const
{
    const auto vehicle = m_vehicleMgr ? m_vehicleMgr->findVehicleControllerById(u.vehicleId) : nullptr;
    const auto basic = vehicle && vehicle->paramsCtrler() ? vehicle->paramsCtrler()->basicParamsDataItem() : nullptr;
    QString version = basic ? basic->version() : QString();
    version.remove(QChar(0));

    const int64_t bytes =
        std::min<int64_t>(int64_t(u.framesAcked) * MavProtoFirmwareProcesser::kMaxFrameData, u.totalSize);
    // The rate of the data phase alone: the final-ack wait moves no bytes.
    const double seconds = u.uploadStartMs >= 0 ? double(u.lastProgressMs - u.uploadStartMs) / 1000.0 : 0.0;
    const double bytesPerSecond = seconds > 0 ? double(bytes) / seconds : 0.0;
    FirmwareStatus out;
    if (u.result)
        out.etaSeconds = 0.0;
    else if (bytesPerSecond > 0)
        out.etaSeconds = double(u.totalSize - bytes) / bytesPerSecond;
    const bool started = u.requestId != 0 || !u.path.empty();
    out.requestId = u.requestId > 0 ? u.requestId : 0;
    out.vehicleId = u.vehicleId;
    out.running = started && !u.result;
    out.step = FirmwareEnums::name(Step(u.step)).toStdString();
    out.framesAcked = u.framesAcked;
    out.frameCount = u.frameCount;
    out.percent = u.frameCount > 0 ? 100.0 * u.framesAcked / u.frameCount : 0.0;
    if (u.result) {
        out.result = FirmwareEnums::name(UpdateResult(*u.result)).toStdString();
        out.resultCode = *u.result;
    }
    out.path = u.path;
    out.sha256 = u.sha256;
    out.totalSize = u.totalSize;
    out.bytesPerSecond = bytesPerSecond;
    out.vehicleVersion = version.toStdString();
    return out;
}

}  // namespace svc
