#include "MavProtoCtrlCmdProcesser.h"

#include "MavProtoHelper.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

uint16_t packGcs(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq, uint8_t cmd, const std::vector<uint8_t>& data = {})
{
    MavProtoHelper::packMavProtoFrame(frame, MAVPROTO_GCS_ID, rxId, seq, cmd, data);
    return uint16_t(frame.data.size() + MAVPROTO_FRAME_OVERHEAD);
}

template <typename Int>
Int roundClamped(double v)
{
    if (std::isnan(v))
        return 0;
    const double r = std::round(v);
    return Int(std::clamp(r, double(std::numeric_limits<Int>::min()), double(std::numeric_limits<Int>::max())));
}

}  // namespace

uint16_t MavProtoCtrlCmdProcesser::packTakeOffPFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq,
                                                     const MavProtoTakeOffParams_t& p)
{
    return packGcs(frame, rxId, seq, MavCmd::TakeOff, MavProtoHelper::recordBytes(p));
}

uint16_t MavProtoCtrlCmdProcesser::packSuspendPFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq)
{
    return packGcs(frame, rxId, seq, MavCmd::Suspend);
}

uint16_t MavProtoCtrlCmdProcesser::packResumePFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq)
{
    return packGcs(frame, rxId, seq, MavCmd::Resume);
}

uint16_t MavProtoCtrlCmdProcesser::packLandPFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq)
{
    return packGcs(frame, rxId, seq, MavCmd::Land);
}

uint16_t MavProtoCtrlCmdProcesser::packReturnPFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq,
                                                    const MavProtoReturnParams_t& p)
{
    MavProtoReturnWire_t wire{};
    wire.latE7 = roundClamped<int32_t>(p.lat * 1e7);
    wire.lonE7 = roundClamped<int32_t>(p.lon * 1e7);
    wire.altDm = roundClamped<int16_t>(double(p.alt) * 10.0);
    return packGcs(frame, rxId, seq, MavCmd::Return, MavProtoHelper::recordBytes(wire));
}

bool MavProtoCtrlCmdProcesser::parseReturnParams(const _MavPFrame_t& frame, MavProtoReturnParams_t& p)
{
    MavProtoReturnWire_t wire{};
    const bool whole = MavProtoHelper::readRecord(frame, wire);
    p.lat = wire.latE7 / 1e7;
    p.lon = wire.lonE7 / 1e7;
    p.alt = float(wire.altDm / 10.0);
    return whole;
}

uint16_t MavProtoCtrlCmdProcesser::packStartMissionPFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq)
{
    return packGcs(frame, rxId, seq, MavCmd::StartMission);
}

uint16_t MavProtoCtrlCmdProcesser::packFormationStartPFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq)
{
    return packGcs(frame, rxId, seq, MavCmd::Formation, {1});
}

uint16_t MavProtoCtrlCmdProcesser::packFormationCancelPFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq)
{
    return packGcs(frame, rxId, seq, MavCmd::Formation, {0});
}

uint16_t MavProtoCtrlCmdProcesser::packIdleMotorDetectPFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq,
                                                             const MavProtoIdleMotorDetectParams_t& p)
{
    return packGcs(frame, rxId, seq, MavCmd::IdleMotorDetect, MavProtoHelper::recordBytes(p));
}

uint16_t MavProtoCtrlCmdProcesser::packHeartbeatPFrame(_MavPFrame_t& frame, uint8_t vehicleId, uint8_t seq)
{
    MavProtoHelper::packMavProtoFrame(frame, vehicleId, MAVPROTO_GCS_ID, seq, MavCmd::Heartbeat, {});
    return MAVPROTO_FRAME_OVERHEAD;
}

uint16_t MavProtoCtrlCmdProcesser::packAckPFrame(_MavPFrame_t& frame, uint8_t vehicleId, uint8_t seq, uint8_t cmd,
                                                 uint8_t result, const std::vector<uint8_t>& extra)
{
    std::vector<uint8_t> data;
    data.reserve(1 + extra.size());
    data.push_back(result);
    data.insert(data.end(), extra.begin(), extra.end());
    MavProtoHelper::packMavProtoFrame(frame, vehicleId, MAVPROTO_GCS_ID, seq, cmd, data);
    return uint16_t(data.size() + MAVPROTO_FRAME_OVERHEAD);
}
