#pragma once
// Telemetry: the request-all frame, the seven telemetry records and their decoders, and the
// vehicle-side packers the simulator answers with.
//
// The station sends 0x20 (request all telemetry, seq 0, empty data) from 0x81 to a vehicle; the
// vehicle answers with one frame per record below, from its id to 0x81:
//   0x21 AHRS              MavProtoAhrsData_t               52 bytes
//   0x22 position          MavProtoPosData_t               118 bytes
//   0x23 target stabilise  MavProtoTargetStabilizeData_t    84 bytes
//   0x24 remote control    MavProtoRCData_t                 48 bytes
//   0x25 flight status     MavProtoFlightStatusData_t       36 bytes
//   0x26 comprehensive     MavProtoComprehensiveData_t     167 bytes (a subset of five records)
//   0x2F reserved values   MavProtoResData_t               120 bytes
//
// Packed state byte (offset 2 of the flight status record), built by encodeComprehensiveStateByte:
//   bit 0     remote control ok   (rcState != 0)
//   bit 1     positioned          (positionState != 0: single point, pseudo-range or RTK)
//   bit 2     heading ok          (headingState != 0)
//   bit 3     link ok             (linkState != 0)
//   bit 4     armed               (armedState != 0)
//   bits 5-6  battery state       (0 normal, 1 low, 2 critical; codes above 3 saturate to 3)
//   bit 7     always 0
// The two trailing 4-byte fields of the target stabilise record are reserved floats; the station
// keeps them with the record but shows neither.

#include "MavProtoDefs.h"

#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)

struct MavProtoAhrsData_t {
    float gx;  // deg/s
    float gy;
    float gz;
    float ax;  // m/s^2
    float ay;
    float az;
    int16_t mx;
    int16_t my;
    int16_t mz;
    float roll;  // degrees
    float pitch;
    float yaw;
    float magYaw;
    float presAlt;  // m
    int16_t res0;
};
static_assert(sizeof(MavProtoAhrsData_t) == 52);
static_assert(offsetof(MavProtoAhrsData_t, mx) == 24);
static_assert(offsetof(MavProtoAhrsData_t, roll) == 30);
static_assert(offsetof(MavProtoAhrsData_t, presAlt) == 46);
static_assert(offsetof(MavProtoAhrsData_t, res0) == 50);

struct MavProtoPosData_t {
    double homeLat;  // degrees
    double homeLon;
    double lat;
    double lon;
    double alt;  // m
    double rtkNorthLine;
    double rtkEastLine;
    double rtkUpLine;
    float northSpd;  // m/s
    float eastSpd;
    float upSpd;
    double ekfNorthLine;
    double ekfEastLine;
    double ekfUpLine;
    float ekfNorthSpd;
    float ekfEastSpd;
    float ekfUpSpd;
    float rtkYaw;  // degrees
    uint8_t posSatNum;
    uint8_t rtkSatNum;
};
static_assert(sizeof(MavProtoPosData_t) == 118);
static_assert(offsetof(MavProtoPosData_t, northSpd) == 64);
static_assert(offsetof(MavProtoPosData_t, ekfNorthLine) == 76);
static_assert(offsetof(MavProtoPosData_t, ekfNorthSpd) == 100);
static_assert(offsetof(MavProtoPosData_t, rtkYaw) == 112);
static_assert(offsetof(MavProtoPosData_t, posSatNum) == 116);
static_assert(offsetof(MavProtoPosData_t, rtkSatNum) == 117);

struct MavProtoTargetStabilizeData_t {
    double targetPosN;  // m
    double targetPosE;
    double targetAlt;
    float targetVelN;  // m/s
    float targetVelE;
    float targetVelZ;
    float targetRoll;  // degrees
    float targetPitch;
    float targetYaw;
    float targetGyrox;  // deg/s
    float targetGyroy;
    float targetGyroz;
    float rollServoOut;
    float pitchServoOut;
    float yawServoOut;
    float throttleServoOut;
    float res0;
    float res1;
};
static_assert(sizeof(MavProtoTargetStabilizeData_t) == 84);
static_assert(offsetof(MavProtoTargetStabilizeData_t, targetVelN) == 24);
static_assert(offsetof(MavProtoTargetStabilizeData_t, targetRoll) == 36);
static_assert(offsetof(MavProtoTargetStabilizeData_t, targetGyrox) == 48);
static_assert(offsetof(MavProtoTargetStabilizeData_t, rollServoOut) == 60);
static_assert(offsetof(MavProtoTargetStabilizeData_t, throttleServoOut) == 72);
static_assert(offsetof(MavProtoTargetStabilizeData_t, res0) == 76);

