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
// - A station is "online" only when the viewer has heard it live: stations publish their status
//   every "statusEveryS" seconds (5) with their own "time". After every (re)connect of the viewer
//   each station is "unconfirmed" until a status arrives whose time differs from the first one
//   heard since the connect (that first one may be the broker's retained copy, however old),
//   "offline" when none has come within kMissedStatuses intervals of the connect, and a station
//   whose last such status is older than kMissedStatuses intervals (viewer clock) is "offline"
//   again. So a station that died while the broker was down, or whose main thread
//   hangs while its network thread keeps the connection, greys out. "offlineSince" is when it
//   stopped being live as far as the viewer knows (null when it never was).
// - A vehicle is keyed "<station>/<id>" and carries "station" and "key"; its "alive" is what its
//   station said AND that station is online AND its state is younger than kMissedStatuses
//   status intervals (station clock: the state's "time" against the station's latest status
//   time plus the time since it arrived, so the two machines' clocks need not agree) AND not
//   older than the station's startedAt. The vehicles of a station that is not online grey out
//   and keep their last position. "lastSeenMs" is when its state was made, on the viewer's
//   clock, in whole seconds as the page shows it (null until a live status gives the offset):
//   the offset moves by a few ms with each status, which is no change of the vehicle.
// - vehiclesSince stamps each vehicle: its stamp changes with its state and with what time alone
//   changes (alive, stationOnline, lastSeenMs), so the page's tick skips the others unbuilt.
// - A status lists "vehicleIds": any other vehicle of that station is dropped (a vehicle that
//   did not come back after a crash is not a ghost).
// - A station not heard from for forgetAfterMs (a day) is forgotten, so the kMostStations slots
//   are not a lifetime limit.
// - The alerts document carries at most kMostShownAlertsPerVehicle alerts of a vehicle and
//   kMostShownAlertsPerStation of a station (the most severe first; "omitted" counts the rest),
//   and is rebuilt at most once every kAlertsEveryMs: one station's flood of changing alerts
//   costs the viewer one bounded document a second.
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
    static constexpr int kMissedStatuses = 3;
    static constexpr int64_t kDefaultStatusEveryMs = 5000;
    static constexpr int64_t kDefaultForgetAfterMs = 24 * 3600 * 1000;
    static constexpr size_t kMostShownAlertsPerVehicle = 16;
    static constexpr size_t kMostShownAlertsPerStation = 64;
    static constexpr int64_t kAlertsEveryMs = 1000;

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
    // clockMs: the viewer's clock (tests move it); default the system's.
    explicit BrokerFleetModel(std::function<nlohmann::json()> linkState = {}, std::function<int64_t()> clockMs = {});
    void setForgetAfterMs(int64_t ms) { m_forgetAfterMs = ms; }

    // One message as received; false when it was dropped (why in *error when given).
    bool handleMessage(std::string_view topic, std::string_view payload, std::string* error = nullptr);
    // While the viewer has lost the broker nothing it shows is current: every vehicle is shown
    // not alive until the broker is back and the stations' live statuses arrive again; each
    // change makes every station unconfirmed.
    void setBrokerConnected(bool connected);
    const Counters& counters() const { return m_counters; }
    nlohmann::json countersJson() const;
    size_t vehicleCount() const;

    std::vector<Vehicle> vehicles() override;
    std::vector<Vehicle> vehiclesSince(const std::function<uint64_t(const std::string& key)>& held) override;
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
        std::string key;
        uint64_t version = 0;  // of the state; changes with each message taken
        // The stamp, and what it was given for.
        uint64_t stamp = 0;
        uint64_t stampedVersion = 0;
        bool stampedAlive = false;
        bool stampedOnline = false;
        int64_t stampedSeen = -1;
    };
    struct Station {
        bool online = false;  // as the station last said
        bool confirmed = false;  // a live status since the viewer's connect
        bool baselineSeen = false;  // the first status since the connect (maybe retained)
        int64_t baselineTimeMs = 0;
        int64_t statusEveryMs = kDefaultStatusEveryMs;
        int64_t liveAtMs = 0;  // viewer clock: the last live status arrived
        int64_t liveTimeMs = 0;  // station clock: that status's time
        int64_t saidOfflineAtMs = 0;  // viewer clock: an offline status arrived
        int64_t heardAtMs = 0;  // viewer clock: any message of it arrived
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
    bool live(const Station& s, int64_t now) const;
    bool current(const Station& s, const VehicleState& vehicle, int64_t now) const;
    nlohmann::json stationTimes(const Station& s, int64_t now) const;
    void forgetSilentStations(int64_t now);
    nlohmann::json shown(const Station& s, const VehicleState& vehicle, int64_t now) const;
    static nlohmann::json lastSeen(const Station& s, const VehicleState& vehicle);

    std::function<nlohmann::json()> m_linkState;
    std::function<int64_t()> m_clockMs;
    int64_t m_forgetAfterMs = kDefaultForgetAfterMs;
    int64_t m_alertsBuiltMs = 0;
    uint64_t m_counter = 0;  // versions and stamps
    std::map<std::string, Station> m_stations;
    bool m_brokerConnected = true;
    int64_t m_connectedAtMs = 0;  // viewer clock: the last change of m_brokerConnected
    Counters m_counters;
    std::map<std::string, int64_t> m_lastLogMs;  // per reason
    std::map<std::string, uint64_t> m_quietDrops;  // per reason, since its last log line
    nlohmann::json m_alertsDoc;
};
