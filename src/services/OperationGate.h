#pragma once
// One operation per vehicle. A route transfer, a zone transfer, a firmware update, a parameter
// write and a calibration each hold the vehicle's link for a chain of acknowledged requests; two
// of them interleaved on one vehicle have both reported success while the vehicle took neither
// whole. What runs is read from the controllers themselves (never a separate flag that could
// disagree with them), so a request refused here names the operation the vehicle is busy with.

#include "services/ServiceResult.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

class MavMissionsController;
class NfzVehicleController;
class VehicleController;

namespace svc {

enum class Operation { RouteUpload, RouteDownload, ZoneTransfer, Firmware, ParamWrite, Calibration };

const char* operationName(Operation op);

class OperationGate {
public:
    // `paramsBusy` says whether a parameter write sent through the services is unanswered.
    OperationGate(std::weak_ptr<MavMissionsController> missions, std::weak_ptr<NfzVehicleController> zones,
                  std::function<bool(const VehicleController&)> paramsBusy);

    std::optional<Operation> running(const VehicleController& vehicle) const;
    // Empty when `wanted` may start on `vehicle`; else Busy, naming what runs.
    Status check(const VehicleController& vehicle, Operation wanted) const;

private:
    std::weak_ptr<MavMissionsController> m_missions;
    std::weak_ptr<NfzVehicleController> m_zones;
    std::function<bool(const VehicleController&)> m_paramsBusy;
};

}  // namespace svc