constexpr int MAVPROTO_RC_MOTOR_COUNT = 16;

struct MavProtoRCData_t {
    uint16_t rcAil;
    uint16_t rcEle;
    uint16_t rcThr;
    uint16_t rcRud;
    uint16_t rcMode;
    uint16_t rcAux1;
    uint16_t rcAux2;
    uint16_t rcAux3;
    uint16_t motorOutput[MAVPROTO_RC_MOTOR_COUNT];
};
static_assert(sizeof(MavProtoRCData_t) == 48);
static_assert(offsetof(MavProtoRCData_t, rcMode) == 8);
static_assert(offsetof(MavProtoRCData_t, rcAux3) == 14);
static_assert(offsetof(MavProtoRCData_t, motorOutput) == 16);

struct _MavProtoFlightStatusData_t {
    uint8_t flightMode;
    uint8_t flightState;
    uint8_t packedState;  // see encodeComprehensiveStateByte
    uint8_t rcState;
    uint8_t positionState;
    uint8_t headingState;
    uint8_t linkState;
    uint8_t armedState;
    uint8_t batteryState;
    float fcuVol;  // V
    uint8_t workState;
    uint8_t imuSensorState;
    uint8_t headingSensorState;
    uint8_t gnssHdop;  // tenths
    uint8_t gnssVdop;  // tenths
    uint16_t gnssPositionState;
    uint8_t integratedNavigationState;
    uint8_t emergencyProtect;
    uint32_t totalFlightTime;  // seconds
    uint32_t currentFlightTime;
    uint32_t surplusFlightTime;
    uint16_t takeoffCheck;  // bit set, see the flight status item
};
using MavProtoFlightStatusData_t = _MavProtoFlightStatusData_t;
static_assert(sizeof(_MavProtoFlightStatusData_t) == 36);
static_assert(offsetof(_MavProtoFlightStatusData_t, rcState) == 3);
static_assert(offsetof(_MavProtoFlightStatusData_t, batteryState) == 8);
static_assert(offsetof(_MavProtoFlightStatusData_t, fcuVol) == 9);
static_assert(offsetof(_MavProtoFlightStatusData_t, workState) == 13);
static_assert(offsetof(_MavProtoFlightStatusData_t, gnssPositionState) == 18);
static_assert(offsetof(_MavProtoFlightStatusData_t, integratedNavigationState) == 20);
static_assert(offsetof(_MavProtoFlightStatusData_t, totalFlightTime) == 22);
static_assert(offsetof(_MavProtoFlightStatusData_t, surplusFlightTime) == 30);
static_assert(offsetof(_MavProtoFlightStatusData_t, takeoffCheck) == 34);

constexpr int MAVPROTO_RES_VALUE_COUNT = 30;

struct MavProtoResData_t {
    float res[MAVPROTO_RES_VALUE_COUNT];
};
static_assert(sizeof(MavProtoResData_t) == 120);

// The six state bytes in flight status record order.
struct MavProtoComprehensiveStateBits_t {
    uint8_t rcState;
    uint8_t positionState;
    uint8_t headingState;
    uint8_t linkState;
    uint8_t armedState;
    uint8_t batteryState;
};
static_assert(sizeof(MavProtoComprehensiveStateBits_t) == 6);

constexpr int MAVPROTO_COMPREHENSIVE_MOTOR_COUNT = 10;

