#include "SimVehicleParams.h"

#include "MavProtoParamsProcesser.h"

#include <spdlog/spdlog.h>

#include <cstring>

using P = MavProtoParamsProcesser;
using Reply = SimVehicle::Reply;

namespace {

// The 1-byte answer to a write or a reset, built with the result the vehicle finally gives.
Reply resultAck(uint8_t cmd, uint8_t result)
{
    Reply reply(true, result);
    reply.pack = [cmd](_MavPFrame_t& out, uint8_t id, uint8_t seq, uint8_t finalResult) {
        return cmd == MavCmd::ResetParams ? P::packResetAllParamsAck(out, id, seq, finalResult)
                                          : P::packWriteParamsAck(out, id, seq, cmd, finalResult);
    };
    return reply;
}

}  // namespace

SimVehicleParams::SimVehicleParams(SimVehicle& vehicle, SimParams params)
    : m_vehicle(vehicle)
    , m_params(std::move(params))
    , m_acc{"accelerometer", MAVPROTO_ACC_CALI_STEP_FINAL, &P::packAccMeterCaliAck}
    , m_mag{"compass", MAVPROTO_MAG_CALI_STEP_FINAL, &P::packMagCompassCaliAck}
{
    m_vehicle.registerCommand(MavCmd::BasicParams, [this](const _MavPFrame_t& f) {
        return handleGroup(f, &SimParams::basic, "basic", &P::packReadBasicParamsAck, &P::parseWriteBasicParamsFrame);
    });
    m_vehicle.registerCommand(MavCmd::AttitudeParams, [this](const _MavPFrame_t& f) {
        return handleGroup(f, &SimParams::stab, "stab", &P::packReadStabilizeCtrlParamsAck,
                           &P::parseWriteStabilizeCtrlParamsFrame);
    });
    m_vehicle.registerCommand(MavCmd::PositionParams, [this](const _MavPFrame_t& f) {
        return handleGroup(f, &SimParams::pos, "pos", &P::packReadPosCtrlParamsAck, &P::parseWritePosCtrlParamsFrame);
    });
    m_vehicle.registerCommand(MavCmd::FixedAttitudeParams, [this](const _MavPFrame_t& f) {
        return handleGroup(f, &SimParams::fixedStab, "fixedStab", &P::packReadFixedStabilizeCtrlParamsAck,
                           &P::parseWriteFixedStabilizeCtrlParamsFrame);
    });
    m_vehicle.registerCommand(MavCmd::FixedPositionParams, [this](const _MavPFrame_t& f) {
        return handleGroup(f, &SimParams::fixedPos, "fixedPos", &P::packReadFixedPosCtrlParamsAck,
                           &P::parseWriteFixedPosCtrlParamsFrame);
    });
    m_vehicle.registerCommand(MavCmd::ResParams, [this](const _MavPFrame_t& f) {
        return handleGroup(f, &SimParams::res, "res", &P::packReadResParamsAck, &P::parseWriteResParamsFrame);
    });
    m_vehicle.registerCommand(MavCmd::ResetParams, [this](const _MavPFrame_t& f) { return handleReset(f); });
    m_vehicle.registerCommand(MavCmd::AccCalibration,
                              [this](const _MavPFrame_t& f) { return handleCalibration(f, m_acc, m_mag); });
    m_vehicle.registerCommand(MavCmd::MagCalibration,
                              [this](const _MavPFrame_t& f) { return handleCalibration(f, m_mag, m_acc); });
    m_vehicle.registerCommand(MavCmd::VehicleCode, [this](const _MavPFrame_t& f) { return handleVehicleCode(f); });
}

template <typename Natural>
Reply SimVehicleParams::handleGroup(const _MavPFrame_t& frame, Natural SimParams::*group, const char* name,
                                    uint16_t (*packRead)(_MavPFrame_t&, uint8_t, uint8_t, const Natural&),
                                    bool (*parseWrite)(const _MavPFrame_t&, Natural&))
{
    if (frame.data.empty()) {
        ++m_counters.reads;
        spdlog::debug("<VehicleSim> vehicle {} reads out its {} parameters", m_vehicle.id(), name);
        Reply reply;
        reply.pack = [packRead, values = m_params.*group](_MavPFrame_t& out, uint8_t id, uint8_t seq, uint8_t) {
            return packRead(out, id, seq, values);
        };
        return reply;
    }

    Natural written{};
    if (!parseWrite(frame, written))
        return refuseWrite(frame.cmd, SimVehicle::kResultOutOfRange, name,
                           QStringLiteral("payload of %1 bytes, expected 0 or %2")
                               .arg(frame.data.size())
                               .arg(P::readReplyDataLen(frame.cmd)));
    uint8_t newId = m_vehicle.id();
    if constexpr (std::is_same_v<Natural, MavProtoBasicParams_t>) {
        std::memcpy(written.version, m_params.basic.version, sizeof(written.version));
        newId = written.vehicleId;
    }
    const QString reason = SimParams::check(written);
    if (!reason.isEmpty())
        return refuseWrite(frame.cmd, SimVehicle::kResultOutOfRange, name, reason);
    if (newId != m_vehicle.id() && !m_vehicle.mayTakeId(newId))
        return refuseWrite(frame.cmd, SimVehicle::kResultRefused, name,
                           QStringLiteral("vehicle id %1 belongs to another vehicle").arg(newId));

    m_params.*group = written;
    spdlog::info("<VehicleSim> vehicle {} stored its {} parameters", m_vehicle.id(), name);
    if (newId != m_vehicle.id())
        m_vehicle.changeIdAfterAnswer(newId);
    return acceptWrite(frame.cmd);
}

