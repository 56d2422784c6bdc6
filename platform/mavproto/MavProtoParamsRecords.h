#pragma once
// Parameter groups: the natural-unit records the station edits, and the integer wire forms the
// vehicle stores. MavProtoParamsProcesser converts between them; the scaling of every field is
// listed beside its wire field below. A wire value is natural value / LSB, rounded to nearest
// (halves away from zero); a natural value whose rounded count falls outside the wire integer,
// or that is NaN or infinite, cannot be sent.
//
// Fields without a scale column are integers that travel unchanged.

#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)

// ---- Natural-unit records ------------------------------------------------------------------

// Basic group (command 0x01), 79 bytes. A fresh record holds the values a vehicle starts with
// before its first read: link protection 3, yaw rate limit 30 deg/s, tilt limit 25 deg, all
// else 0 (version characters included).
struct MavProtoBasicParams_t {
    float ahrsX = 0;  // IMU offset from the centre of gravity, m
    float ahrsY = 0;
    float ahrsZ = 0;
    float gpsX = 0;  // GNSS antenna offset, m
    float gpsY = 0;
    float gpsZ = 0;
    float vol1 = 0;  // battery voltage thresholds, V
    float vol2 = 0;
    uint8_t mavType = 0;  // airframe type code
    char version[6] = {0, 0, 0, 0, 0, 0};  // firmware version, Latin-1, no terminator
    uint8_t lowPowerProteStrategy = 0;
    uint16_t maxFlyAlt = 0;  // m
    uint16_t maxHorDistance = 0;  // m
    float maxHorSpeed = 0;  // m/s
    float maxVerSpeed = 0;  // m/s
    uint8_t workMode = 0;
    uint8_t protocolType = 0;
    float circleRadius = 0;  // m
    uint8_t linkProteStrategy = 3;
    uint8_t lowPowerProteStrategy2 = 0;
    uint8_t vehicleId = 0;
    uint8_t accelCutoffFreqHz = 0;
    uint8_t angularRateCutoffFreqHz = 0;
    float dualAntennaInstallAngleDeg = 0;
    uint8_t lithiumBatteryCellCount = 0;
    float returnAltitudeM = 0;
    uint8_t rcSignalAbnormalProtect = 0;
    int16_t yawRateLimitDegS = 30;
    int16_t pitchRollMaxAngleLimitDeg = 25;
    int16_t reservedParam3 = 0;
};
static_assert(sizeof(MavProtoBasicParams_t) == 79);
static_assert(offsetof(MavProtoBasicParams_t, mavType) == 32);
static_assert(offsetof(MavProtoBasicParams_t, version) == 33);
static_assert(offsetof(MavProtoBasicParams_t, maxFlyAlt) == 40);
static_assert(offsetof(MavProtoBasicParams_t, maxHorSpeed) == 44);
static_assert(offsetof(MavProtoBasicParams_t, circleRadius) == 54);
static_assert(offsetof(MavProtoBasicParams_t, vehicleId) == 60);
static_assert(offsetof(MavProtoBasicParams_t, dualAntennaInstallAngleDeg) == 63);
static_assert(offsetof(MavProtoBasicParams_t, returnAltitudeM) == 68);
static_assert(offsetof(MavProtoBasicParams_t, yawRateLimitDegS) == 73);
static_assert(offsetof(MavProtoBasicParams_t, reservedParam3) == 77);

// Attitude gains (multirotor 0x02, fixed-wing 0x04), 80 bytes: angle loop, feed-forward, rate loop.
struct MavProtoStabilizeCtrlParams_t {
    float rollP, pitchP, yawP;
    float rollI, pitchI, yawI;
    float rollD, pitchD, yawD;
    float rpKf, yawKf;
    float rollRateP, pitchRateP, yawRateP;
    float rollRateI, pitchRateI, yawRateI;
    float rollRateD, pitchRateD, yawRateD;
};
using MavProtoFixedStabilizeCtrlParams_t = MavProtoStabilizeCtrlParams_t;
static_assert(sizeof(MavProtoStabilizeCtrlParams_t) == 80);
static_assert(offsetof(MavProtoStabilizeCtrlParams_t, rpKf) == 36);
static_assert(offsetof(MavProtoStabilizeCtrlParams_t, yawRateD) == 76);

