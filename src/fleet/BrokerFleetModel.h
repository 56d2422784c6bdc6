#pragma once
// The fleet as the stations publish it to a broker, for a viewer that has no vehicle link of its
// own: fed with each message under velmora/fleet/#, it answers the page's documents.
//
//   velmora/fleet/<station>/status       {"online", "version", "vehicles", "startedAt"}, retained
//   velmora/fleet/<station>/vehicle/<id> the vehicle (FleetPublisher.h lists its fields), retained;
//                                        empty when the vehicle left the station
//   velmora/fleet/<station>/alert        one alert raised or cleared
//
// Choices:
// - A vehicle is keyed "<station>/<id>" and carries "station" and "key"; its "alive" is what its
//   station said AND that station is online, so the vehicles of a station whose status turns
//   offline (its last will, or its own goodbye) grey out at once and keep their last position.
//   The same holds for every station while the viewer itself has lost the broker, and for a
//   vehicle whose retained state is older than its station's startedAt: a restarted station
//   shows its vehicles alive only once it has heard them itself.
// - Broker input is untrusted. A payload over kMostPayloadBytes, one that is not a JSON object,
//   a known field of the wrong type (or a position out of range), a topic outside the layout
//   above (a station id is 1-64 of [A-Za-z0-9_.-], a vehicle id 1-255), and a new station past
//   kMostStations are dropped whole and counted by reason. An unknown field is dropped alone
//   and counted; the rest of its message is used. Drops are logged at most once a second per
//   reason, with the count in between.
// - The station publishes no link counters: linkStats is an empty object here.
// - Alert messages are counted per station; the active alerts come with each vehicle's state,
//   so a viewer started late still has them.
// Main thread only (or any one thread).

#include "FleetPageSource.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>

class BrokerFleetModel : public FleetPageSource {
public:
    static constexpr size_t kMostPayloadBytes = 16 * 1024;
    static constexpr size_t kMostStations = 256;
    static constexpr const char* kTopicRoot = "velmora/fleet/";

    struct Counters {
        uint64_t received = 0;
        uint64_t accepted = 0;
        uint64_t malformed = 0;
        uint64_t oversized = 0;
        uint64_t outsideLayout = 0;
        uint64_t unknownFields = 0;  // fields, not messages
        uint64_t overLimit = 0;
        uint64_t alertEvents = 0;
    };

    // linkState: the viewer's own broker connection, shown as the page's link document.
    explicit BrokerFleetModel(std::function<nlohmann::json()> linkState = {});

    // One message as received; false when it was dropped (why in *error when given).
    bool handleMessage(std::string_view topic, std::string_view payload, std::string* error = nullptr);
    // While the viewer has lost the broker nothing it shows is current: every vehicle is shown
    // not alive until the broker is back and the stations' states arrive again.
    void setBrokerConnected(bool connected);
    const Counters& counters() const { return m_counters; }
    nlohmann::json countersJson() const;
    size_t vehicleCount() const;

    std::vector<Vehicle> vehicles() override;
    nlohmann::json fleet() override;
    nlohmann::json alerts() override;
    nlohmann::json activeRoute() override;
    nlohmann::json zones() override;
    nlohmann::json link() override;
    nlohmann::json stations() override;

private:
    struct VehicleState {
        nlohmann::json v;  // as published, checked, with the viewer's keys
        nlohmann::json alerts = nlohmann::json::array();
        bool alive = false;  // as the station said
        int64_t timeMs = 0;  // the station's clock when it said so
    };
    struct Station {
        bool online = false;
        std::string version;
        std::string startedAt;
        int64_t startedAtMs = 0;
        int64_t announcedVehicles = 0;
        uint64_t alertEvents = 0;
        std::map<int, VehicleState> vehicles;
    };
    bool drop(uint64_t Counters::*counter, const char* reason, std::string_view topic, std::string* error,
              const std::string& detail = {});
    bool applyStatus(const std::string& station, std::string_view topic, std::string_view payload, std::string* error);
    bool applyVehicle(const std::string& station, int id, std::string_view topic, std::string_view payload,
                      std::string* error);
    bool applyAlert(const std::string& station, std::string_view topic, std::string_view payload, std::string* error);
    Station* station(const std::string& id, std::string_view topic, std::string* error);
    bool current(const Station& s, const VehicleState& vehicle) const;
    nlohmann::json shown(const std::string& station, const Station& s, const VehicleState& vehicle) const;

    std::function<nlohmann::json()> m_linkState;
    std::map<std::string, Station> m_stations;
    bool m_brokerConnected = true;
    Counters m_counters;
    std::map<std::string, int64_t> m_lastLogMs;  // per reason
    std::map<std::string, uint64_t> m_quietDrops;  // per reason, since its last log line
    bool m_alertsDirty = true;
    nlohmann::json m_alertsDoc;
};
