#pragma once
// No-fly zones written into a vehicle: an upload (0x10 zone and vertex totals, one 0x11 per
// zone, 0x12 the update time that makes the set complete) and a manual bind of one four-corner
// zone (0x4A). The vehicle side is here for the simulator.
//
// Station packers send from 0x81 to rxId with the given seq and return the frame's wire size
// (data length + 10). Data, little-endian:
//   cmd   request                                          answer
//   0x10  u16 zone count, u16 vertex total                 u8 result
//   0x11  u16 zone index, u8 vertex count,                 u8 result, u16 status word
//         per vertex f64 latitude, f64 longitude
//   0x12  u16 year, u8 month, day, hour, minute, second    u8 result
//   0x4A  u8 1, then 4 x (u8 vertex number 1..4,           u8 result
//         f64 longitude, f64 latitude)
// Coordinates are (latitude, longitude) in the records; the bind frame carries them swapped.
//
// Station decoders return the result byte (0 done); an answer without data reads as 0xFF. A
// zone answer of result 0 without its status word leaves the word 0.
// Vehicle decoders return false (output untouched) for a payload of the wrong size: the zone
// frame must hold exactly the vertices its count announces, and at least 1 of them.

#include "MavProtoDefs.h"

#include <array>
#include <cstdint>
#include <vector>

#pragma pack(push, 1)
struct MavProtoNfzTotalCount_t {
    uint16_t zoneCount = 0;
    uint16_t vertexCount = 0;
};
struct MavProtoNfzVertex_t {
    double lat = 0.0;
    double lon = 0.0;
};
struct MavProtoNfzUpdateTime_t {
    uint16_t year = 0;
    uint8_t month = 0;
    uint8_t day = 0;
    uint8_t hour = 0;
    uint8_t minute = 0;
    uint8_t second = 0;
};
struct MavProtoNfzZoneDataAck_t {
    uint16_t statusWord = 0;
};
#pragma pack(pop)
static_assert(sizeof(MavProtoNfzTotalCount_t) == 4 && sizeof(MavProtoNfzVertex_t) == 16 &&
              sizeof(MavProtoNfzUpdateTime_t) == 7);

struct MavProtoNfzZoneData_t {
    uint16_t zoneIndex = 0;
    std::vector<MavProtoNfzVertex_t> vertices;  // at most 255 go on the wire
};

struct MavProtoManualNfzBind_t {
    struct Entry {
        uint8_t number = 0;
        MavProtoNfzVertex_t vertex;
    };
    uint8_t lead = 1;
    std::array<Entry, 4> entries;
};

constexpr size_t MAVPROTO_NFZ_MAX_ZONE_VERTICES = 255;

class MavProtoNfzProcesser {
public:
    // ---- Station side -----------------------------------------------------------------------
    static uint16_t packNfzTotalCountFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq,
                                           const MavProtoNfzTotalCount_t& count);
    // 0 (frame untouched) for a zone without vertices or with more than 255.
    static uint16_t packNfzZoneDataFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq,
                                         const MavProtoNfzZoneData_t& zone);
    static uint16_t packNfzUpdateTimeFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq,
                                           const MavProtoNfzUpdateTime_t& time);
    static uint16_t packManualNfzBindFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq,
                                           const MavProtoManualNfzBind_t& bind);

    static int parseNfzTotalCountAck(const _MavPFrame_t& frame);
    static int parseNfzZoneDataAck(const _MavPFrame_t& frame, MavProtoNfzZoneDataAck_t& out);
    static int parseNfzUpdateTimeWriteAck(const _MavPFrame_t& frame);
    static int parseManualNfzBindAck(const _MavPFrame_t& frame);

    // ---- Vehicle side -----------------------------------------------------------------------
    static bool parseNfzTotalCountReq(const _MavPFrame_t& frame, MavProtoNfzTotalCount_t& out);
    static bool parseNfzZoneDataReq(const _MavPFrame_t& frame, MavProtoNfzZoneData_t& out);
    static bool parseNfzUpdateTimeReq(const _MavPFrame_t& frame, MavProtoNfzUpdateTime_t& out);
    static bool parseManualNfzBindReq(const _MavPFrame_t& frame, MavProtoManualNfzBind_t& out);
    // The data after the result byte of a zone answer.
    static std::vector<uint8_t> zoneDataAckExtra(uint16_t statusWord);
};
