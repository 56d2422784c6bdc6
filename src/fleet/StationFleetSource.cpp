#include "StationFleetSource.h"

#include "OstMainLoopGate.h"

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

// The page sends link counters at most once a second.
constexpr int64_t kLinkEveryMs = 1000;

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
    return vehiclesSince({});
}

std::vector<FleetPageSource::Vehicle>
StationFleetSource::vehiclesSince(const std::function<uint64_t(const std::string& key)>& held)
{
    std::vector<Vehicle> list;
    auto* mvm = m_sources().vehicles;
    if (!mvm) {
        m_seen.clear();
        return list;
    }
    const auto active = mvm->activeVehicle();
    const auto all = mvm->vehicleList();
    const int64_t now = FleetReadModel::nowMs();
    const uint64_t round = ++m_rounds;
    list.reserve(size_t(all.size()));
    for (const auto& v : all) {
        OstMainLoopGate::instance().pass();
        std::string key = FleetReadModel::vehicleKey(*v);
        auto shown = FleetReadModel::shown(*v, v == active);
        const auto link = v->linkLossStats();
        Seen& seen = m_seen[key];
        seen.round = round;
        bool changed = seen.stamp == 0 || !(seen.shown == shown);
        if (seen.stamp == 0 || (!(seen.link == link) && now - seen.linkTakenMs >= kLinkEveryMs)) {
            seen.link = link;
            seen.linkTakenMs = now;
            changed = true;
        }
        if (changed) {
            seen.shown = std::move(shown);
            seen.stamp = ++m_stamps;
        }
        if (held && held(key) == seen.stamp)
            list.push_back({std::move(key), nullptr, nullptr, seen.stamp});
        else
            list.push_back({key, FleetReadModel::vehicleWithoutLinkStats(seen.shown, key),
                            FleetReadModel::linkStats(seen.link), seen.stamp});
    }
    std::erase_if(m_seen, [&](const auto& entry) { return entry.second.round != round; });
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