// Position gains (multirotor 0x03, fixed-wing 0x05), 80 bytes: position loop, feed-forward,
// velocity loop.
struct MavProtoPosCtrlParams_t {
    float posXP, posYP, posZP;
    float posXI, posYI, posZI;
    float posXD, posYD, posZD;
    float posHKf, posVKf;
    float velXP, velYP, velZP;
    float velXI, velYI, velZI;
    float velXD, velYD, velZD;
};
using MavProtoFixedPosCtrlParams_t = MavProtoPosCtrlParams_t;
static_assert(sizeof(MavProtoPosCtrlParams_t) == 80);
static_assert(offsetof(MavProtoPosCtrlParams_t, posHKf) == 36);
static_assert(offsetof(MavProtoPosCtrlParams_t, velZD) == 76);

// Reserved parameters (0x0F), 160 bytes; their meaning is the vehicle's.
struct MavProtoResParams_t {
    float res0, res1, res2, res3, res4, res5, res6, res7, res8, res9;
    float res10, res11, res12, res13, res14, res15, res16, res17, res18, res19;
    double res20, res21, res22, res23, res24, res25, res26, res27, res28, res29;
};
static_assert(sizeof(MavProtoResParams_t) == 160);
static_assert(offsetof(MavProtoResParams_t, res19) == 76);
static_assert(offsetof(MavProtoResParams_t, res20) == 80);
static_assert(offsetof(MavProtoResParams_t, res29) == 152);

// ---- Wire forms ------------------------------------------------------------------------------

// Basic group, 48 bytes.
//   off  field                       wire  LSB       range
//    0   ahrsX, ahrsY, ahrsZ         i8    0.01 m    -1.28 .. 1.27 m
//    3   gpsX, gpsY, gpsZ            i16   0.001 m   -32.768 .. 32.767 m
//    9   vol1, vol2                  u16   0.01 V    0 .. 655.35 V
//   13   mavType                     u8
//   14   version                     6 characters
//   20   lowPowerProteStrategy       u8
//   21   maxFlyAlt, maxHorDistance   u16   1 m
//   25   maxHorSpeed                 u8    0.5 m/s   0 .. 127.5 m/s
//   26   maxVerSpeed                 u8    0.1 m/s   0 .. 25.5 m/s
//   27   workMode, protocolType      u8
//   29   circleRadius                u16   0.1 m     0 .. 6553.5 m
//   31   linkProteStrategy, lowPowerProteStrategy2, vehicleId, accelCutoffFreqHz,
//        angularRateCutoffFreqHz     u8
//   36   dualAntennaInstallAngleDeg  i16   0.01 deg  -327.68 .. 327.67 deg
//   38   lithiumBatteryCellCount     u8
//   39   returnAltitudeM             u16   0.1 m     0 .. 6553.5 m
//   41   rcSignalAbnormalProtect     u8
//   42   yawRateLimitDegS, pitchRollMaxAngleLimitDeg, reservedParam3   i16
// The IMU sits near the centre of gravity, so its offsets get one byte each; the GNSS antenna
// can be far out on a large airframe.
struct MavProtoBasicParamsWire_t {
    int8_t ahrsXCm;
    int8_t ahrsYCm;
    int8_t ahrsZCm;
    int16_t gpsXMm;
    int16_t gpsYMm;
    int16_t gpsZMm;
    uint16_t vol1CentiV;
    uint16_t vol2CentiV;
    uint8_t mavType;
    char version[6];
    uint8_t lowPowerProteStrategy;
    uint16_t maxFlyAlt;
    uint16_t maxHorDistance;
    uint8_t maxHorSpeedHalfMs;
    uint8_t maxVerSpeedDeciMs;
    uint8_t workMode;
    uint8_t protocolType;
    uint16_t circleRadiusDm;
    uint8_t linkProteStrategy;
    uint8_t lowPowerProteStrategy2;
    uint8_t vehicleId;
    uint8_t accelCutoffFreqHz;
    uint8_t angularRateCutoffFreqHz;
    int16_t dualAntennaInstallAngleCentiDeg;
    uint8_t lithiumBatteryCellCount;
    uint16_t returnAltitudeDm;
    uint8_t rcSignalAbnormalProtect;
    int16_t yawRateLimitDegS;
    int16_t pitchRollMaxAngleLimitDeg;
    int16_t reservedParam3;
};
static_assert(sizeof(MavProtoBasicParamsWire_t) == 48);
static_assert(offsetof(MavProtoBasicParamsWire_t, gpsXMm) == 3);
static_assert(offsetof(MavProtoBasicParamsWire_t, vol1CentiV) == 9);
static_assert(offsetof(MavProtoBasicParamsWire_t, version) == 14);
static_assert(offsetof(MavProtoBasicParamsWire_t, maxFlyAlt) == 21);
static_assert(offsetof(MavProtoBasicParamsWire_t, maxHorSpeedHalfMs) == 25);
static_assert(offsetof(MavProtoBasicParamsWire_t, circleRadiusDm) == 29);
static_assert(offsetof(MavProtoBasicParamsWire_t, vehicleId) == 33);
static_assert(offsetof(MavProtoBasicParamsWire_t, dualAntennaInstallAngleCentiDeg) == 36);
static_assert(offsetof(MavProtoBasicParamsWire_t, returnAltitudeDm) == 39);
static_assert(offsetof(MavProtoBasicParamsWire_t, yawRateLimitDegS) == 42);

