#pragma once
// One simulated vehicle: its flight state, its heartbeat and the answers to the station's
// commands. Commands are dispatched through a table keyed by command byte; features register
// their handlers into it (the control commands are registered by the constructor).
//
// Answering rules, in this order:
//   - a command listed in SimOptions::noReply is ignored entirely: no answer, no effect;
//   - a forced result (SimOptions::ackResults) of 0 runs the handler and answers 0; a non-zero
//     one answers with it without running the handler (the vehicle refused), also for a
//     command that has no handler;
//   - a command without a handler is logged (a warning the first time per command byte) and
//     not answered;
//   - otherwise the handler decides.
// Control commands are answered 0 and change the state below and the flight model; a payload too
// short for its command is answered 8 (out of range) and changes nothing. Run mission is refused
// with 6 while no route is stored (SimVehicleMission) and then changes nothing.
//
// A handler may build the whole answer itself (Reply::pack, given the final result): the
// parameter commands answer a read with a record and no result byte (see SimVehicleParams).
//
// The vehicle's id can change (a basic parameter write): the answer to that write still leaves
// under the old id, then the vehicle takes the new one for everything it sends, and the
// simulator routes frames by the new id only. slotId() stays the id it was created with.
//
// A telemetry request (0x20) is not acknowledged: it is answered with the six record frames
// (AHRS, position, target stabilise, remote control, flight status, reserved, in that order) or
// with the one comprehensive frame, as SimOptions::telemetry says, handed to the sender together
// so that they leave in one datagram or write. All frames of one answer carry the same sequence
// number, counting answers from 0 and wrapping at 256, so a station can tell a lost answer from
// a late one. A forced result of 0 for 0x20 changes nothing (still no acknowledgement); a
// non-zero one answers with an acknowledgement instead of telemetry. Once the flight model says
// it is silent, requests are counted and left unanswered.

#include "MavProtoDefs.h"
#include "SimFlightModel.h"
#include "SimOptions.h"
#include "SimParams.h"

#include <QObject>

#include <array>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <vector>

class SimLatencyProbe;
class SimVehicleFirmware;
class SimVehicleMission;
class SimVehicleNfz;
class SimVehicleParams;

class SimVehicle : public QObject {
    Q_OBJECT
public:
    // What the commands asked for; `flying` follows the flight model (armed, off the ground or
    // about to leave it) and the flags of an activity clear when the vehicle has landed.
    struct State {
        bool flying = false;
        bool suspended = false;
        bool returning = false;
        bool missionRunning = false;
        bool formation = false;
        bool idleMotorTest = false;
        quint16 takeoffAltitude = 0;  // m
        quint8 climbSpeed = 0;  // m/s
        double returnLat = 0.0;
        double returnLon = 0.0;
        float returnAlt = 0.0f;
        quint8 idleMotorValue = 0;
    };

    // Results this simulator gives when it refuses a command itself.
    static constexpr uint8_t kResultRefused = 6;  // not now, or not this way
    static constexpr uint8_t kResultOutOfRange = 8;  // a malformed payload or a value outside the limits

    struct Reply {
        Reply() = default;
        Reply(bool answer, uint8_t result, std::vector<uint8_t> extra = {})
            : answer(answer)
            , result(result)
            , extra(std::move(extra))
        {
        }
        bool answer = true;
        uint8_t result = 0;
        std::vector<uint8_t> extra;  // acknowledgement data after the result byte
        // Builds the answer instead of the acknowledgement above; returns 0 when it cannot.
        std::function<uint16_t(_MavPFrame_t& out, uint8_t vehicleId, uint8_t seq, uint8_t result)> pack;
    };
    // May this vehicle take newId? Asked before a write that changes its id is accepted.
    using IdClaim = std::function<bool(uint8_t newId)>;
    using CommandHandler = std::function<Reply(const _MavPFrame_t& frame)>;
    // Frames that leave together, in order.
    using FrameSender = std::function<void(const std::vector<_MavPFrame_t>& frames)>;

    struct Counters {
        quint64 commands = 0;
        quint64 answered = 0;
        quint64 silenced = 0;
        quint64 unknown = 0;
        quint64 heartbeats = 0;
        quint64 teleRequests = 0;
        quint64 teleAnswers = 0;
        quint64 teleSilenced = 0;
        // Command frames received, by command byte, answered or not.
        std::array<quint64, 256> byCommand{};
    };