struct MavProtoComprehensiveData_t {
    float roll;
    float pitch;
    float yaw;
    float presAlt;
    double lat;
    double lon;
    double alt;
    double rtkNorthLine;
    double rtkEastLine;
    double rtkUpLine;
    float northSpd;
    float eastSpd;
    float upSpd;
    uint8_t posSatNum;
    double targetPosN;
    double targetPosE;
    double targetAlt;
    float targetVelN;
    float targetVelE;
    float targetVelZ;
    float targetRoll;
    float targetPitch;
    float targetYaw;
    uint16_t rcAil;
    uint16_t rcEle;
    uint16_t rcThr;
    uint16_t rcRud;
    uint16_t rcMode;
    uint16_t motorOutput[MAVPROTO_COMPREHENSIVE_MOTOR_COUNT];
    uint8_t flightMode;
    uint8_t flightState;
    MavProtoComprehensiveStateBits_t states;
    float fcuVol;
};
static_assert(sizeof(MavProtoComprehensiveData_t) == 167);
static_assert(offsetof(MavProtoComprehensiveData_t, lat) == 16);
static_assert(offsetof(MavProtoComprehensiveData_t, northSpd) == 64);
static_assert(offsetof(MavProtoComprehensiveData_t, posSatNum) == 76);
static_assert(offsetof(MavProtoComprehensiveData_t, targetPosN) == 77);
static_assert(offsetof(MavProtoComprehensiveData_t, targetVelN) == 101);
static_assert(offsetof(MavProtoComprehensiveData_t, targetYaw) == 121);
static_assert(offsetof(MavProtoComprehensiveData_t, rcAil) == 125);
static_assert(offsetof(MavProtoComprehensiveData_t, motorOutput) == 135);
static_assert(offsetof(MavProtoComprehensiveData_t, flightMode) == 155);
static_assert(offsetof(MavProtoComprehensiveData_t, states) == 157);
static_assert(offsetof(MavProtoComprehensiveData_t, fcuVol) == 163);

#pragma pack(pop)

class MavProtoTeleProcesser {
public:
    static uint8_t encodeComprehensiveStateByte(const MavProtoComprehensiveStateBits_t& states);

    // Decoders. Each copies the record out of the frame's data; a frame too short leaves the
    // missing tail zero and returns false. The command byte is not checked: callers dispatch on it.
    static bool parseAhrsData(const _MavPFrame_t& frame, MavProtoAhrsData_t& data);
    static bool parsePosData(const _MavPFrame_t& frame, MavProtoPosData_t& data);
    static bool parseTargetStabilizeData(const _MavPFrame_t& frame, MavProtoTargetStabilizeData_t& data);
    static bool parseRCData(const _MavPFrame_t& frame, MavProtoRCData_t& data);
    static bool parseFlightStatusData(const _MavPFrame_t& frame, _MavProtoFlightStatusData_t& data);
    static bool parseResData(const _MavPFrame_t& frame, MavProtoResData_t& data);
    static bool parseComprehensiveData(const _MavPFrame_t& frame, MavProtoComprehensiveData_t& data);

    // Station side: the periodic request, from 0x81 to the vehicle, seq 0, no data.
    static uint16_t packRequestAllTelePFrame(_MavPFrame_t& frame, uint8_t vehicleId);

    // Vehicle side: one telemetry answer from vehicleId to 0x81. Each returns the wire size.
    static uint16_t packAhrsDataPFrame(_MavPFrame_t& frame, uint8_t vehicleId, uint8_t seq,
                                       const MavProtoAhrsData_t& data);
    static uint16_t packPosDataPFrame(_MavPFrame_t& frame, uint8_t vehicleId, uint8_t seq,
                                      const MavProtoPosData_t& data);
    static uint16_t packTargetStabilizeDataPFrame(_MavPFrame_t& frame, uint8_t vehicleId, uint8_t seq,
                                                  const MavProtoTargetStabilizeData_t& data);
    static uint16_t packRCDataPFrame(_MavPFrame_t& frame, uint8_t vehicleId, uint8_t seq, const MavProtoRCData_t& data);
    static uint16_t packFlightStatusDataPFrame(_MavPFrame_t& frame, uint8_t vehicleId, uint8_t seq,
                                               const _MavProtoFlightStatusData_t& data);
    static uint16_t packResDataPFrame(_MavPFrame_t& frame, uint8_t vehicleId, uint8_t seq,
                                      const MavProtoResData_t& data);
    static uint16_t packComprehensiveDataPFrame(_MavPFrame_t& frame, uint8_t vehicleId, uint8_t seq,
                                                const MavProtoComprehensiveData_t& data);
};
