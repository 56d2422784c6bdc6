#include "VehicleUtil.h"

#include "VehicleController.h"

std::shared_ptr<MavParamsController> VehicleUtil::getParamsCtrler(const std::shared_ptr<VehicleController>& vehicle)
{
    return vehicle ? vehicle->paramsCtrler() : nullptr;
}