Reply SimVehicleParams::handleReset(const _MavPFrame_t& frame)
{
    if (!frame.data.empty())
        return refuseWrite(frame.cmd, SimVehicle::kResultOutOfRange, "reset",
                           QStringLiteral("payload of %1 bytes, expected none").arg(frame.data.size()));
    SimParams fresh = SimParams::defaults(m_vehicle.id(), m_params.code);
    std::memcpy(fresh.basic.version, m_params.basic.version, sizeof(fresh.basic.version));
    m_params = fresh;
    spdlog::info("<VehicleSim> vehicle {} reset its parameters to the defaults", m_vehicle.id());
    return acceptWrite(frame.cmd);
}

Reply SimVehicleParams::handleCalibration(const _MavPFrame_t& frame, Calibration& own, const Calibration& other)
{
    const auto answer = [&own](uint8_t result) {
        Reply reply(true, result);
        reply.pack = [packAck = own.packAck, step = own.step](_MavPFrame_t& out, uint8_t id, uint8_t seq,
                                                              uint8_t finalResult) {
            return packAck(out, id, seq, finalResult, step);
        };
        return reply;
    };
    const auto refuse = [&](uint8_t result, const QString& reason) {
        ++m_counters.refusals;
        spdlog::warn("<VehicleSim> vehicle {} refuses {} calibration step: {}", m_vehicle.id(), own.name,
                     reason.toStdString());
        return answer(result);
    };

    uint8_t step = 0;
    const bool parsed = frame.cmd == MavCmd::AccCalibration ? P::parseAccMeterCaliActionFrame(frame, step)
                                                            : P::parseMagCompassCaliActionFrame(frame, step);
    if (!parsed)
        return refuse(SimVehicle::kResultOutOfRange,
                      QStringLiteral("payload of %1 bytes, expected 1").arg(frame.data.size()));
    if (step < 1 || step > own.finalStep)
        return refuse(SimVehicle::kResultOutOfRange,
                      QStringLiteral("step %1 outside 1..%2").arg(step).arg(own.finalStep));
    if (other.running())
        return refuse(
            SimVehicle::kResultRefused,
            QStringLiteral("the %1 calibration is at step %2").arg(QLatin1String(other.name)).arg(other.step));
    if (step != 1 && (own.step == 0 || step < own.step || step > own.step + 1))
        return refuse(SimVehicle::kResultRefused,
                      QStringLiteral("step %1 does not follow step %2").arg(step).arg(own.step));

    own.step = step;
    if (step == 1)
        spdlog::info("<VehicleSim> vehicle {} starts its {} calibration", m_vehicle.id(), own.name);
    else if (step == own.finalStep)
        spdlog::info("<VehicleSim> vehicle {} completed its {} calibration", m_vehicle.id(), own.name);
    else
        spdlog::debug("<VehicleSim> vehicle {} {} calibration at step {}", m_vehicle.id(), own.name, step);
    return answer(0);
}

Reply SimVehicleParams::handleVehicleCode(const _MavPFrame_t& frame)
{
    if (frame.data.empty()) {
        ++m_counters.reads;
        spdlog::debug("<VehicleSim> vehicle {} reads out its code", m_vehicle.id());
        Reply reply;
        reply.pack = [code = m_params.code](_MavPFrame_t& out, uint8_t id, uint8_t seq, uint8_t) {
            return P::packReadVehicleCodeAck(out, id, seq, code);
        };
        return reply;
    }
    std::string code;
    if (!P::parseWriteVehicleCodeFrame(frame, code))
        return refuseWrite(frame.cmd, SimVehicle::kResultOutOfRange, "code",
                           frame.data.size() == MAVPROTO_VEHICLE_CODE_LEN
                               ? QStringLiteral("empty, or a byte outside 0x20..0x7E")
                               : QStringLiteral("payload of %1 bytes, expected 0 or %2")
                                     .arg(frame.data.size())
                                     .arg(MAVPROTO_VEHICLE_CODE_LEN));
    m_params.code = code;
    spdlog::info("<VehicleSim> vehicle {} stored its code {}", m_vehicle.id(), code);
    return acceptWrite(frame.cmd);
}

Reply SimVehicleParams::refuseWrite(uint8_t cmd, uint8_t result, const char* what, const QString& reason)
{
    ++m_counters.refusals;
    spdlog::warn("<VehicleSim> vehicle {} refuses the {} write: {}", m_vehicle.id(), what, reason.toStdString());
    return resultAck(cmd, result);
}

Reply SimVehicleParams::acceptWrite(uint8_t cmd)
{
    ++m_counters.writes;
    emit m_vehicle.paramsChanged();
    return resultAck(cmd, 0);
}
