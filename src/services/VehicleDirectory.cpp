#include "VehicleDirectory.h"

#include "vehicle/MultiVehicleManager.h"
#include "vehicle/VehicleController.h"

namespace svc {

VehicleDirectory::VehicleDirectory(MultiVehicleManager* vehicles, std::function<bool()> linkConnected)
    : m_vehicles(vehicles)
    , m_linkConnected(std::move(linkConnected))
{
}

bool VehicleDirectory::linkConnected() const
{
    return m_linkConnected && m_linkConnected();
}

std::vector<VehiclePtr> VehicleDirectory::all() const
{
    std::vector<VehiclePtr> out;
    if (m_vehicles)
        for (const auto& v : m_vehicles->vehicleList())
            out.push_back(v);
    return out;
}

std::string VehicleDirectory::knownList() const
{
    std::string ids;
    for (const auto& v : all()) {
        if (!ids.empty())
            ids += ", ";
        ids += v->isLocal() ? std::to_string(v->vehicleId()) : v->vehicleCode().toStdString();
    }
    return ids.empty() ? std::string("none") : ids;
}

Result<VehiclePtr> VehicleDirectory::resolve(const VehicleSelector& selector) const
{
    if (!m_vehicles)
        return Status::refused("The vehicle registry is not available");
    VehiclePtr found;
    if (selector.code && !selector.code->isEmpty())
        found = m_vehicles->findVehicleControllerByCode(*selector.code);
    else if (selector.id)
        found = m_vehicles->findVehicleControllerById(*selector.id);
    else
        found = m_vehicles->activeVehicle();
    if (found)
        return found;
    if (m_vehicles->vehicleList().isEmpty() && !linkConnected())
        return Status::noVehicle("No link: run connection.connect first");
    if (selector.code && !selector.code->isEmpty())
        return Status::noVehicle("No vehicle with code " + selector.code->toStdString() + "; known: " + knownList());
    if (selector.id)
        return Status::noVehicle("No vehicle " + std::to_string(*selector.id) + "; known: " + knownList());
    return Status::noVehicle("No active vehicle: pass vehicleId or run vehicle.setActive");
}

Status VehicleDirectory::reachable(const VehicleController& vehicle, const char* what, bool requireAlive) const
{
    const std::string op = what;
    if (!vehicle.isLocal())
        return Status::refused("Vehicle " + vehicle.vehicleCode().toStdString() + " is watched remotely; " + op +
                               " go only to locally linked vehicles");
    if (!linkConnected())
        return Status::refused("GCS link is not connected; " + op + " are blocked");
    if (requireAlive && !vehicle.alive())
        return Status::refused("Vehicle " + std::to_string(vehicle.vehicleId()) + " is not alive; " + op +
                               " are blocked");
    return {};
}

}  // namespace svc
