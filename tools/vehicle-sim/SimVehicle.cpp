#include "SimVehicle.h"

#include "SimLatencyProbe.h"

#include "MavProtoCtrlCmdProcesser.h"
#include "MavProtoHelper.h"
#include "MavProtoTeleProcesser.h"
#include "SimVehicleFirmware.h"
#include "SimVehicleMission.h"
#include "SimVehicleNfz.h"
#include "SimVehicleParams.h"

#include <QDateTime>

#include <spdlog/spdlog.h>

SimVehicle::SimVehicle(uint8_t id, const SimOptions& options, FrameSender sender, QObject* parent)
    : SimVehicle(id, SimParams::defaults(id, options.code.toStdString()), options, std::move(sender), parent)
{
}

SimVehicle::SimVehicle(uint8_t slotId, SimParams params, const SimOptions& options, FrameSender sender, QObject* parent)
    : QObject(parent)
    , m_id(params.basic.vehicleId)
    , m_slotId(slotId)
    , m_options(options)
    , m_sender(std::move(sender))
    , m_model(slotId, options)
{
    m_model.setVehicleId(m_id);
    registerControlCommands();
    registerCommand(MavCmd::RequestAllTele, [this](const _MavPFrame_t& f) { return handleTelemetryRequest(f); });
    m_params = std::make_unique<SimVehicleParams>(*this, std::move(params));
    m_mission = std::make_unique<SimVehicleMission>(*this, options);
    m_nfz = std::make_unique<SimVehicleNfz>(*this, options);
    m_firmware = std::make_unique<SimVehicleFirmware>(*this, options);
}

SimVehicle::~SimVehicle() = default;

void SimVehicle::registerCommand(uint8_t cmd, CommandHandler handler)
{
    m_handlers[cmd] = std::move(handler);
}

void SimVehicle::registerControlCommands()
{
    registerCommand(MavCmd::TakeOff, [this](const _MavPFrame_t& f) { return handleTakeOff(f); });
    registerCommand(MavCmd::Suspend, [this](const _MavPFrame_t&) {
        m_state.suspended = true;
        m_model.suspend();
        spdlog::info("<VehicleSim> vehicle {} suspended", m_id);
        return Reply{};
    });
    registerCommand(MavCmd::Resume, [this](const _MavPFrame_t&) {
        m_state.suspended = false;
        m_model.resume();
        spdlog::info("<VehicleSim> vehicle {} resumed", m_id);
        return Reply{};
    });
    registerCommand(MavCmd::Land, [this](const _MavPFrame_t&) {
        m_state.suspended = false;
        m_state.returning = false;
        m_state.missionRunning = false;
        m_model.land();
        spdlog::info("<VehicleSim> vehicle {} lands", m_id);
        return Reply{};
    });
    registerCommand(MavCmd::Return, [this](const _MavPFrame_t& f) { return handleReturn(f); });
    registerCommand(MavCmd::StartMission, [this](const _MavPFrame_t& f) { return handleStartMission(f); });
    registerCommand(MavCmd::Formation, [this](const _MavPFrame_t& f) { return handleFormation(f); });
    registerCommand(MavCmd::IdleMotorDetect, [this](const _MavPFrame_t& f) { return handleIdleMotorDetect(f); });
}

SimVehicle::Reply SimVehicle::handleTakeOff(const _MavPFrame_t& frame)
{
    MavProtoTakeOffParams_t params{};
    if (!MavProtoHelper::readRecord(frame, params)) {
        spdlog::warn("<VehicleSim> vehicle {} take-off payload too short ({} bytes)", m_id, frame.data.size());
        return Reply{true, kResultOutOfRange, {}};
    }
    m_state.flying = true;
    m_state.suspended = false;
    m_state.returning = false;
    m_state.missionRunning = false;
    m_state.takeoffAltitude = params.alt;
    m_state.climbSpeed = params.vel;
    m_model.takeOff(params.alt, params.vel);
    spdlog::info("<VehicleSim> vehicle {} takes off to {} m at {} m/s", m_id, params.alt, params.vel);
    return Reply{};
}