    // A fresh vehicle: the default parameters and SimOptions::code.
    SimVehicle(uint8_t id, const SimOptions& options, FrameSender sender, QObject* parent = nullptr);
    // A vehicle with stored parameters: it flies under params.basic.vehicleId.
    SimVehicle(uint8_t slotId, SimParams params, const SimOptions& options, FrameSender sender,
               QObject* parent = nullptr);
    ~SimVehicle() override;

    uint8_t id() const { return m_id; }
    uint8_t slotId() const { return m_slotId; }
    SimVehicleParams& params() { return *m_params; }
    const SimVehicleParams& params() const { return *m_params; }
    const SimVehicleMission& mission() const { return *m_mission; }
    SimVehicleMission& mission() { return *m_mission; }
    const SimVehicleNfz& nfz() const { return *m_nfz; }
    const SimVehicleFirmware& firmware() const { return *m_firmware; }
    const State& state() const { return m_state; }
    State& state() { return m_state; }
    const Counters& counters() const { return m_counters; }
    const SimFlightModel& flightModel() const { return m_model; }
    double altitude() const { return m_model.altitude(); }
    uint8_t flightState() const { return m_model.flightState(); }
    bool armed() const { return m_model.armed(); }

    // Replaces any handler already registered for cmd.
    void registerCommand(uint8_t cmd, CommandHandler handler);
    // The handler registered for cmd (empty without one), so that a feature can wrap it.
    CommandHandler commandHandler(uint8_t cmd) const
    {
        const auto it = m_handlers.find(cmd);
        return it == m_handlers.end() ? CommandHandler{} : it->second;
    }
    // A restart: no heartbeats and no answers (frames are counted as silenced) for ms.
    void silenceFor(int ms);
    bool silenced() const;
    bool hasCommand(uint8_t cmd) const { return m_handlers.count(cmd) > 0; }

    void setIdClaim(IdClaim claim) { m_idClaim = std::move(claim); }
    // Telemetry answers carry the probe's altitude steps and are logged by it; null: off.
    void setLatencyProbe(SimLatencyProbe* probe) { m_probe = probe; }
    bool mayTakeId(uint8_t newId) const { return !m_idClaim || m_idClaim(newId); }
    // Takes newId once the answer to the frame being handled has been sent.
    void changeIdAfterAnswer(uint8_t newId) { m_pendingId = newId; }

    // A frame from the station addressed to this vehicle.
    void handleFrame(const _MavPFrame_t& frame);
    void sendHeartbeat();
    void sendFrame(const _MavPFrame_t& frame);
    // One step of the flight model.
    void advance();

signals:
    void idChanged(int oldId, int newId);
    // Parameters or code changed by an accepted write or a reset; emitted before the answer.
    void paramsChanged();

private:
    void registerControlCommands();
    void answer(const _MavPFrame_t& frame, const Reply& reply);

    Reply handleTakeOff(const _MavPFrame_t& frame);
    Reply handleReturn(const _MavPFrame_t& frame);
    Reply handleStartMission(const _MavPFrame_t& frame);
    Reply handleFormation(const _MavPFrame_t& frame);
    Reply handleIdleMotorDetect(const _MavPFrame_t& frame);
    Reply handleTelemetryRequest(const _MavPFrame_t& frame);
    SimLatencyProbe* m_probe = nullptr;

    uint8_t m_id;
    uint8_t m_slotId;
    const SimOptions& m_options;
    FrameSender m_sender;
    State m_state;
    Counters m_counters;
    SimFlightModel m_model;
    uint8_t m_heartbeatSeq = 0;
    uint8_t m_teleSeq = 0;
    std::map<uint8_t, CommandHandler> m_handlers;
    std::set<uint8_t> m_warnedUnknown;
    std::unique_ptr<SimVehicleParams> m_params;
    std::unique_ptr<SimVehicleMission> m_mission;
    std::unique_ptr<SimVehicleNfz> m_nfz;
    std::unique_ptr<SimVehicleFirmware> m_firmware;
    qint64 m_silentUntilMs = 0;  // QDateTime msecs since epoch
    IdClaim m_idClaim;
    std::optional<uint8_t> m_pendingId;
};
