#pragma once
// Every locally linked vehicle of the station as a MAVLink 2 system (system id = vehicle id,
// component 1), for any MAVLink ground station on the links (MavlinkLinks.h).
//
// Reads the fleet through the read model (FleetReadModel::vehicleState) and commands it through
// the station's vehicle services (svc::VehicleServices), addressed by vehicle: flight commands,
// mission start, route creation and upload, parameter reads. Nothing a ground station sends
// moves the operator's active vehicle or active route. The route download for a ground station
// reads the vehicle's route into a scratch route, so no stored route changes.
//
// Streams, per vehicle while it is alive (a vehicle that is not alive sends nothing, so ground
// stations show it lost): HEARTBEAT 1 Hz, SYS_STATUS 1 Hz, GPS_RAW_INT 2 Hz,
// GLOBAL_POSITION_INT 4 Hz, ATTITUDE 4 Hz, VFR_HUD 2 Hz, HOME_POSITION 0.2 Hz; STATUSTEXT when
// an alert becomes active; AUTOPILOT_VERSION on request. GLOBAL_POSITION_INT and ATTITUDE go
// as each position or attitude sample comes (at most every kMinIntervalMs), their 4 Hz only
// repeating the last while no sample comes: a schedule of its own would hold a sample back up
// to a quarter second, and ground stations fly by what they show. The station's telemetry
// interval (200 ms by default) so sets their rate. SET_MESSAGE_INTERVAL (-1 off, 0
// default) changes a stream for the sink it came from only (the UDP link, or that one TCP
// client), never for other ground stations, and ends with the client; HEARTBEAT may be made
// faster but never slower or stopped (DENIED), and no interval is shorter than 20 ms.
// REQUEST_MESSAGE answers the requester only.
//
// Parameters (PARAM_REQUEST_LIST, PARAM_REQUEST_READ, PARAM_SET): MavlinkParamServer.h.
//
// Identity and time: the bridge declares a PX4 autopilot (one family whose mode encoding does
// not depend on the airframe); AUTOPILOT_VERSION carries the firmware version read with the basic
// parameters and a uid from the vehicle's code (0 while unknown), TIMESYNC is answered as the
// system asked (the first vehicle for a broadcast: one answer, not one per vehicle), SYSTEM_TIME
// and PROTOCOL_VERSION on REQUEST_MESSAGE. A ground station heard for the first time gets the
// active alerts of every vehicle as STATUSTEXTs.
//
// Commands (COMMAND_LONG, COMMAND_INT): NAV_TAKEOFF, NAV_LAND, NAV_RETURN_TO_LAUNCH,
// MISSION_START, DO_PAUSE_CONTINUE; DO_SET_MODE and SET_MODE for the modes the station can
// command (AUTO_TAKEOFF, AUTO_LOITER, AUTO_MISSION, AUTO_RTL, AUTO_LAND; docs/MAVLINK.md's table);
// COMPONENT_ARM_DISARM only as the state the vehicle is in (the station arms on take-off and
// disarms after landing, and has no arm command: DENIED, saying so); DO_REPOSITION and
// DO_CHANGE_SPEED DENIED with what to send instead. A refusal comes with a STATUSTEXT in words.
// One COMMAND_ACK each: ACCEPTED when the vehicle answered 0, DENIED when the station refused
// (Critical alert, link down, ...) or the vehicle did (its result in result_param2), FAILED on
// the station's time-out; IN_PROGRESS first when the answer takes over a second. A repeat of a
// command still pending is not sent again.
//
// Choices:
// - Without control, vehicle commands are DENIED and uploads MAV_MISSION_DENIED, but stream
//   requests (SET_MESSAGE_INTERVAL, REQUEST_MESSAGE, GET_HOME_POSITION, autopilot capabilities)
//   are still answered: a read-only ground station needs them to show the vehicle.
// - Only local vehicles with ids 1..254 become systems: remote vehicles have no id of their own
//   and 0 and 255 are broadcast and ground-station ids in MAVLink.
// - Altitudes: the station knows the height above home only, so "above sea level" fields carry
//   the same value (home at 0 m); HOME_POSITION altitude is 0.
// - Take-off speed: 3 m/s, or the vehicle's maximum vertical speed when it is lower. Return to
//   launch flies to the home position at the vehicle's return altitude, or, when its parameters
//   were not read, at its current height but at least 30 m.
// - Mission transfers run one at a time in the station; the mission service queues a ground
//   station's request behind a running one, and the ground station waits for the outcome.
// - The heartbeat's type comes from the airframe in the vehicle's basic parameters: the bridge
//   reads them once for a vehicle that is alive and has not had them read, a few vehicles a
//   tick; until then the type is GENERIC.
// - Messages addressed to a system that is not a bridged vehicle are counted and dropped.
// - Exposure: links bind 127.0.0.1 unless bindAddress says otherwise; control on an address
//   other machines reach needs a signing key (checkOptions refuses the start, saying why), since
//   anyone on that network could otherwise fly the vehicles.
// - Ground stations heard (bridge.status) are kept per system id and address while they send:
//   after 30 s of silence an entry goes; beyond kMaxGroundStations the least recently heard one
//   makes room and is counted in groundStationsDropped.

