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
// short for its command is answered 8 (out of range) and changes nothing.
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

#include <QObject>

#include <functional>
#include <map>
#include <set>
#include <vector>

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
        quint8 climbSpeed = 0;        // m/s
        double returnLat = 0.0;
        double returnLon = 0.0;
        float returnAlt = 0.0f;
        quint8 idleMotorValue = 0;
    };

    struct Reply {
        bool answer = true;
        uint8_t result = 0;
        std::vector<uint8_t> extra;  // acknowledgement data after the result byte
    };
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
    };

    SimVehicle(uint8_t id, const SimOptions& options, FrameSender sender, QObject* parent = nullptr);

    uint8_t id() const { return m_id; }
    const State& state() const { return m_state; }
    State& state() { return m_state; }
    const Counters& counters() const { return m_counters; }
    const SimFlightModel& flightModel() const { return m_model; }
    double altitude() const { return m_model.altitude(); }
    uint8_t flightState() const { return m_model.flightState(); }
    bool armed() const { return m_model.armed(); }

    // Replaces any handler already registered for cmd.
    void registerCommand(uint8_t cmd, CommandHandler handler);
    bool hasCommand(uint8_t cmd) const { return m_handlers.count(cmd) > 0; }

    // A frame from the station addressed to this vehicle.
    void handleFrame(const _MavPFrame_t& frame);
    void sendHeartbeat();
    void sendFrame(const _MavPFrame_t& frame);
    // One step of the flight model.
    void advance();

private:
    void registerControlCommands();
    void answer(const _MavPFrame_t& frame, const Reply& reply);

    Reply handleTakeOff(const _MavPFrame_t& frame);
    Reply handleReturn(const _MavPFrame_t& frame);
    Reply handleFormation(const _MavPFrame_t& frame);
    Reply handleIdleMotorDetect(const _MavPFrame_t& frame);
    Reply handleTelemetryRequest(const _MavPFrame_t& frame);

    uint8_t m_id;
    const SimOptions& m_options;
    FrameSender m_sender;
    State m_state;
    Counters m_counters;
    SimFlightModel m_model;
    uint8_t m_heartbeatSeq = 0;
    uint8_t m_teleSeq = 0;
    std::map<uint8_t, CommandHandler> m_handlers;
    std::set<uint8_t> m_warnedUnknown;
};