SimVehicle::Reply SimVehicle::handleReturn(const _MavPFrame_t& frame)
{
    MavProtoReturnParams_t params{};
    if (!MavProtoCtrlCmdProcesser::parseReturnParams(frame, params)) {
        spdlog::warn("<VehicleSim> vehicle {} return payload too short ({} bytes)", m_id, frame.data.size());
        return Reply{true, kResultOutOfRange, {}};
    }
    m_state.returning = true;
    m_state.suspended = false;
    m_state.missionRunning = false;
    m_state.returnLat = params.lat;
    m_state.returnLon = params.lon;
    m_state.returnAlt = params.alt;
    m_model.returnTo(params.lat, params.lon);
    spdlog::info("<VehicleSim> vehicle {} returns to {:.7f}, {:.7f} at {:.1f} m", m_id, params.lat, params.lon,
                 params.alt);
    return Reply{};
}

SimVehicle::Reply SimVehicle::handleStartMission(const _MavPFrame_t&)
{
    if (!m_mission->hasRoute()) {
        spdlog::warn("<VehicleSim> vehicle {} refuses to run its mission: no route stored", m_id);
        return Reply{true, kResultRefused, {}};
    }
    m_state.flying = true;
    m_state.missionRunning = true;
    m_state.suspended = false;
    m_state.returning = false;
    m_model.startMission(m_mission->wayPoints(), m_mission->basic().repeatTimes);
    spdlog::info("<VehicleSim> vehicle {} runs route {} ({} waypoints)", m_id, m_mission->basic().routeNumber,
                 m_mission->wayPoints().size());
    return Reply{};
}

SimVehicle::Reply SimVehicle::handleFormation(const _MavPFrame_t& frame)
{
    if (frame.data.empty()) {
        spdlog::warn("<VehicleSim> vehicle {} formation command without payload", m_id);
        return Reply{true, kResultOutOfRange, {}};
    }
    m_state.formation = frame.data[0] != 0;
    spdlog::info("<VehicleSim> vehicle {} formation {}", m_id, m_state.formation ? "started" : "cancelled");
    return Reply{};
}

SimVehicle::Reply SimVehicle::handleIdleMotorDetect(const _MavPFrame_t& frame)
{
    MavProtoIdleMotorDetectParams_t params{};
    if (!MavProtoHelper::readRecord(frame, params)) {
        spdlog::warn("<VehicleSim> vehicle {} idle-motor payload too short ({} bytes)", m_id, frame.data.size());
        return Reply{true, kResultOutOfRange, {}};
    }
    m_state.idleMotorTest = params.mode == 0x11;
    m_state.idleMotorValue = params.value;
    m_model.setIdleMotorTest(m_state.idleMotorTest, params.value);
    spdlog::info("<VehicleSim> vehicle {} idle-motor test {} (value {})", m_id,
                 m_state.idleMotorTest ? "started" : "stopped", params.value);
    return Reply{};
}

SimVehicle::Reply SimVehicle::handleTelemetryRequest(const _MavPFrame_t&)
{
    ++m_counters.teleRequests;
    if (m_model.telemetrySilent()) {
        ++m_counters.teleSilenced;
        return Reply{false, 0, {}};
    }
    using P = MavProtoTeleProcesser;
    const uint8_t seq = m_teleSeq++;
    // Under the probe every altitude the vehicle reports is the probe's step.
    const int step = m_probe ? m_probe->stepOf(m_id) : 0;
    const auto mark = [&](auto d) {
        if (m_probe) {
            if constexpr (requires { d.presAlt; })
                d.presAlt = float(step);
            if constexpr (requires { d.alt; })
                d.alt = d.rtkUpLine = double(step);
            if constexpr (requires { d.ekfUpLine; })
                d.ekfUpLine = double(step);
        }
        return d;
    };
    std::vector<_MavPFrame_t> frames;
    if (m_options.telemetry == SimOptions::Telemetry::Comprehensive) {
        frames.resize(1);
        P::packComprehensiveDataPFrame(frames[0], m_id, seq, mark(m_model.comprehensiveData()));
    } else {
        frames.resize(6);
        P::packAhrsDataPFrame(frames[0], m_id, seq, mark(m_model.ahrsData()));
        P::packPosDataPFrame(frames[1], m_id, seq, mark(m_model.posData()));
        P::packTargetStabilizeDataPFrame(frames[2], m_id, seq, m_model.targetStabilizeData());
        P::packRCDataPFrame(frames[3], m_id, seq, m_model.rcData());
        P::packFlightStatusDataPFrame(frames[4], m_id, seq, m_model.flightStatusData());
        P::packResDataPFrame(frames[5], m_id, seq, m_model.resData());
    }
    ++m_counters.teleAnswers;
    if (m_sender)
        m_sender(frames);
    if (m_probe)
        m_probe->sent(m_id, step);
    return Reply{false, 0, {}};
}

