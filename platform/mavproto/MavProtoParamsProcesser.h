#pragma once
// Parameter groups, parameter reset, sensor calibration and the vehicle code: conversion between
// the natural-unit records and their wire forms (MavProtoParamsRecords.h), the station's packers
// and decoders, and the vehicle-side counterparts the simulator answers with.
//
// Station packers fill the frame with tx_id 0x81, the given rx_id and seq, and their command
// byte, and return the frame's wire size (data length + 10). A packer that returns 0 leaves the
// frame as it was: a value did not fit its wire integer (NaN and infinities included), or the
// record or code is refused for the reason given at the packer.
//
// Exchanges (data as sent after the frame header):
//   cmd   request from the station           answer from the vehicle
//   0x01  read: empty                        48 bytes, MavProtoBasicParamsWire_t
//         write: 48 bytes, the same          1 byte, result
//   0x02  read: empty / write: 40 bytes      40 bytes MavProtoAttitudeGainWire_t / 1 byte result
//   0x03  read: empty / write: 40 bytes      40 bytes MavProtoPositionGainWire_t / 1 byte result
//   0x04  as 0x02, fixed-wing gains
//   0x05  as 0x03, fixed-wing gains
//   0x0F  read: empty / write: 80 bytes      80 bytes MavProtoResParamsWire_t / 1 byte result
//   0x09  reset all parameters: empty        1 byte, result
//   0x0A  accelerometer step: 1 byte, step   2 bytes, result and step (MavProtoCaliAck_t)
//   0x0B  compass step: 1 byte, step         2 bytes, result and step
//   0x0E  read code: empty                   20 bytes, the code
//         write code: 20 bytes, the code     1 byte, result
// A read reply carries no result byte: its length alone tells it from a refusal, which is a
// 1-byte result. Results are those of every acknowledgement (0 done, non-zero refused).
//
// Vehicle code: printable ASCII (0x20 to 0x7E), at most 20 characters, padded with NUL bytes to
// 20. A code of exactly 20 characters has no NUL. Reading stops at the first NUL.
//
// Decoders take a frame of their command whose data has exactly the wire length; anything else
// returns false and leaves the output untouched, so a record pre-set with defaults keeps them.

#include "MavProtoDefs.h"
#include "MavProtoParamsRecords.h"

#include <string>

class MavProtoParamsProcesser {
public:
    // ---- Conversion -------------------------------------------------------------------------
    // toWire returns false (and leaves wire untouched) when a value does not fit; fromWire
    // always succeeds.
    static bool toWire(const MavProtoBasicParams_t& params, MavProtoBasicParamsWire_t& wire);
    static bool toWire(const MavProtoStabilizeCtrlParams_t& params, MavProtoAttitudeGainWire_t& wire);
    static bool toWire(const MavProtoPosCtrlParams_t& params, MavProtoPositionGainWire_t& wire);
    static bool toWire(const MavProtoResParams_t& params, MavProtoResParamsWire_t& wire);
    static void fromWire(const MavProtoBasicParamsWire_t& wire, MavProtoBasicParams_t& params);
    static void fromWire(const MavProtoAttitudeGainWire_t& wire, MavProtoStabilizeCtrlParams_t& params);
    static void fromWire(const MavProtoPositionGainWire_t& wire, MavProtoPosCtrlParams_t& params);
    static void fromWire(const MavProtoResParamsWire_t& wire, MavProtoResParams_t& params);

    // Data length of the read reply for a command (48, 40, 80 or 20), 0 for any other command.
    static uint16_t readReplyDataLen(uint8_t cmd);