// Attitude gains, 40 bytes: the 20 fields of MavProtoStabilizeCtrlParams_t in the same order,
// each u16 (gains are never negative):
//   rollP pitchP yawP, rollI pitchI yawI           LSB 0.001    0 .. 65.535
//   rollD pitchD yawD, rpKf yawKf                  LSB 0.0001   0 .. 6.5535
//   rollRateP.. yawRateP, rollRateI .. yawRateI    LSB 0.0001   0 .. 6.5535
//   rollRateD pitchRateD yawRateD                  LSB 0.00001  0 .. 0.65535
// Rate-loop gains are small (tenths for P and I, thousandths for D), so they get the finer steps.
struct MavProtoAttitudeGainWire_t {
    uint16_t gain[20];
};
static_assert(sizeof(MavProtoAttitudeGainWire_t) == 40);

// Position gains, 40 bytes: the 20 fields of MavProtoPosCtrlParams_t in the same order, each u16:
//   posXP posYP posZP, posXI posYI posZI           LSB 0.001    0 .. 65.535
//   posXD posYD posZD, posHKf posVKf               LSB 0.0001   0 .. 6.5535
//   velXP velYP velZP, velXI velYI velZI           LSB 0.001    0 .. 65.535
//   velXD velYD velZD                              LSB 0.0001   0 .. 6.5535
struct MavProtoPositionGainWire_t {
    uint16_t gain[20];
};
static_assert(sizeof(MavProtoPositionGainWire_t) == 40);

// Reserved parameters, 80 bytes:
//    0   res0 .. res19    i16   LSB 0.01    -327.68 .. 327.67
//   40   res20 .. res29   i32   LSB 0.001   -2147483.648 .. 2147483.647
// The station shows these with two decimals; the wide ones keep one digit more.
struct MavProtoResParamsWire_t {
    int16_t narrow[20];
    int32_t wide[10];
};
static_assert(sizeof(MavProtoResParamsWire_t) == 80);
static_assert(offsetof(MavProtoResParamsWire_t, wide) == 40);

// Acknowledgement of a calibration step: result, then the step the vehicle acted on.
struct MavProtoCaliAck_t {
    uint8_t result;
    uint8_t step;
};
static_assert(sizeof(MavProtoCaliAck_t) == 2);

#pragma pack(pop)

// Calibration steps travel as one byte. Only the start and the final step mean something to the
// station; the vehicle gives the steps in between their meaning (e.g. one per orientation).
enum MavProtoAccMeterCalibrateStep : uint8_t {
    MAVPROTO_ACC_CALI_STEP_START = 1,
    MAVPROTO_ACC_CALI_STEP_FINAL = 8,
};
enum MavProtoMagCompassCalibrateStep : uint8_t {
    MAVPROTO_MAG_CALI_STEP_START = 1,
    MAVPROTO_MAG_CALI_STEP_FINAL = 4,
};

constexpr unsigned MAVPROTO_VEHICLE_CODE_LEN = 20;
