#include "ParamService.h"

#include "services/OperationGate.h"
#include "services/OutcomeRecorder.h"
#include "params/MavParamsController.h"
#include "vehicle/VehicleController.h"

#include <spdlog/spdlog.h>

#include <algorithm>

namespace svc {
namespace {

struct Group {
    const char* name;
    void (MavParamsController::*read)();
    void (MavParamsController::*write)();
};

constexpr Group kGroups[] = {
    {"basic", &MavParamsController::readBasicParams, &MavParamsController::writeBasicParams},
    {"stab", &MavParamsController::readStabCtrlParams, &MavParamsController::writeStabCtrlParams},
    {"pos", &MavParamsController::readPosCtrlParams, &MavParamsController::writePosCtrlParams},
    {"res", &MavParamsController::readResParams, &MavParamsController::writeResParams},
    {"fixedStab", &MavParamsController::readFixedStabCtrlParams, &MavParamsController::writeFixedStabCtrlParams},
    {"fixedPos", &MavParamsController::readFixedPosCtrlParams, &MavParamsController::writeFixedPosCtrlParams},
};

const Group* findGroup(const std::string& name)
{
    const auto g = std::find_if(std::begin(kGroups), std::end(kGroups), [&](const Group& x) { return name == x.name; });
    return g == std::end(kGroups) ? nullptr : g;
}

Status firmwareRefusal(const VehicleController& vehicle)
{
    if (!vehicle.firmwareUpdating())
        return {};
    return Status::refused("Vehicle " + std::to_string(vehicle.vehicleId()) +
                           " is updating its firmware; commands are refused until the update ends");
}

}  // namespace

ParamService::ParamService(OperationGate& gate, OutcomeRecorder& outcomes, QObject* parent)
    : QObject(parent)
    , m_gate(gate)
    , m_outcomes(outcomes)
{
}

Status ParamService::checkGroup(const std::string& group)
{
    return findGroup(group) ? Status{} : Status::invalid("Unsupported params.group");
}

Status ParamService::checkValues(const std::string& group, const ParamTable::Values& values)
{
    if (auto s = checkGroup(group))
        return s;
    const std::string refusal = ParamTable::apply(nullptr, group, values);
    return refusal.empty() ? Status{} : Status::invalid(refusal);
}

Status ParamService::writable(const VehicleController& vehicle, const std::string& group) const
{
    if (!m_outcomes.paramsReadState(&vehicle, group).readSinceAlive)
        return Status::refused("Parameter group not read from the vehicle yet; read it first");
    const auto params = vehicle.paramsCtrler();
    if ((params && params->batchReadingParams()) || m_outcomes.paramsBusy(&vehicle))
        return Status::refused("A parameter operation is in progress");
    return m_gate.check(vehicle, Operation::ParamWrite);
}

Result<ParamTicket> ParamService::send(const std::shared_ptr<VehicleController>& vehicle, const std::string& group,
                                       bool write, const std::string& action)
{
    const Group* g = findGroup(group);
    const auto params = vehicle ? vehicle->paramsCtrler() : nullptr;
    if (!g)
        return Status::invalid("Unsupported params.group");
    if (!params)
        return Status::refused("Params controller is not available");
    if (auto s = firmwareRefusal(*vehicle))
        return s;
    const int64_t requestId = nextRequestId();
    m_outcomes.trackParams(requestId, action, vehicle, group, write);
    spdlog::info("<services> params {} of group {} for vehicle {}, requestId {}", write ? "write" : "read", group,
                 vehicle->vehicleId(), requestId);
    ((*params).*(write ? g->write : g->read))();
    return ParamTicket{requestId, vehicle->vehicleId(), group, write};
}

Result<ParamTicket> ParamService::read(const std::shared_ptr<VehicleController>& vehicle, const std::string& group,
                                       const std::string& action)
{
    return send(vehicle, group, false, action);
}

Result<ParamTicket> ParamService::write(const std::shared_ptr<VehicleController>& vehicle, const std::string& group,
                                        const std::string& action)
{
    if (auto s = checkGroup(group))
        return s;
    if (!vehicle || !vehicle->paramsCtrler())
        return Status::refused("Params controller is not available");
    if (auto s = writable(*vehicle, group))
        return s;
    return send(vehicle, group, true, action);
}

Result<ParamTicket> ParamService::set(const std::shared_ptr<VehicleController>& vehicle, const std::string& group,
                                      const ParamTable::Values& values)
{
    if (auto s = checkValues(group, values))
        return s;
    const auto params = vehicle ? vehicle->paramsCtrler() : nullptr;
    if (!params)
        return Status::refused("Params controller is not available");
    if (auto s = writable(*vehicle, group))
        return s;
    ParamTable::apply(params.get(), group, values);
    return send(vehicle, group, true, "params.set");
}

Result<ParamGroupValues> ParamService::values(const std::shared_ptr<VehicleController>& vehicle,
                                              const std::string& group) const
{
    if (auto s = checkGroup(group))
        return s;
    const auto params = vehicle ? vehicle->paramsCtrler() : nullptr;
    if (!params)
        return Status::refused("Params controller is not available");
    const auto state = m_outcomes.paramsReadState(vehicle.get(), group);
    ParamGroupValues out;
    out.vehicleId = vehicle->vehicleId();
    out.group = group;
    out.readSinceAlive = state.readSinceAlive;
    out.lastReadCode = state.lastCode;
    out.fields = ParamTable::fields(params.get(), group);
    out.firmwareVersion = ParamTable::firmwareVersion(*params, group);
    return out;
}

}  // namespace svc