#include "bridge/MavlinkLinks.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <nlohmann/json.hpp>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>

class MavlinkMissionServer;
class MavlinkParamServer;
class VehicleController;
struct VehicleAlert;

namespace FleetReadModel {
struct VehicleState;
}
namespace svc {
class StationPort;
class VehicleServices;
struct FlightCommand;
}  // namespace svc

class MavlinkBridge : public QObject {
    Q_OBJECT
public:
    struct Options {
        Options(std::vector<MavlinkEndpoint> e = {}, bool c = false, std::optional<mavlink::SigningKey> k = {})
            : endpoints(std::move(e))
            , control(c)
            , signingKey(k)
        {
        }
        std::vector<MavlinkEndpoint> endpoints;
        bool control = false;
        std::optional<mavlink::SigningKey> signingKey;
        QString bindAddress;  // empty: 127.0.0.1
        // The signing replay record; empty: mavlink_replay.json in the station's data folder.
        QString replayStateFile;
        // The UDP links' local ports, kept across restarts; empty: mavlink_ports.json beside it.
        QString portsStateFile;
        int tcpQuietMs = MavlinkLinks::kTcpQuietMs;
        int groundStationExpiryMs = 30000;
    };
    static constexpr size_t kMaxGroundStations = 32;
    static constexpr int kMinIntervalMs = 20;

    enum Stream {
        Heartbeat,
        SysStatus,
        GpsRaw,
        GlobalPosition,
        Attitude,
        VfrHud,
        Home,
        ExtSysState,
        MissionProgress,
        ModeNow,
        Battery,
        kStreamCount
    };
    static constexpr int kTickMs = 20;

    // `station` outlives the bridge and has its services.
    MavlinkBridge(svc::StationPort* station, Options options, QObject* parent = nullptr);
    ~MavlinkBridge() override;

    // Why these options cannot start a bridge (a bind address that is not one, control reachable
    // from other machines without signing); empty when they can.
    static QString checkOptions(const Options& options);

    bool start(QString* error = nullptr);
    void stop();

    // bridge.status: links, ground stations heard, counters, commands by result.
    nlohmann::json status() const;
    quint16 localPort(int link) const { return m_links.localPort(link); }

    // Reads a signing key file: exactly 32 bytes, mode 0600 or stricter.
    static std::optional<mavlink::SigningKey> readKeyFile(const QString& path, QString* error);

private:
    friend class MavlinkMissionServer;
    friend class MavlinkParamServer;

