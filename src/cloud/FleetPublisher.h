#pragma once
// Publishes this station's fleet to an MQTT broker, under velmora/fleet/<station id>/, for a
// fleet viewer (velmora-fleetview) that shows several stations at once:
//
//   status        retained, QoS 1: {"online": true, "version", "vehicles", "vehicleIds", "startedAt",
//                 "time", "statusEveryS"}, again every statusEverySec (5 s) with the station's time,
//                 so that a viewer can tell a live station from a retained word of a dead one;
//                 "vehicleIds" lists the vehicles the station has now, and a viewer drops any
//                 other. The retained last will {"online": false} replaces it when the station
//                 dies or its network goes (within 1.5 keep-alives, 10 s), and a clean stop
//                 publishes it too
//   vehicle/<id>  retained, QoS 1, on change and at most kRateHz a vehicle: "id", "code", "alive",
//                 "lat", "lon", "alt", "heading", "northSpd", "eastSpd", "upSpd", "groundSpeed",
//                 "fcuVol", "batteryState", "posSatNum", "flightMode", "flightState" with their
//                 English "...Text", "lastTelemetryAgeMs", "lastHeartbeatAgeMs", "alerts"
//                 ([{"id", "level", "message", "sourceField", "timestampMs"}]) and "time";
//                 an empty retained message when the vehicle leaves the station
//   alert         QoS 1, not retained: one {"vehicleId", "vehicleCode", "raised", "id", "level",
//                 "message", "sourceField", "timestampMs"} per alert raised or cleared
//
// Choices:
// - Nothing from the broker reaches the vehicles. The station subscribes only to its own
//   status and vehicle topics, and only until its own status comes back: that echo is the check
//   that its publishes reach the broker (a --fleet-user that is not the station id, or an ACL
//   that drops them, is otherwise silent; fleet.status then says "publishes are not reaching
//   the broker" after kEchoWaitStatuses status intervals), and the retained vehicles it hears meanwhile that it does
//   not have (a crash left them) are cleared.
// - Vehicles on the station's own link only; a vehicle watched through the cloud has its own
//   publisher there.
// - A vehicle goes again at least every statusEverySec even when nothing changed, so its
//   "time" is never older than that and a viewer can bound the age of what it shows.
// - A vehicle document over kMostDocumentBytes (the broker's message size limit) loses its
//   lowest alerts until it fits (counted in "trimmed"): the broker would drop it whole.
// - "On change" leaves out "time", and link ages go in whole seconds (rounded down): a vehicle
//   that stands still and keeps its link costs nothing, one whose link is gone shows its age
//   growing once a second. Texts are English whatever the station's language (the library's
//   English catalogue), so viewers of stations in different languages read alike.
// - The broker never holds the station up. Vehicle states are "latest wins": while the broker is
//   unreachable or slow (more than kMostPending publishes not yet acknowledged) nothing is queued
//   for them, and the newest state of each goes when it can (counted as deferred). Alerts are
//   events: they wait in a queue of kMostQueuedAlerts, the oldest dropped (and counted) when it
//   is full. Reconnects are the client's own: jittered exponential back-off.
// - After each connect the status and every vehicle are published again, and a vehicle that left
//   while the broker was away is cleared then: a broker restarted without persistence has them
//   back at once.
// - The client id is "velmora-station-<station id>"; the recommended broker replaces it with
//   the account (use_username_as_clientid), so no other account can take the session. Two
//   stations logged in with one account still take it from each other: fleet.status counts
//   "takenOver" (OstMqttClient::takenOverCount) and, at kTakeoversReported in a minute, reports a
//   lastError, logged at most once a minute.
// Main thread only.

#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>

class MultiVehicleManager;
class OstMqttClient;
class OstMqttMessageReceiver;
class QTranslator;
class VehicleController;

class FleetPublisher : public QObject {
    Q_OBJECT
public:
    static constexpr int kRateHz = 2;
    static constexpr int kKeepAliveSec = 10;
    static constexpr int kMostPending = 2000;
    static constexpr size_t kMostQueuedAlerts = 256;
    static constexpr int kDefaultStatusEverySec = 5;
    static constexpr int kEchoWaitStatuses = 3;  // status intervals
    static constexpr size_t kTakeoversReported = 3;  // within kTakeoverWindowMs
    static constexpr int64_t kTakeoverWindowMs = 60000;
    static constexpr size_t kMostDocumentBytes = 16 * 1024;

    struct Options {
        QString brokerUri;  // mqtt://HOST:PORT or mqtts://HOST:PORT
        QString stationId;
        QString user;
        QString password;
        QString version;  // the station's, published in its status
        int statusEverySec = kDefaultStatusEverySec;
    };

    FleetPublisher(MultiVehicleManager* vehicles, Options options, QObject* parent = nullptr);
    ~FleetPublisher() override;

    // Why a station id cannot be used (it is a topic level), empty when it can.
    static QString checkStationId(const QString& id);
    static QString checkBrokerUri(const QString& uri);

    // Starts connecting (the outcome shows in status()); false with the reason in *error when the
    // options cannot work.
    bool start(QString* error = nullptr);
    // Says goodbye ({"online": false}) when connected, and disconnects.
    void stop();

    // fleet.status: broker state, counters.
    nlohmann::json status() const;
    // The vehicle message as it is published (without "time"), for tests and the bench.
    nlohmann::json vehicleDocument(const VehicleController& vehicle) const;

private:
    void tick();
    void onConnected();
    std::string topic(const std::string& leaf) const;
    bool publish(const std::string& leaf, const std::string& payload, bool retain);
    void publishStatus(const QSet<int>& present);
    void collectAlerts(const VehicleController& vehicle, const nlohmann::json& alerts);
    QString english(const char* context, const QString& text) const;
    void onOwnMessage(const std::string& topic, const std::string& payload);
    void checkHealth(int64_t now);
    std::string fitted(nlohmann::json doc);

    MultiVehicleManager* m_vehicles;
    Options m_options;
    std::unique_ptr<OstMqttClient> m_client;
    std::unique_ptr<QTranslator> m_english;
    QTimer m_timer;
    std::string m_startedAt;
    bool m_fresh = false;  // connected since the last tick: publish everything
    std::map<int, nlohmann::json> m_sent;  // by vehicle id, as the broker has it this connection
    std::map<int, int64_t> m_sentAtMs;  // by vehicle id, when it last went
    QSet<int> m_retained;  // vehicle ids the broker may hold a retained state of
    std::map<int, std::map<std::string, nlohmann::json>> m_activeAlerts;  // by vehicle id, by alert id
    std::deque<std::string> m_alertQueue;  // payloads not yet published
    std::shared_ptr<OstMqttMessageReceiver> m_ownTopics;  // the receiver of the echo check, until it is done
    QSet<int> m_statusIds;  // as the last status listed them
    bool m_statusSent = false;
    int64_t m_statusAtMs = 0;
    int64_t m_connectedAtMs = 0;
    bool m_echoed = false;
    bool m_notReaching = false;
    std::string m_lastError;
    uint64_t m_takenOverSeen = 0;
    std::deque<int64_t> m_takeoverTimes;  // within the last kTakeoverWindowMs
    int64_t m_takeoverLoggedMs = 0;
    uint64_t m_trimmed = 0;
    uint64_t m_published = 0;
    uint64_t m_dropped = 0;
    uint64_t m_deferred = 0;
    uint64_t m_failed = 0;
};
