#pragma once
// What the fleet page server reads: the documents of FleetReadModel.h and, for its ticks, each
// vehicle's V split from its linkStats. A station reads its own vehicles (StationFleetSource);
// the fleet viewer reads what stations published to a broker (BrokerFleetModel). One page
// server serves either, with the same rules and limits. Main thread only.

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class FleetPageSource {
public:
    virtual ~FleetPageSource() = default;

    struct Vehicle {
        std::string key;
        nlohmann::json v;  // V without "linkStats"; null: unchanged (see vehiclesSince)
        nlohmann::json linkStats;
        uint64_t stamp = 0;  // changes whenever v or linkStats may have; 0: not stamped
    };
    // Every vehicle now, in list order.
    virtual std::vector<Vehicle> vehicles() = 0;
    // As vehicles(), for a caller that holds each vehicle as of a stamp (`held` answers it by
    // key, 0 for none): a vehicle still at that stamp comes with v and linkStats null, so a tick
    // of a large fleet builds only what changed. By default nothing is stamped.
    virtual std::vector<Vehicle> vehiclesSince(const std::function<uint64_t(const std::string& key)>& held)
    {
        (void)held;
        return vehicles();
    }
    // The whole fleet document (/api/v1/fleet).
    virtual nlohmann::json fleet() = 0;
    virtual nlohmann::json alerts() = 0;
    virtual nlohmann::json activeRoute() = 0;
    virtual nlohmann::json zones() = 0;
    virtual nlohmann::json link() = 0;
    // The stations a viewer hears ({"stations": [...], "count"}); null for a station itself,
    // whose page then has no station list.
    virtual nlohmann::json stations() { return nullptr; }
    // Change when the active route or the zone set may have been replaced: the page rebuilds
    // those (possibly large) documents then, and otherwise once a second.
    virtual uint64_t routeStamp() { return 0; }
    virtual uint64_t zonesStamp() { return 0; }
};