    // ---- Station side -----------------------------------------------------------------------
    static uint16_t packReadBasicParamsFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq);
    static uint16_t packReadStabilizeCtrlParamsFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq);
    static uint16_t packReadPosCtrlParamsFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq);
    static uint16_t packReadFixedStabilizeCtrlParamsFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq);
    static uint16_t packReadFixedPosCtrlParamsFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq);
    static uint16_t packReadResParamsFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq);
    static uint16_t packReadVehicleCodeFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq);
    static uint16_t packResetAllParamsFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq);

    // Writers, each with a natural-unit and a wire overload. The basic writers also refuse a
    // vehicleId of 0x81: a vehicle under the station's own id could no longer be told apart
    // from it.
    static uint16_t packWriteBasicParamsFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq,
                                              const MavProtoBasicParams_t& params);
    static uint16_t packWriteBasicParamsFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq,
                                              const MavProtoBasicParamsWire_t& wire);
    static uint16_t packWriteStabilizeCtrlParamsFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq,
                                                      const MavProtoStabilizeCtrlParams_t& params);
    static uint16_t packWriteStabilizeCtrlParamsFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq,
                                                      const MavProtoAttitudeGainWire_t& wire);
    static uint16_t packWritePosCtrlParamsFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq,
                                                const MavProtoPosCtrlParams_t& params);
    static uint16_t packWritePosCtrlParamsFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq,
                                                const MavProtoPositionGainWire_t& wire);
    static uint16_t packWriteFixedStabilizeCtrlParamsFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq,
                                                           const MavProtoFixedStabilizeCtrlParams_t& params);
    static uint16_t packWriteFixedStabilizeCtrlParamsFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq,
                                                           const MavProtoAttitudeGainWire_t& wire);
    static uint16_t packWriteFixedPosCtrlParamsFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq,
                                                     const MavProtoFixedPosCtrlParams_t& params);
    static uint16_t packWriteFixedPosCtrlParamsFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq,
                                                     const MavProtoPositionGainWire_t& wire);
    static uint16_t packWriteResParamsFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq,
                                            const MavProtoResParams_t& params);
    static uint16_t packWriteResParamsFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq,
                                            const MavProtoResParamsWire_t& wire);
    // Refuses an empty code, one longer than 20 characters or one with a byte outside 0x20..0x7E.
    static uint16_t packWriteVehicleCodeFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq, const std::string& code);
    static uint16_t packAccMeterCaliActionFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq,
                                                MavProtoAccMeterCalibrateStep step);
    static uint16_t packMagCompassCaliActionFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq,
                                                  MavProtoMagCompassCalibrateStep step);

    // Read replies, decoded to natural units.
    static bool parseReadBasicParamsAck(const _MavPFrame_t& frame, MavProtoBasicParams_t& params);
    static bool parseReadStabilizeCtrlParamsAck(const _MavPFrame_t& frame, MavProtoStabilizeCtrlParams_t& params);
    static bool parseReadPosCtrlParamsAck(const _MavPFrame_t& frame, MavProtoPosCtrlParams_t& params);
    static bool parseReadFixedStabilizeCtrlParamsAck(const _MavPFrame_t& frame,
                                                     MavProtoFixedStabilizeCtrlParams_t& params);
    static bool parseReadFixedPosCtrlParamsAck(const _MavPFrame_t& frame, MavProtoFixedPosCtrlParams_t& params);
    static bool parseReadResParamsAck(const _MavPFrame_t& frame, MavProtoResParams_t& params);
    // A reply with a byte outside 0x20..0x7E before its first NUL returns false and leaves code
    // untouched: the code ends up in logs, JSON and cloud requests. An all-NUL reply gives "".
    static bool parseReadVehicleCodeParamsAck(const _MavPFrame_t& frame, std::string& code);

    // Calibration acknowledgements: true for exactly 2 bytes. Any other length reads what is
    // there and returns false: a 1-byte answer (a vehicle that refuses outright) gives its result
    // and step 0, an empty one result 0xFF and step 0. A frame of another command leaves ack
    // untouched.
    static bool parseAccMeterCaliAck(const _MavPFrame_t& frame, MavProtoCaliAck_t& ack);
    static bool parseMagCompassCaliAck(const _MavPFrame_t& frame, MavProtoCaliAck_t& ack);

    // ---- Vehicle side -----------------------------------------------------------------------
    // Read replies from vehicleId to 0x81. The natural overloads return 0 when a value does not
    // fit the wire form.
    static uint16_t packReadBasicParamsAck(_MavPFrame_t& frame, uint8_t vehicleId, uint8_t seq,
                                           const MavProtoBasicParams_t& params);
    static uint16_t packReadStabilizeCtrlParamsAck(_MavPFrame_t& frame, uint8_t vehicleId, uint8_t seq,
                                                   const MavProtoStabilizeCtrlParams_t& params);
    static uint16_t packReadPosCtrlParamsAck(_MavPFrame_t& frame, uint8_t vehicleId, uint8_t seq,
                                             const MavProtoPosCtrlParams_t& params);
    static uint16_t packReadFixedStabilizeCtrlParamsAck(_MavPFrame_t& frame, uint8_t vehicleId, uint8_t seq,
                                                        const MavProtoFixedStabilizeCtrlParams_t& params);
    static uint16_t packReadFixedPosCtrlParamsAck(_MavPFrame_t& frame, uint8_t vehicleId, uint8_t seq,
                                                  const MavProtoFixedPosCtrlParams_t& params);
    static uint16_t packReadResParamsAck(_MavPFrame_t& frame, uint8_t vehicleId, uint8_t seq,
                                         const MavProtoResParams_t& params);
    // An empty code is a valid reply (no code set); an invalid one returns 0.
    static uint16_t packReadVehicleCodeAck(_MavPFrame_t& frame, uint8_t vehicleId, uint8_t seq,
                                           const std::string& code);

    // 1-byte result answers: group and code writes (cmd of the request) and reset-all.
    static uint16_t packWriteParamsAck(_MavPFrame_t& frame, uint8_t vehicleId, uint8_t seq, uint8_t cmd,
                                       uint8_t result);
    static uint16_t packResetAllParamsAck(_MavPFrame_t& frame, uint8_t vehicleId, uint8_t seq, uint8_t result);
    static uint16_t packAccMeterCaliAck(_MavPFrame_t& frame, uint8_t vehicleId, uint8_t seq, uint8_t result,
                                        uint8_t step);
    static uint16_t packMagCompassCaliAck(_MavPFrame_t& frame, uint8_t vehicleId, uint8_t seq, uint8_t result,
                                          uint8_t step);

    // Write requests decoded back to natural units, under the decoder rules above.
    static bool parseWriteBasicParamsFrame(const _MavPFrame_t& frame, MavProtoBasicParams_t& params);
    static bool parseWriteStabilizeCtrlParamsFrame(const _MavPFrame_t& frame, MavProtoStabilizeCtrlParams_t& params);
    static bool parseWritePosCtrlParamsFrame(const _MavPFrame_t& frame, MavProtoPosCtrlParams_t& params);
    static bool parseWriteFixedStabilizeCtrlParamsFrame(const _MavPFrame_t& frame,
                                                        MavProtoFixedStabilizeCtrlParams_t& params);
    static bool parseWriteFixedPosCtrlParamsFrame(const _MavPFrame_t& frame, MavProtoFixedPosCtrlParams_t& params);
    static bool parseWriteResParamsFrame(const _MavPFrame_t& frame, MavProtoResParams_t& params);
    // Same code rules as the station's writer: false for an empty or invalid code.
    static bool parseWriteVehicleCodeFrame(const _MavPFrame_t& frame, std::string& code);
    // Exactly one data byte.
    static bool parseAccMeterCaliActionFrame(const _MavPFrame_t& frame, uint8_t& step);
    static bool parseMagCompassCaliActionFrame(const _MavPFrame_t& frame, uint8_t& step);
};
