#include "OperationGate.h"

#include "firmware/FirmwareUpdateController.h"
#include "mission/MavMissionsController.h"
#include "nfz/NfzVehicleController.h"
#include "vehicle/VehicleController.h"

namespace svc {

const char* operationName(Operation op)
{
    switch (op) {
    case Operation::RouteUpload: return "a route upload";
    case Operation::RouteDownload: return "a route download";
    case Operation::ZoneTransfer: return "a zone transfer";
    case Operation::Firmware: return "a firmware update";
    case Operation::ParamWrite: return "a parameter write";
    case Operation::Calibration: return "a calibration";
    }
    return "an operation";
}

OperationGate::OperationGate(std::weak_ptr<MavMissionsController> missions, std::weak_ptr<NfzVehicleController> zones,
                             std::function<bool(const VehicleController&)> paramsBusy)
    : m_missions(std::move(missions))
    , m_zones(std::move(zones))
    , m_paramsBusy(std::move(paramsBusy))
{
}

std::optional<Operation> OperationGate::running(const VehicleController& vehicle) const
{
    const auto firmware = vehicle.firmwareUpdateCtrler();
    if (vehicle.firmwareUpdating() || (firmware && firmware->isRunning()))
        return Operation::Firmware;
    if (const auto missions = m_missions.lock(); missions && missions->transferVehicle().get() == &vehicle)
        return missions->isUploading() ? Operation::RouteUpload : Operation::RouteDownload;
    if (const auto zones = m_zones.lock(); zones && zones->sessionVehicle().get() == &vehicle)
        return Operation::ZoneTransfer;
    if (vehicle.teleReqHolds() & VehicleController::CalibrationHold)
        return Operation::Calibration;
    // Reads share the link but change nothing on the vehicle: only an unanswered write counts.
    if (m_paramsBusy && m_paramsBusy(vehicle))
        return Operation::ParamWrite;
    return std::nullopt;
}

Status OperationGate::check(const VehicleController& vehicle, Operation wanted) const
{
    const auto op = running(vehicle);
    if (!op)
        return {};
    return Status::busy("Vehicle " + std::to_string(vehicle.vehicleId()) + " is busy with " + operationName(*op) +
                        "; " + operationName(wanted) + " is refused until it ends");
}

}  // namespace svc
