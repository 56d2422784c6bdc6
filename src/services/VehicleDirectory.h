#pragma once
// Which vehicle a request is for. A selector names a vehicle by code or by id (the code wins);
// naming none means the operator's active vehicle, the CLI's default. When nothing matches, the
// message says which of three it is: an unknown id or code (with the ids that are known), no
// link at all, or no active vehicle to default to.

#include "services/ServiceResult.h"

#include <QString>

#include <memory>
#include <optional>
#include <vector>

class MultiVehicleManager;
class VehicleController;

namespace svc {

using VehiclePtr = std::shared_ptr<VehicleController>;

struct VehicleSelector {
    std::optional<int> id;
    std::optional<QString> code;
    bool empty() const { return !id && (!code || code->isEmpty()); }
};

class VehicleDirectory {
public:
    VehicleDirectory(MultiVehicleManager* vehicles, std::function<bool()> linkConnected);

    Result<VehiclePtr> resolve(const VehicleSelector& selector) const;
    Result<VehiclePtr> byId(int id) const { return resolve({id, std::nullopt}); }
    std::vector<VehiclePtr> all() const;
    bool linkConnected() const;
    MultiVehicleManager* manager() const { return m_vehicles; }

    // A vehicle that can take a command now: linked locally, link open, alive. `what` names the
    // operation in the refusal ("control commands", "mission transfer").
    Status reachable(const VehicleController& vehicle, const char* what, bool requireAlive = true) const;

private:
    std::string knownList() const;

    MultiVehicleManager* m_vehicles = nullptr;
    std::function<bool()> m_linkConnected;
};

}  // namespace svc