    struct VehicleEntry {
        std::weak_ptr<VehicleController> vehicle;
        uint8_t sysid = 0;
        int64_t due[kStreamCount] = {};
        int64_t lastSentMs[kStreamCount] = {};
        int intervalMs[kStreamCount] = {};
        std::set<QString> activeAlerts;
        bool airframeAsked = false;
    };
    struct PendingCommand {
        uint8_t sysid = 0;
        uint16_t command = 0;
        int64_t requestId = 0;
        MavlinkPeer peer;
        uint8_t gcsSystem = 0, gcsComponent = 0;
        QElapsedTimer age;
        bool progressSent = false;
    };
    struct GroundStation {
        QString address;
        int64_t lastHeartbeatMs = 0;
        int64_t lastHeardMs = 0;  // bridge clock
        uint64_t messages = 0;
    };
    // A stream's own schedule for one sink (SET_MESSAGE_INTERVAL from there).
    struct SinkRate {
        int intervalMs = 0;  // 0: off
        int64_t due = 0;
    };
    using RateKey = std::pair<uint8_t, int>;  // system id, stream

    void tick();
    void syncVehicles();
    void addVehicle(const std::shared_ptr<VehicleController>& vehicle);
    // To every sink without a rate of its own for this stream, or to `only`.
    void sendStream(VehicleEntry& entry, Stream stream, const FleetReadModel::VehicleState& state,
                    const MavlinkSink* only = nullptr);
    void sendSinkRates(int64_t now);
    // A position or attitude sample just came: to the ground stations on the default stream at once.
    void sendSample(uint8_t sysid, Stream stream);
    void noteGroundStation(const mavlink::Frame& frame, const MavlinkPeer& peer);
    void sendAlert(VehicleEntry& entry, const VehicleAlert& alert);
    // A STATUSTEXT from the vehicle: to `to` only, or to every ground station.
    void sendText(uint8_t sysid, uint8_t severity, const std::string& text, const MavlinkPeer* to = nullptr);
    void handleFrame(const mavlink::Frame& frame, const MavlinkPeer& peer);
    void handleCommand(const mavlink::Frame& frame, const MavlinkPeer& peer, uint16_t command, const float* params,
                       uint8_t confirmation, uint8_t targetSystem);
    std::optional<uint8_t> requestStream(VehicleEntry& entry, uint16_t command, const float* params,
                                         const MavlinkPeer& peer);
    // Sends the command through the services; its request id, or nothing with `refusal` set.
    // `result` is the answer when nothing is sent (a refusal, or ACCEPTED for a state the vehicle
    // is already in); `why` the refusal in words for the ground station.
    std::optional<int64_t> sendControl(VehicleEntry& entry, uint16_t command, const float* params, uint8_t& result,
                                       std::string& why);
    std::optional<int64_t> setMode(VehicleEntry& entry, uint8_t mainMode, uint8_t subMode, uint8_t& result,
                                   std::string& why);
    void pollCommands();
    void ackCommand(const MavlinkPeer& peer, uint8_t sysid, uint16_t command, uint8_t result, int32_t param2,
                    uint8_t gcsSystem, uint8_t gcsComponent);
    svc::VehicleServices& services() const;
    VehicleEntry* entryFor(uint8_t sysid);
    void countUnknownTarget(const mavlink::Frame& frame);
    static Stream streamOf(uint32_t msgid, bool& known);
    static int defaultIntervalMs(Stream s);

    svc::StationPort* m_station = nullptr;
    Options m_options;
    MavlinkLinks m_links;
    QTimer m_timer;
    QElapsedTimer m_clock;
    std::map<uint8_t, VehicleEntry> m_vehicles;
    std::vector<PendingCommand> m_pending;
    std::map<std::pair<uint8_t, QString>, GroundStation> m_groundStations;
    uint64_t m_groundStationsDropped = 0;
    uint32_t m_nextTextId = 0;
    std::map<MavlinkSink, std::map<RateKey, SinkRate>> m_sinkRates;
    std::map<std::string, uint64_t> m_commandResults;
    uint64_t m_droppedUnknownTarget = 0;
    std::unique_ptr<MavlinkMissionServer> m_missions;
    std::unique_ptr<MavlinkParamServer> m_params;
    std::vector<QMetaObject::Connection> m_connections;
};
