#include "StationFleetSource.h"

#include "mission/MavFlightRouteDataItem.h"
#include "mission/MavMissionsController.h"
#include "telemetry/VehicleAlert.h"
#include "telemetry/VehicleAlertController.h"
#include "vehicle/MultiVehicleManager.h"
#include "vehicle/VehicleController.h"

#include "NfzZoneManager.h"

#include <algorithm>
#include <functional>

using nlohmann::json;

namespace {

bool sameAlerts(const QList<VehicleAlert>& a, const QList<VehicleAlert>& b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const VehicleAlert& x, const VehicleAlert& y) {
        return x.key == y.key && x.level == y.level && x.sourceField == y.sourceField &&
               x.currentValue == y.currentValue && x.expectedValue == y.expectedValue &&
               x.thresholdValue == y.thresholdValue && x.timestampMs == y.timestampMs;
    });
}

uint64_t stamp(const void* object, size_t count)
{
    return std::hash<const void*>()(object) * 31 + count;
}

}  // namespace

StationFleetSource::StationFleetSource(std::function<FleetReadModel::Sources()> sources)
    : m_sources(std::move(sources))
{
}

std::vector<FleetPageSource::Vehicle> StationFleetSource::vehicles()
{
    std::vector<Vehicle> list;
    auto* mvm = m_sources().vehicles;
    if (!mvm)
        return list;
    const auto active = mvm->activeVehicle();
    for (const auto& v : mvm->vehicleList())
        list.push_back({FleetReadModel::vehicleKey(*v), FleetReadModel::vehicleWithoutLinkStats(*v, v == active),
                        FleetReadModel::linkStats(*v)});
    return list;
}

json StationFleetSource::fleet()
{
    return FleetReadModel::fleet(m_sources());
}

json StationFleetSource::alerts()
{
    json list = json::array();
    auto* mvm = m_sources().vehicles;
    if (!mvm)
        return {{"alerts", list}, {"count", 0}};
    std::unordered_map<std::string, AlertsCache> next;
    for (const auto& v : mvm->vehicleList()) {
        QList<VehicleAlert> active;
        if (const auto alerts = v->alertCtrler())
            active = alerts->activeAlerts();
        std::sort(active.begin(), active.end(), [](const auto& a, const auto& b) { return a.key < b.key; });
        const std::string key = FleetReadModel::vehicleKey(*v);
        auto& entry = next[key];
        if (const auto old = m_alerts.find(key); old != m_alerts.end() && sameAlerts(old->second.active, active))
            entry = std::move(old->second);
        else
            entry = {active, FleetReadModel::vehicleAlerts(*v)};
        for (const auto& a : entry.entries)
            list.push_back(a);
    }
    m_alerts = std::move(next);
    const auto count = list.size();
    return {{"alerts", std::move(list)}, {"count", count}};
}

json StationFleetSource::activeRoute()
{
    return FleetReadModel::activeRoute(m_sources());
}

json StationFleetSource::zones()
{
    return FleetReadModel::zones(m_sources());
}

json StationFleetSource::link()
{
    return FleetReadModel::link(m_sources());
}

uint64_t StationFleetSource::routeStamp()
{
    const auto missions = m_sources().missions;
    const auto route = missions ? missions->activeFlightRoute() : nullptr;
    return stamp(route.get(), route ? size_t(route->wayPointCount()) + 1 : 0);
}

uint64_t StationFleetSource::zonesStamp()
{
    const auto zones = m_sources().zones;
    return zones ? stamp(zones->zones().data(), zones->zoneCount()) : 0;
}
