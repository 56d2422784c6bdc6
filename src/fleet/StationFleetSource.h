#pragma once
// The station's own fleet as the page reads it: FleetReadModel over the objects its owner hands
// down (asked anew at every read, so a controller replaced at run time is seen). The alerts
// document is rebuilt only for vehicles whose active alerts changed since the last read.

#include "FleetPageSource.h"
#include "FleetReadModel.h"

#include "telemetry/VehicleAlert.h"

#include <QList>

#include <functional>
#include <unordered_map>

class StationFleetSource : public FleetPageSource {
public:
    explicit StationFleetSource(std::function<FleetReadModel::Sources()> sources);

    std::vector<Vehicle> vehicles() override;
    nlohmann::json fleet() override;
    nlohmann::json alerts() override;
    nlohmann::json activeRoute() override;
    nlohmann::json zones() override;
    nlohmann::json link() override;
    uint64_t routeStamp() override;
    uint64_t zonesStamp() override;

private:
    std::function<FleetReadModel::Sources()> m_sources;
    struct AlertsCache {
        QList<VehicleAlert> active;
        nlohmann::json entries = nlohmann::json::array();
    };
    std::unordered_map<std::string, AlertsCache> m_alerts;
};
