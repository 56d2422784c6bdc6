#pragma once
// Firmware image transfer. All numbers little-endian; data after the frame header:
//   cmd   request from the station          answer from the vehicle
//   0xA1  nothing (reset command)           1 byte, result
//   0xA2  u16 frame count, u32 image size   1 byte, result
//   0xA3  u16 frame index, 1..512 bytes     1 byte, result, then the u16 index
//   0xA4  (none: the vehicle sends it on its own once the image is complete, seq 0)
//                                           1 byte, result (0 the image verified)
// Station packers send from 0x81 to the vehicle and return the frame's wire size (data + 10),
// or 0 (frame untouched) when the data slice is empty or longer than kMaxFrameData.
// Vehicle parsers return false, outputs untouched, for a payload too short or too long.

#include "MavProtoDefs.h"

class MavProtoFirmwareProcesser {
public:
    static constexpr uint16_t kMaxFrameData = 512;

    // Frames an image of `size` bytes needs: a last, shorter frame carries the remainder.
    static uint32_t frameCount(uint32_t size) { return size / kMaxFrameData + (size % kMaxFrameData ? 1 : 0); }

    // ---- Station side -----------------------------------------------------------------------
    static uint16_t packResetCommandPFrame(_MavPFrame_t& frame, uint8_t vehicleId, uint8_t seq);
    static uint16_t packFirmInfoPFrame(_MavPFrame_t& frame, uint8_t vehicleId, uint8_t seq, uint16_t totalFrameCount,
                                       uint32_t totalSize);
    static uint16_t packFirmDataPFrame(_MavPFrame_t& frame, uint8_t vehicleId, uint8_t seq, uint16_t frameIndex,
                                       const uint8_t* data, uint16_t dataLen);
    // A data ack's result and, when the vehicle echoed it, its index; false without a result.
    static bool parseFirmDataAck(const _MavPFrame_t& frame, uint8_t& result, uint16_t& frameIndex);

    // ---- Vehicle side -----------------------------------------------------------------------
    static bool parseFirmInfoReq(const _MavPFrame_t& frame, uint16_t& totalFrameCount, uint32_t& totalSize);
    static bool parseFirmDataReq(const _MavPFrame_t& frame, uint16_t& frameIndex, std::vector<uint8_t>& data);
    static uint16_t packFirmDataAck(_MavPFrame_t& frame, uint8_t vehicleId, uint8_t seq, uint8_t result,
                                    uint16_t frameIndex);
    static uint16_t packFinalAck(_MavPFrame_t& frame, uint8_t vehicleId, uint8_t result);
};
