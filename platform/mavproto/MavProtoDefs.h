#pragma once
// Frame record, command bytes and parse results of the vehicle link protocol.
//
// Wire form of a frame (len + 10 bytes):
//   offset 0  2 bytes  head EB 90
//          2  u8       tx_id   sender id
//          3  u8       rx_id   receiver id (the ground station is 0x81)
//          4  u8       seq     sequence number
//          5  u8       cmd     command byte
//          6  u16 LE   len     data length
//          8  len      data
//     8+len   u16 LE   check   CRC-16/CCITT-FALSE (poly 0x1021, init 0xFFFF, no reflection,
//                              no final xor) over bytes 2 .. 7+len (tx_id to the last data byte)
// Payload records are packed little-endian; the protocol is only built for little-endian hosts.

#include <bit>
#include <cstdint>
#include <memory>
#include <vector>

static_assert(std::endian::native == std::endian::little, "payload records are memcpy'd little-endian");

constexpr uint8_t MAVPROTO_HEAD0 = 0xEB;
constexpr uint8_t MAVPROTO_HEAD1 = 0x90;
constexpr unsigned MAVPROTO_FRAME_OVERHEAD = 10;  // head, ids, seq, cmd, len, check
constexpr unsigned MAVPROTO_HEADER_SIZE = 8;
constexpr uint8_t MAVPROTO_GCS_ID = 0x81;

struct _MavPFrame_t {
    uint8_t head[2] = {MAVPROTO_HEAD0, MAVPROTO_HEAD1};
    uint8_t tx_id = 0;
    uint8_t rx_id = 0;
    uint8_t seq = 0;
    uint8_t cmd = 0;
    uint16_t data_len = 0;
    std::vector<uint8_t> data;
};
using MavPFrame_t = _MavPFrame_t;
using MavPFramePtr = std::shared_ptr<_MavPFrame_t>;

enum MavProtoParseResult : uint16_t {
    MAVPROTO_PARSE_RESULT_OK = 0,  // a whole, checked frame starts at the first byte
    MAVPROTO_PARSE_RESULT_MOH_NOT_MATCH = 1,  // the first bytes are not the head
    MAVPROTO_PARSE_RESULT_INCOMPLETE = 2,  // more bytes are needed
    MAVPROTO_PARSE_RESULT_CRC_CHECK_ERR = 3,  // complete, but the check does not match
};

// Command bytes.
namespace MavCmd {
constexpr uint8_t Heartbeat = 0x00;
constexpr uint8_t BasicParams = 0x01;
constexpr uint8_t AttitudeParams = 0x02;
constexpr uint8_t PositionParams = 0x03;
constexpr uint8_t FixedAttitudeParams = 0x04;
constexpr uint8_t FixedPositionParams = 0x05;
constexpr uint8_t ResetParams = 0x09;
constexpr uint8_t AccCalibration = 0x0A;
constexpr uint8_t MagCalibration = 0x0B;
constexpr uint8_t VehicleCode = 0x0E;
constexpr uint8_t ResParams = 0x0F;
constexpr uint8_t NfzCount = 0x10;
constexpr uint8_t NfzZone = 0x11;
constexpr uint8_t NfzUpdateTime = 0x12;
constexpr uint8_t RequestAllTele = 0x20;
constexpr uint8_t TeleAhrs = 0x21;
constexpr uint8_t TelePosition = 0x22;
constexpr uint8_t TeleTargetStabilize = 0x23;
constexpr uint8_t TeleRc = 0x24;
constexpr uint8_t TeleFlightStatus = 0x25;
constexpr uint8_t TeleComprehensive = 0x26;
constexpr uint8_t TeleReserved = 0x2F;
constexpr uint8_t RouteDownloadBasic = 0x40;
constexpr uint8_t RouteDownloadWaypoints = 0x41;
constexpr uint8_t RouteUploadBasic = 0x42;
constexpr uint8_t RouteUploadWaypoints = 0x43;
constexpr uint8_t ManualNfzBind = 0x4A;
constexpr uint8_t TakeOff = 0x81;
constexpr uint8_t Suspend = 0x82;
constexpr uint8_t Resume = 0x83;
constexpr uint8_t Land = 0x84;
constexpr uint8_t Return = 0x85;
constexpr uint8_t StartMission = 0x86;
constexpr uint8_t Formation = 0x87;
constexpr uint8_t IdleMotorDetect = 0x89;
constexpr uint8_t FirmwareReset = 0xA1;  // reset command: the vehicle prepares for an image
constexpr uint8_t FirmwareInfo = 0xA2;
constexpr uint8_t FirmwareData = 0xA3;
constexpr uint8_t FirmwareFinalAck = 0xA4;  // the vehicle's verdict on a complete image
}  // namespace MavCmd
