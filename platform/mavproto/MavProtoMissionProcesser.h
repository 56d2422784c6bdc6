#pragma once
// Route transfer: the station uploads a route (a basic record, then its waypoints one frame at
// a time) and downloads it back the same way; the vehicle side is here for the simulator.
//
// Station packers fill the frame with tx_id 0x81, the given rx_id (the vehicle) and seq, and
// their command byte, and return the frame's wire size (data length + 10). Vehicle packers send
// from the vehicle id to 0x81 with the request's seq and command.
//
// Exchanges (data after the frame header; records in MavProtoMissionRecords.h):
//   cmd   request from the station                  answer from the vehicle
//   0x42  4 bytes, MavProtoUpWayPointBasicParam_t    1 byte, result
//         {repeat count, waypoint count, 15, route number}
//   0x43  56 bytes, MavProtoWayPointData_t, one      1 byte, result
//         waypoint as it stands (padding included)
//   0x40  1 byte, route number                       result, then on 0 the 4 bytes of
//                                                    MavProtoDownWayPointBasicParam_t
//   0x41  2 bytes, MavProtoDownWayPointDataReq_t     result, then on 0 the 56-byte waypoint
//         {waypoint number, route number}
// A refusal (non-zero result) is the result byte alone. Results are those of every
// acknowledgement (0 done, 6 refused, 8 out of range, ...).
//
// Station decoders return the result byte, leaving the output untouched when it is not 0, or
// MAVPROTO_MISSION_ACK_TOO_SHORT when a result of 0 is not followed by the whole record, and for
// an answer without any data (no result at all). Bytes after the record are ignored.
//
// Vehicle decoders return true when the request holds its whole record (extra bytes ignored);
// a short one returns false and leaves the output untouched.

#include "MavProtoDefs.h"
#include "MavProtoMissionRecords.h"

// A download answer of result 0 that lacks (part of) its record.
constexpr int MAVPROTO_MISSION_ACK_TOO_SHORT = -2001;

class MavProtoMissionProcesser {
public:
    // ---- Station side -----------------------------------------------------------------------
    static uint16_t packWayPointBasicParamsFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq,
                                                 const MavProtoUpWayPointBasicParam_t& p);
    static uint16_t packWayPointDataFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq,
                                          const MavProtoWayPointData_t& wp);
    static uint16_t packDownWayPointBasicParamsFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq,
                                                     uint8_t routeNumber);
    static uint16_t packDownWayPointDataReqFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq,
                                                 const MavProtoDownWayPointDataReq_t& req);

    static int parseDownWayPointBasicParamsAck(const _MavPFrame_t& frame, MavProtoDownWayPointBasicParam_t& out);
    static int parseDownWayPointDataAck(const _MavPFrame_t& frame, MavProtoWayPointData_t& out);

    // ---- Vehicle side -----------------------------------------------------------------------
    static bool parseUpWayPointBasicParamsReq(const _MavPFrame_t& frame, MavProtoUpWayPointBasicParam_t& p);
    static bool parseUpWayPointDataReq(const _MavPFrame_t& frame, MavProtoWayPointData_t& wp);
    static bool parseDownWayPointBasicParamsReq(const _MavPFrame_t& frame, uint8_t& routeNumber);
    static bool parseDownWayPointDataReq(const _MavPFrame_t& frame, MavProtoDownWayPointDataReq_t& req);

    // Download answers: the result, followed by the record when the result is 0.
    static uint16_t packDownWayPointBasicParamsAck(_MavPFrame_t& frame, uint8_t vehicleId, uint8_t seq, uint8_t result,
                                                   const MavProtoDownWayPointBasicParam_t& p);
    static uint16_t packDownWayPointDataAck(_MavPFrame_t& frame, uint8_t vehicleId, uint8_t seq, uint8_t result,
                                            const MavProtoWayPointData_t& wp);
};
