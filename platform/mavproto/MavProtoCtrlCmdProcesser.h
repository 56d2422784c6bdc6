#pragma once
// Control commands (take-off, suspend, resume, land, return, run mission, formation, idle-motor
// detection), the heartbeat and the acknowledgement frame.
//
// Every packer fills the frame with tx_id = 0x81 (the ground station), the given rx_id and seq,
// and its command byte, and returns the frame's wire size (data length + 10).
//
// Payload wire forms (packed, little-endian):
//   0x81 take-off        3 bytes: u16 altitude (m), u8 climb speed (m/s)
//   0x82 suspend         empty
//   0x83 resume          empty
//   0x84 land            empty
//   0x85 return          12 bytes: i32 latitude  (degrees x 1e7, rounded)
//                                  i32 longitude (degrees x 1e7, rounded)
//                                  i16 altitude  (tenths of a metre, rounded)
//                                  u16 reserved, 0
//                        Values outside the wire range are clamped to it (callers validate).
//   0x86 run mission     empty
//   0x87 formation       1 byte: 1 = start, 0 = cancel
//   0x89 idle-motor test 2 bytes: u8 value, u8 mode (0x11 to start; 0, 0 to stop)
//   0x00 heartbeat       empty; sent by a vehicle with rx_id 0x81
//   acknowledgement      the command's cmd and seq, from the vehicle to 0x81, data[0] = result
//                        (0 done, 1 pending, 2 denied, 3 unsupported, 4 failed, 5 finished,
//                        6 refused, 8 out of range), optionally followed by command data.

#include "MavProtoDefs.h"

#pragma pack(push, 1)
struct MavProtoTakeOffParams_t {
    uint16_t alt;
    uint8_t vel;
};
static_assert(sizeof(MavProtoTakeOffParams_t) == 3);

// Natural-unit record handed to packReturnPFrame; the wire form is MavProtoReturnWire_t.
struct MavProtoReturnParams_t {
    double lat;
    double lon;
    float alt;
};

struct MavProtoReturnWire_t {
    int32_t latE7;
    int32_t lonE7;
    int16_t altDm;
    uint16_t reserved;
};
static_assert(sizeof(MavProtoReturnWire_t) == 12);

struct MavProtoIdleMotorDetectParams_t {
    uint8_t value;
    uint8_t mode;
};
static_assert(sizeof(MavProtoIdleMotorDetectParams_t) == 2);
#pragma pack(pop)

class MavProtoCtrlCmdProcesser {
public:
    static uint16_t packTakeOffPFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq, const MavProtoTakeOffParams_t& p);
    static uint16_t packSuspendPFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq);
    static uint16_t packResumePFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq);
    static uint16_t packLandPFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq);
    static uint16_t packReturnPFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq, const MavProtoReturnParams_t& p);
    static uint16_t packStartMissionPFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq);
    static uint16_t packFormationStartPFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq);
    static uint16_t packFormationCancelPFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq);
    static uint16_t packIdleMotorDetectPFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq,
                                              const MavProtoIdleMotorDetectParams_t& p);

    // Decodes a return payload back to natural units (for the vehicle side); false if short.
    static bool parseReturnParams(const _MavPFrame_t& frame, MavProtoReturnParams_t& p);

    // Vehicle side: a heartbeat from vehicleId to the ground station.
    static uint16_t packHeartbeatPFrame(_MavPFrame_t& frame, uint8_t vehicleId, uint8_t seq = 0);
    // Vehicle side: the acknowledgement of (cmd, seq) with a result and optional extra data.
    static uint16_t packAckPFrame(_MavPFrame_t& frame, uint8_t vehicleId, uint8_t seq, uint8_t cmd, uint8_t result,
                                  const std::vector<uint8_t>& extra = {});
};