void SimVehicle::advance()
{
    m_model.step();
    m_state.flying = m_model.armed();
    if (!m_state.flying) {
        m_state.suspended = false;
        m_state.returning = false;
        m_state.missionRunning = false;
    }
}

void SimVehicle::handleFrame(const _MavPFrame_t& frame)
{
    ++m_counters.commands;
    ++m_counters.byCommand[frame.cmd];
    if (silenced()) {
        ++m_counters.silenced;
        return;
    }
    if (m_options.noReply.count(frame.cmd) > 0) {
        ++m_counters.silenced;
        spdlog::debug("<VehicleSim> vehicle {} ignores cmd 0x{:02x} seq {} (no reply)", m_id, frame.cmd, frame.seq);
        return;
    }

    const auto forced = m_options.ackResults.find(frame.cmd);
    const auto handler = m_handlers.find(frame.cmd);
    if (forced != m_options.ackResults.end() && (forced->second != 0 || handler == m_handlers.end())) {
        answer(frame, Reply{true, forced->second, {}});
        return;
    }
    if (handler == m_handlers.end()) {
        ++m_counters.unknown;
        if (m_warnedUnknown.insert(frame.cmd).second)
            spdlog::warn("<VehicleSim> vehicle {} has no handler for cmd 0x{:02x}; not answering", m_id, frame.cmd);
        else
            spdlog::debug("<VehicleSim> vehicle {} has no handler for cmd 0x{:02x}; not answering", m_id, frame.cmd);
        return;
    }

    Reply reply = handler->second(frame);
    if (forced != m_options.ackResults.end())
        reply.result = forced->second;
    if (reply.answer)
        answer(frame, reply);
    if (m_pendingId) {
        const uint8_t oldId = m_id;
        m_id = *m_pendingId;
        m_pendingId.reset();
        m_model.setVehicleId(m_id);
        spdlog::info("<VehicleSim> vehicle {} is now vehicle {}", oldId, m_id);
        emit idChanged(oldId, m_id);
    }
}

void SimVehicle::answer(const _MavPFrame_t& frame, const Reply& reply)
{
    _MavPFrame_t ack;
    if (reply.pack) {
        if (reply.pack(ack, m_id, frame.seq, reply.result) == 0) {
            spdlog::error("<VehicleSim> vehicle {} cannot pack its answer to cmd 0x{:02x}", m_id, frame.cmd);
            return;
        }
    } else {
        MavProtoCtrlCmdProcesser::packAckPFrame(ack, m_id, frame.seq, frame.cmd, reply.result, reply.extra);
    }
    ++m_counters.answered;
    sendFrame(ack);
}

void SimVehicle::silenceFor(int ms)
{
    m_silentUntilMs = QDateTime::currentMSecsSinceEpoch() + ms;
}

bool SimVehicle::silenced() const
{
    return m_silentUntilMs != 0 && QDateTime::currentMSecsSinceEpoch() < m_silentUntilMs;
}

void SimVehicle::sendHeartbeat()
{
    if (silenced())
        return;
    _MavPFrame_t heartbeat;
    MavProtoCtrlCmdProcesser::packHeartbeatPFrame(heartbeat, m_id, m_heartbeatSeq++);
    ++m_counters.heartbeats;
    sendFrame(heartbeat);
}

void SimVehicle::sendFrame(const _MavPFrame_t& frame)
{
    if (m_sender)
        m_sender({frame});
}
