#include "MavProtoFirmwareProcesser.h"

#include "MavProtoHelper.h"

namespace {

void putU16(std::vector<uint8_t>& out, uint16_t v)
{
    out.push_back(uint8_t(v & 0xFF));
    out.push_back(uint8_t(v >> 8));
}

uint16_t getU16(const std::vector<uint8_t>& in, size_t at)
{
    return uint16_t(in[at] | (in[at + 1] << 8));
}

uint16_t packFrom(_MavPFrame_t& frame, uint8_t txId, uint8_t rxId, uint8_t seq, uint8_t cmd,
                  const std::vector<uint8_t>& data)
{
    MavProtoHelper::packMavProtoFrame(frame, txId, rxId, seq, cmd, data);
    return uint16_t(data.size() + MAVPROTO_FRAME_OVERHEAD);
}

}  // namespace

uint16_t MavProtoFirmwareProcesser::packResetCommandPFrame(_MavPFrame_t& frame, uint8_t vehicleId, uint8_t seq)
{
    return packFrom(frame, MAVPROTO_GCS_ID, vehicleId, seq, MavCmd::FirmwareReset, {});
}

uint16_t MavProtoFirmwareProcesser::packFirmInfoPFrame(_MavPFrame_t& frame, uint8_t vehicleId, uint8_t seq,
                                                       uint16_t totalFrameCount, uint32_t totalSize)
{
    std::vector<uint8_t> data;
    putU16(data, totalFrameCount);
    putU16(data, uint16_t(totalSize & 0xFFFF));
    putU16(data, uint16_t(totalSize >> 16));
    return packFrom(frame, MAVPROTO_GCS_ID, vehicleId, seq, MavCmd::FirmwareInfo, data);
}

uint16_t MavProtoFirmwareProcesser::packFirmDataPFrame(_MavPFrame_t& frame, uint8_t vehicleId, uint8_t seq,
                                                       uint16_t frameIndex, const uint8_t* data, uint16_t dataLen)
{
    if (!data || dataLen == 0 || dataLen > kMaxFrameData)
        return 0;
    std::vector<uint8_t> payload;
    payload.reserve(dataLen + 2u);
    putU16(payload, frameIndex);
    payload.insert(payload.end(), data, data + dataLen);
    return packFrom(frame, MAVPROTO_GCS_ID, vehicleId, seq, MavCmd::FirmwareData, payload);
}

bool MavProtoFirmwareProcesser::parseFirmDataAck(const _MavPFrame_t& frame, uint8_t& result, uint16_t& frameIndex)
{
    if (frame.data.empty())
        return false;
    result = frame.data[0];
    if (frame.data.size() >= 3)
        frameIndex = getU16(frame.data, 1);
    return true;
}

bool MavProtoFirmwareProcesser::parseFirmInfoReq(const _MavPFrame_t& frame, uint16_t& totalFrameCount,
                                                 uint32_t& totalSize)
{
    if (frame.data.size() != 6)
        return false;
    totalFrameCount = getU16(frame.data, 0);
    totalSize = uint32_t(getU16(frame.data, 2)) | (uint32_t(getU16(frame.data, 4)) << 16);
    return true;
}

bool MavProtoFirmwareProcesser::parseFirmDataReq(const _MavPFrame_t& frame, uint16_t& frameIndex,
                                                 std::vector<uint8_t>& data)
{
    if (frame.data.size() < 3 || frame.data.size() > kMaxFrameData + 2u)
        return false;
    frameIndex = getU16(frame.data, 0);
    data.assign(frame.data.begin() + 2, frame.data.end());
    return true;
}

uint16_t MavProtoFirmwareProcesser::packFirmDataAck(_MavPFrame_t& frame, uint8_t vehicleId, uint8_t seq, uint8_t result,
                                                    uint16_t frameIndex)
{
    std::vector<uint8_t> data{result};
    putU16(data, frameIndex);
    return packFrom(frame, vehicleId, MAVPROTO_GCS_ID, seq, MavCmd::FirmwareData, data);
}

uint16_t MavProtoFirmwareProcesser::packFinalAck(_MavPFrame_t& frame, uint8_t vehicleId, uint8_t result)
{
    return packFrom(frame, vehicleId, MAVPROTO_GCS_ID, 0, MavCmd::FirmwareFinalAck, {result});
}
