#pragma once
// The station's operations, addressed by vehicle, below every front end (the CLI endpoint, the
// MAVLink bridge, the fleet page, a desktop window) and above the controllers. Every operation
// names the vehicle it is for; none reads or moves the active vehicle, which stays the
// operator's selection (VehicleDirectory::resolve falls back to it only when a caller names no
// vehicle, as the CLI does). The rules of what may run when live here once:
//
//   VehicleDirectory   which vehicle a selector names, and why none does
//   OperationGate      one operation per vehicle: route or zone transfer, firmware, parameter
//                      write, calibration exclude each other on the same vehicle
//   CommandService     flight commands and their outcomes by request id
//   ParamService       parameter groups: read, write, set, as last read
//   RouteService       the route store: create, change, delete, activate, import, export
//   MissionService     route checks, transfers to and from any vehicle, mission start
//   FirmwareService    firmware updates
//   ZoneService        no-fly-zone uploads and manual binds
//   OutcomeRecorder    what happened to each request, kept across link cycles
//
// The app wires one VehicleServices from its controllers (Deps) and hands it to the front ends.
// Main thread only.

#include "services/ServiceResult.h"

#include <QObject>

#include <functional>
#include <memory>

class MavFlightRouteManager;
class MavMissionsController;
class MultiVehicleManager;
class NfzVehicleController;
class NfzZoneManager;
class GcsConsoleHandler;
class VehicleController;

namespace svc {

class CommandService;
class FirmwareService;
class MissionService;
class OperationGate;
class OutcomeRecorder;
class ParamService;
class RouteService;
class VehicleDirectory;
class ZoneService;

struct Deps {
    MultiVehicleManager* vehicles = nullptr;
    std::shared_ptr<MavMissionsController> missions;
    std::shared_ptr<MavFlightRouteManager> routes;
    std::shared_ptr<NfzVehicleController> zoneTransfers;
    std::shared_ptr<NfzZoneManager> zones;
    std::shared_ptr<GcsConsoleHandler> console;
    // Whether the vehicle link is open (the link manager registry's active manager).
    std::function<bool()> linkConnected;
};

class VehicleServices : public QObject {
    Q_OBJECT
public:
    explicit VehicleServices(Deps deps, QObject* parent = nullptr);
    ~VehicleServices() override;

    const Deps& deps() const { return m_deps; }
    VehicleDirectory& directory() const { return *m_directory; }
    OperationGate& gate() const { return *m_gate; }
    OutcomeRecorder& outcomes() const { return *m_outcomes; }
    CommandService& commands() const { return *m_commands; }
    ParamService& params() const { return *m_params; }
    RouteService& routes() const { return *m_routes; }
    MissionService& missions() const { return *m_missions; }
    FirmwareService& firmware() const { return *m_firmware; }
    ZoneService& zones() const { return *m_zones; }

    // The operator's selection, the default target of calls that name no vehicle.
    Status setActiveVehicle(const std::shared_ptr<VehicleController>& vehicle);

private:
    Deps m_deps;
    std::unique_ptr<VehicleDirectory> m_directory;
    std::unique_ptr<OperationGate> m_gate;
    std::unique_ptr<RouteService> m_routes;
    OutcomeRecorder* m_outcomes = nullptr;  // children: they connect to controllers' signals
    CommandService* m_commands = nullptr;
    ParamService* m_params = nullptr;
    MissionService* m_missions = nullptr;
    FirmwareService* m_firmware = nullptr;
    ZoneService* m_zones = nullptr;
};

}  // namespace svc
