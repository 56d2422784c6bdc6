#pragma once
// What one simulated vehicle keeps in its flash: the six parameter groups in natural units and
// its vehicle code. The values are always ones the wire carries exactly (defaults and file
// entries are passed through the wire scaling once), so a read reply decodes to them bit for bit.
//
// The simulator's own limits, checked on every write and on every file entry (the wire ranges
// are wider; the vehicle is stricter, like a real autopilot):
//   basic      ahrsX/Y/Z -1..1 m, gpsX/Y/Z -10..10 m, vol1/vol2 0..60 V, mavType a known airframe
//              code (1..9, 0x20..0x22, 0x30, 0x40..0x42, 0x50, 0x51), the strategy, mode and
//              protect bytes 0..3, maxFlyAlt 10..5000 m, maxHorDistance 0..30000 m, maxHorSpeed
//              1..30 m/s, maxVerSpeed 0.5..10 m/s, circleRadius 0..1000 m, vehicleId 1..254 but
//              not 129 (the station's), accelCutoffFreqHz 5..100, angularRateCutoffFreqHz 5..200,
//              dualAntennaInstallAngleDeg -180..180, lithiumBatteryCellCount 1..14,
//              returnAltitudeM 0..5000 m, yawRateLimitDegS 5..360, pitchRollMaxAngleLimitDeg
//              5..60, reservedParam3 any
//   attitude   angle P 0..20, angle I 0..10, angle D and feed-forward 0..2, rate P and I 0..2,
//              rate D 0..0.5
//   position   position and velocity P 0..20, I 0..10, D and feed-forward 0..2
//   reserved   anything the wire carries (their meaning is not the simulator's)
// The version characters are the firmware's: a write cannot change them.
//
// File form (one entry of the --params-file "vehicles" object): an object with the members
// "basic", "stab", "pos", "fixedStab", "fixedPos" and "res", each an object of the record's
// field names (the version as a string), and "code" (a string). Missing members keep their
// defaults; an unknown member, a value of the wrong type or one outside the limits is an error.

#include "MavProtoParamsRecords.h"

#include <QJsonObject>
#include <QString>

#include <string>

struct SimParams {
    MavProtoBasicParams_t basic;
    MavProtoStabilizeCtrlParams_t stab{};
    MavProtoPosCtrlParams_t pos{};
    MavProtoFixedStabilizeCtrlParams_t fixedStab{};
    MavProtoFixedPosCtrlParams_t fixedPos{};
    MavProtoResParams_t res{};
    std::string code;  // empty: no code set

    static constexpr char kVersion[] = "V2.1.0";

    // A fresh vehicle: a 6S quadcopter with firmware kVersion, flying under vehicleId.
    static SimParams defaults(uint8_t vehicleId, const std::string& code = {});

    // Empty when the simulator accepts the group, else the first refused field and its limits.
    static QString check(const MavProtoBasicParams_t& basic);
    static QString check(const MavProtoStabilizeCtrlParams_t& gains);
    static QString check(const MavProtoPosCtrlParams_t& gains);
    static QString check(const MavProtoResParams_t& res);
    // A vehicle code the simulator can store: at most 20 printable ASCII characters.
    static bool validCode(const std::string& code);

    QJsonObject toJson() const;
    // Reads a file entry over the current values and checks the result; on failure returns
    // false with the reason and leaves this record as it was.
    bool readJson(const QJsonObject& entry, QString& error);

    bool operator==(const SimParams& other) const;
    bool operator!=(const SimParams& other) const { return !(*this == other); }
};
