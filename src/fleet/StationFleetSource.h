#pragma once
// The station's own fleet as the page reads it: FleetReadModel over the objects its owner hands
// down (asked anew at every read, so a controller replaced at run time is seen). The alerts
// document is rebuilt only for vehicles whose active alerts changed since the last read.
//
// vehiclesSince stamps each vehicle: its stamp changes when what the page shows of it changes,
// or when its link counters moved and were last taken a second ago or more. The counters move at
// every telemetry request, and the page sends them at most once a second anyway; a tick at twice
// the telemetry rate then builds each vehicle at most once per sample instead of at every tick.
// A vehicle built carries the counters as last taken.

#include "FleetPageSource.h"
#include "FleetReadModel.h"

#include "telemetry/MavLinkLossStats.h"
#include "telemetry/VehicleAlert.h"

#include <QList>

#include <functional>
#include <unordered_map>

class StationFleetSource : public FleetPageSource {
public:
    explicit StationFleetSource(std::function<FleetReadModel::Sources()> sources);

    std::vector<Vehicle> vehicles() override;
    std::vector<Vehicle> vehiclesSince(const std::function<uint64_t(const std::string& key)>& held) override;
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
    struct Seen {
        FleetReadModel::Shown shown;
        MavLinkLossStatsSnapshot link;
        int64_t linkTakenMs = 0;
        uint64_t stamp = 0;
        uint64_t round = 0;
    };
    std::unordered_map<std::string, Seen> m_seen;  // by vehicle key
    uint64_t m_stamps = 0;
    uint64_t m_rounds = 0;
};
