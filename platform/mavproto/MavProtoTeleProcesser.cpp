#include "MavProtoTeleProcesser.h"

#include "MavProtoHelper.h"

namespace {

template <typename T>
uint16_t packFromVehicle(_MavPFrame_t& frame, uint8_t vehicleId, uint8_t seq, uint8_t cmd, const T& record)
{
    MavProtoHelper::packMavProtoFrame(frame, vehicleId, MAVPROTO_GCS_ID, seq, cmd,
                                      reinterpret_cast<const uint8_t*>(&record), sizeof(T));
    return uint16_t(sizeof(T) + MAVPROTO_FRAME_OVERHEAD);
}

}  // namespace

uint8_t MavProtoTeleProcesser::encodeComprehensiveStateByte(const MavProtoComprehensiveStateBits_t& states)
{
    const uint8_t battery = states.batteryState > 3 ? 3 : states.batteryState;
    return uint8_t((states.rcState ? 0x01 : 0) | (states.positionState ? 0x02 : 0) | (states.headingState ? 0x04 : 0) |
                   (states.linkState ? 0x08 : 0) | (states.armedState ? 0x10 : 0) | (battery << 5));
}

bool MavProtoTeleProcesser::parseAhrsData(const _MavPFrame_t& frame, MavProtoAhrsData_t& data)
{
    return MavProtoHelper::readRecord(frame, data);
}

bool MavProtoTeleProcesser::parsePosData(const _MavPFrame_t& frame, MavProtoPosData_t& data)
{
    return MavProtoHelper::readRecord(frame, data);
}

bool MavProtoTeleProcesser::parseTargetStabilizeData(const _MavPFrame_t& frame, MavProtoTargetStabilizeData_t& data)
{
    return MavProtoHelper::readRecord(frame, data);
}

bool MavProtoTeleProcesser::parseRCData(const _MavPFrame_t& frame, MavProtoRCData_t& data)
{
    return MavProtoHelper::readRecord(frame, data);
}

bool MavProtoTeleProcesser::parseFlightStatusData(const _MavPFrame_t& frame, _MavProtoFlightStatusData_t& data)
{
    return MavProtoHelper::readRecord(frame, data);
}

bool MavProtoTeleProcesser::parseResData(const _MavPFrame_t& frame, MavProtoResData_t& data)
{
    return MavProtoHelper::readRecord(frame, data);
}

bool MavProtoTeleProcesser::parseComprehensiveData(const _MavPFrame_t& frame, MavProtoComprehensiveData_t& data)
{
    return MavProtoHelper::readRecord(frame, data);
}

uint16_t MavProtoTeleProcesser::packRequestAllTelePFrame(_MavPFrame_t& frame, uint8_t vehicleId)
{
    MavProtoHelper::packMavProtoFrame(frame, MAVPROTO_GCS_ID, vehicleId, 0, MavCmd::RequestAllTele, {});
    return MAVPROTO_FRAME_OVERHEAD;
}

uint16_t MavProtoTeleProcesser::packAhrsDataPFrame(_MavPFrame_t& frame, uint8_t vehicleId, uint8_t seq,
                                                   const MavProtoAhrsData_t& data)
{
    return packFromVehicle(frame, vehicleId, seq, MavCmd::TeleAhrs, data);
}

uint16_t MavProtoTeleProcesser::packPosDataPFrame(_MavPFrame_t& frame, uint8_t vehicleId, uint8_t seq,
                                                  const MavProtoPosData_t& data)
{
    return packFromVehicle(frame, vehicleId, seq, MavCmd::TelePosition, data);
}

uint16_t MavProtoTeleProcesser::packTargetStabilizeDataPFrame(_MavPFrame_t& frame, uint8_t vehicleId, uint8_t seq,
                                                              const MavProtoTargetStabilizeData_t& data)
{
    return packFromVehicle(frame, vehicleId, seq, MavCmd::TeleTargetStabilize, data);
}

uint16_t MavProtoTeleProcesser::packRCDataPFrame(_MavPFrame_t& frame, uint8_t vehicleId, uint8_t seq,
                                                 const MavProtoRCData_t& data)
{
    return packFromVehicle(frame, vehicleId, seq, MavCmd::TeleRc, data);
}

uint16_t MavProtoTeleProcesser::packFlightStatusDataPFrame(_MavPFrame_t& frame, uint8_t vehicleId, uint8_t seq,
                                                           const _MavProtoFlightStatusData_t& data)
{
    return packFromVehicle(frame, vehicleId, seq, MavCmd::TeleFlightStatus, data);
}

uint16_t MavProtoTeleProcesser::packResDataPFrame(_MavPFrame_t& frame, uint8_t vehicleId, uint8_t seq,
                                                  const MavProtoResData_t& data)
{
    return packFromVehicle(frame, vehicleId, seq, MavCmd::TeleReserved, data);
}

uint16_t MavProtoTeleProcesser::packComprehensiveDataPFrame(_MavPFrame_t& frame, uint8_t vehicleId, uint8_t seq,
                                                            const MavProtoComprehensiveData_t& data)
{
    return packFromVehicle(frame, vehicleId, seq, MavCmd::TeleComprehensive, data);
}
