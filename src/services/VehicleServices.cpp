#include "VehicleServices.h"

#include "services/CommandService.h"
#include "services/FirmwareService.h"
#include "services/MissionService.h"
#include "services/OperationGate.h"
#include "services/OutcomeRecorder.h"
#include "services/ParamService.h"
#include "services/RouteService.h"
#include "services/VehicleDirectory.h"
#include "services/ZoneService.h"
#include "vehicle/MultiVehicleManager.h"
#include "vehicle/VehicleController.h"

#include <spdlog/spdlog.h>

namespace svc {

VehicleServices::VehicleServices(Deps deps, QObject* parent)
    : QObject(parent)
    , m_deps(std::move(deps))
{
    m_directory = std::make_unique<VehicleDirectory>(m_deps.vehicles, m_deps.linkConnected);
    m_outcomes = new OutcomeRecorder(m_deps.vehicles, m_deps.console.get(), this);
    m_gate = std::make_unique<OperationGate>(
        m_deps.missions, m_deps.zoneTransfers,
        [outcomes = m_outcomes](const VehicleController& v) { return outcomes->paramsBusy(&v, true); });
    m_routes = std::make_unique<RouteService>(m_deps.missions, m_deps.routes);
    m_commands = new CommandService(*m_directory, *m_outcomes, this);
    m_params = new ParamService(*m_gate, *m_outcomes, this);
    m_missions = new MissionService(*m_directory, *m_gate, *m_commands, *m_routes, m_deps.missions, this);
    m_firmware = new FirmwareService(*m_directory, *m_gate, this);
    m_zones = new ZoneService(*m_directory, *m_gate, m_deps.zoneTransfers, m_deps.zones, this);
}

Status VehicleServices::setActiveVehicle(const std::shared_ptr<VehicleController>& vehicle)
{
    if (!vehicle || !m_deps.vehicles)
        return Status::noVehicle("No vehicle");
    m_deps.vehicles->setActiveVevhile(vehicle);
    spdlog::info("<services> active vehicle set to {}", vehicle->vehicleId());
    return {};
}

// Children go first (they hold references to the members below).
VehicleServices::~VehicleServices()
{
    delete m_zones;
    delete m_firmware;
    delete m_missions;
    delete m_params;
    delete m_commands;
    delete m_outcomes;
}

}  // namespace svc
