#include "MavProtoParamsProcesser.h"

#include "MavProtoHelper.h"

#include <array>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <type_traits>

namespace {

constexpr size_t kGainCount = 20;

// Counts per natural unit of each gain, in record order (see MavProtoParamsRecords.h).
constexpr std::array<double, kGainCount> kAttitudeGainScale = {
    1e3, 1e3, 1e3,  // angle P
    1e3, 1e3, 1e3,  // angle I
    1e4, 1e4, 1e4,  // angle D
    1e4, 1e4,  // feed-forward
    1e4, 1e4, 1e4,  // rate P
    1e4, 1e4, 1e4,  // rate I
    1e5, 1e5, 1e5,  // rate D
};
constexpr std::array<double, kGainCount> kPositionGainScale = {
    1e3, 1e3, 1e3,  // position P
    1e3, 1e3, 1e3,  // position I
    1e4, 1e4, 1e4,  // position D
    1e4, 1e4,  // feed-forward
    1e3, 1e3, 1e3,  // velocity P
    1e3, 1e3, 1e3,  // velocity I
    1e4, 1e4, 1e4,  // velocity D
};
constexpr double kResNarrowScale = 1e2;
constexpr double kResWideScale = 1e3;
constexpr size_t kResNarrowCount = 20;
constexpr size_t kResWideCount = 10;

static_assert(sizeof(MavProtoStabilizeCtrlParams_t) == kGainCount * sizeof(float));
static_assert(sizeof(MavProtoPosCtrlParams_t) == kGainCount * sizeof(float));
static_assert(offsetof(MavProtoResParams_t, res20) == kResNarrowCount * sizeof(float));

// Collects the outcome of a series of conversions, so one failed field fails the record.
struct Scaler {
    bool ok = true;

    template <typename Int>
    Int to(double natural, double countsPerUnit)
    {
        if (!std::isfinite(natural)) {
            ok = false;
            return 0;
        }
        const double counts = std::round(natural * countsPerUnit);
        if (counts < double(std::numeric_limits<Int>::min()) || counts > double(std::numeric_limits<Int>::max())) {
            ok = false;
            return 0;
        }
        return static_cast<Int>(counts);
    }
};

template <typename Int>
float fromCounts(Int counts, double countsPerUnit)
{
    return float(double(counts) / countsPerUnit);
}

template <typename Natural, typename Wire>
bool gainsToWire(const Natural& params, Wire& wire, const std::array<double, kGainCount>& scale)
{
    float values[kGainCount];
    std::memcpy(values, &params, sizeof(values));
    Wire out{};
    Scaler s;
    for (size_t i = 0; i < kGainCount; ++i)
        out.gain[i] = s.to<uint16_t>(values[i], scale[i]);
    if (!s.ok)
        return false;
    wire = out;
    return true;
}

template <typename Natural, typename Wire>
void gainsFromWire(const Wire& wire, Natural& params, const std::array<double, kGainCount>& scale)
{
    float values[kGainCount];
    for (size_t i = 0; i < kGainCount; ++i)
        values[i] = fromCounts(wire.gain[i], scale[i]);
    std::memcpy(&params, values, sizeof(values));
}

bool isCodeChar(char c)
{
    return c >= 0x20 && c <= 0x7E;
}

bool validCodeText(const std::string& code)
{
    if (code.size() > MAVPROTO_VEHICLE_CODE_LEN)
        return false;
    for (char c : code) {
        if (!isCodeChar(c))
            return false;
    }
    return true;
}

std::vector<uint8_t> codeBytes(const std::string& code)
{
    std::vector<uint8_t> bytes(MAVPROTO_VEHICLE_CODE_LEN, 0);
    std::memcpy(bytes.data(), code.data(), code.size());
    return bytes;
}

// The text before the first NUL of 20 code bytes; false when it holds a non-printable byte.
bool codeFromData(const _MavPFrame_t& frame, uint8_t cmd, std::string& code)
{
    if (frame.cmd != cmd || frame.data.size() != MAVPROTO_VEHICLE_CODE_LEN)
        return false;
    std::string text;
    for (uint8_t b : frame.data) {
        if (b == 0)
            break;
        if (!isCodeChar(char(b)))
            return false;
        text.push_back(char(b));
    }
    code = std::move(text);
    return true;
}

uint16_t packFrom(_MavPFrame_t& frame, uint8_t txId, uint8_t rxId, uint8_t seq, uint8_t cmd,
                  const std::vector<uint8_t>& data = {})
{
    MavProtoHelper::packMavProtoFrame(frame, txId, rxId, seq, cmd, data);
    return uint16_t(data.size() + MAVPROTO_FRAME_OVERHEAD);
}

uint16_t packGcs(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq, uint8_t cmd, const std::vector<uint8_t>& data = {})
{
    return packFrom(frame, MAVPROTO_GCS_ID, rxId, seq, cmd, data);
}

uint16_t packVehicle(_MavPFrame_t& frame, uint8_t vehicleId, uint8_t seq, uint8_t cmd, const std::vector<uint8_t>& data)
{
    return packFrom(frame, vehicleId, MAVPROTO_GCS_ID, seq, cmd, data);
}

// The wire record each group's command carries (the fixed-wing gains share the multirotor forms).
template <uint8_t Cmd>
using GroupWire = std::conditional_t<
    Cmd == MavCmd::BasicParams, MavProtoBasicParamsWire_t,
    std::conditional_t<Cmd == MavCmd::ResParams, MavProtoResParamsWire_t,
                       std::conditional_t<Cmd == MavCmd::AttitudeParams || Cmd == MavCmd::FixedAttitudeParams,
                                          MavProtoAttitudeGainWire_t, MavProtoPositionGainWire_t>>>;

// Record -> wire -> frame of Cmd, or 0 when a natural record does not convert; a wire record
// goes as it is. The station's writes and the vehicle's read replies differ only in who sends.
template <uint8_t Cmd, typename Record>
uint16_t packGroup(_MavPFrame_t& frame, uint8_t txId, uint8_t rxId, uint8_t seq, const Record& record)
{
    GroupWire<Cmd> wire{};
    if constexpr (std::is_same_v<Record, GroupWire<Cmd>>)
        wire = record;
    else if (!MavProtoParamsProcesser::toWire(record, wire))
        return 0;
    return packFrom(frame, txId, rxId, seq, Cmd, MavProtoHelper::recordBytes(wire));
}

// Frame of Cmd with exactly one wire record -> natural record; untouched output otherwise. The
// station's read replies and the vehicle's write requests carry the same record.
template <uint8_t Cmd, typename Natural>
bool parseGroup(const _MavPFrame_t& frame, Natural& params)
{
    using Wire = GroupWire<Cmd>;
    if (frame.cmd != Cmd || frame.data.size() != sizeof(Wire))
        return false;
    Wire wire{};
    MavProtoHelper::readRecord(frame, wire);
    MavProtoParamsProcesser::fromWire(wire, params);
    return true;
}

bool parseCaliAck(const _MavPFrame_t& frame, uint8_t cmd, MavProtoCaliAck_t& ack)
{
    if (frame.cmd != cmd)
        return false;
    const bool whole = MavProtoHelper::readRecord(frame, ack);
    ack.result = MavProtoHelper::parseMavProtoFrameResult(frame);
    return whole && frame.data.size() == sizeof(MavProtoCaliAck_t);
}

bool parseCaliStep(const _MavPFrame_t& frame, uint8_t cmd, uint8_t& step)
{
    if (frame.cmd != cmd || frame.data.size() != 1)
        return false;
    step = frame.data[0];
    return true;
}

}  // namespace

// ---- Conversion -----------------------------------------------------------------------------

bool MavProtoParamsProcesser::toWire(const MavProtoBasicParams_t& p, MavProtoBasicParamsWire_t& wire)
{
    MavProtoBasicParamsWire_t w{};
    Scaler s;
    w.ahrsXCm = s.to<int8_t>(p.ahrsX, 1e2);
    w.ahrsYCm = s.to<int8_t>(p.ahrsY, 1e2);
    w.ahrsZCm = s.to<int8_t>(p.ahrsZ, 1e2);
    w.gpsXMm = s.to<int16_t>(p.gpsX, 1e3);
    w.gpsYMm = s.to<int16_t>(p.gpsY, 1e3);
    w.gpsZMm = s.to<int16_t>(p.gpsZ, 1e3);
    w.vol1CentiV = s.to<uint16_t>(p.vol1, 1e2);
    w.vol2CentiV = s.to<uint16_t>(p.vol2, 1e2);
    w.mavType = p.mavType;
    std::memcpy(w.version, p.version, sizeof(w.version));
    w.lowPowerProteStrategy = p.lowPowerProteStrategy;
    w.maxFlyAlt = p.maxFlyAlt;
    w.maxHorDistance = p.maxHorDistance;
    w.maxHorSpeedHalfMs = s.to<uint8_t>(p.maxHorSpeed, 2.0);
    w.maxVerSpeedDeciMs = s.to<uint8_t>(p.maxVerSpeed, 1e1);
    w.workMode = p.workMode;
    w.protocolType = p.protocolType;
    w.circleRadiusDm = s.to<uint16_t>(p.circleRadius, 1e1);
    w.linkProteStrategy = p.linkProteStrategy;
    w.lowPowerProteStrategy2 = p.lowPowerProteStrategy2;
    w.vehicleId = p.vehicleId;
    w.accelCutoffFreqHz = p.accelCutoffFreqHz;
    w.angularRateCutoffFreqHz = p.angularRateCutoffFreqHz;
    w.dualAntennaInstallAngleCentiDeg = s.to<int16_t>(p.dualAntennaInstallAngleDeg, 1e2);
    w.lithiumBatteryCellCount = p.lithiumBatteryCellCount;
    w.returnAltitudeDm = s.to<uint16_t>(p.returnAltitudeM, 1e1);
    w.rcSignalAbnormalProtect = p.rcSignalAbnormalProtect;
    w.yawRateLimitDegS = p.yawRateLimitDegS;
    w.pitchRollMaxAngleLimitDeg = p.pitchRollMaxAngleLimitDeg;
    w.reservedParam3 = p.reservedParam3;
    if (!s.ok)
        return false;
    wire = w;
    return true;
}

void MavProtoParamsProcesser::fromWire(const MavProtoBasicParamsWire_t& w, MavProtoBasicParams_t& p)
{
    p.ahrsX = fromCounts(w.ahrsXCm, 1e2);
    p.ahrsY = fromCounts(w.ahrsYCm, 1e2);
    p.ahrsZ = fromCounts(w.ahrsZCm, 1e2);
    p.gpsX = fromCounts(w.gpsXMm, 1e3);
    p.gpsY = fromCounts(w.gpsYMm, 1e3);
    p.gpsZ = fromCounts(w.gpsZMm, 1e3);
    p.vol1 = fromCounts(w.vol1CentiV, 1e2);
    p.vol2 = fromCounts(w.vol2CentiV, 1e2);
    p.mavType = w.mavType;
    std::memcpy(p.version, w.version, sizeof(p.version));
    p.lowPowerProteStrategy = w.lowPowerProteStrategy;
    p.maxFlyAlt = w.maxFlyAlt;
    p.maxHorDistance = w.maxHorDistance;
    p.maxHorSpeed = fromCounts(w.maxHorSpeedHalfMs, 2.0);
    p.maxVerSpeed = fromCounts(w.maxVerSpeedDeciMs, 1e1);
    p.workMode = w.workMode;
    p.protocolType = w.protocolType;
    p.circleRadius = fromCounts(w.circleRadiusDm, 1e1);
    p.linkProteStrategy = w.linkProteStrategy;
    p.lowPowerProteStrategy2 = w.lowPowerProteStrategy2;
    p.vehicleId = w.vehicleId;
    p.accelCutoffFreqHz = w.accelCutoffFreqHz;
    p.angularRateCutoffFreqHz = w.angularRateCutoffFreqHz;
    p.dualAntennaInstallAngleDeg = fromCounts(w.dualAntennaInstallAngleCentiDeg, 1e2);
    p.lithiumBatteryCellCount = w.lithiumBatteryCellCount;
    p.returnAltitudeM = fromCounts(w.returnAltitudeDm, 1e1);
    p.rcSignalAbnormalProtect = w.rcSignalAbnormalProtect;
    p.yawRateLimitDegS = w.yawRateLimitDegS;
    p.pitchRollMaxAngleLimitDeg = w.pitchRollMaxAngleLimitDeg;
    p.reservedParam3 = w.reservedParam3;
}

bool MavProtoParamsProcesser::toWire(const MavProtoStabilizeCtrlParams_t& params, MavProtoAttitudeGainWire_t& wire)
{
    return gainsToWire(params, wire, kAttitudeGainScale);
}

bool MavProtoParamsProcesser::toWire(const MavProtoPosCtrlParams_t& params, MavProtoPositionGainWire_t& wire)
{
    return gainsToWire(params, wire, kPositionGainScale);
}

void MavProtoParamsProcesser::fromWire(const MavProtoAttitudeGainWire_t& wire, MavProtoStabilizeCtrlParams_t& params)
{
    gainsFromWire(wire, params, kAttitudeGainScale);
}

void MavProtoParamsProcesser::fromWire(const MavProtoPositionGainWire_t& wire, MavProtoPosCtrlParams_t& params)
{
    gainsFromWire(wire, params, kPositionGainScale);
}

bool MavProtoParamsProcesser::toWire(const MavProtoResParams_t& params, MavProtoResParamsWire_t& wire)
{
    float narrow[kResNarrowCount];
    double wide[kResWideCount];
    const auto* raw = reinterpret_cast<const unsigned char*>(&params);
    std::memcpy(narrow, raw, sizeof(narrow));
    std::memcpy(wide, raw + offsetof(MavProtoResParams_t, res20), sizeof(wide));
    MavProtoResParamsWire_t out{};
    Scaler s;
    for (size_t i = 0; i < kResNarrowCount; ++i)
        out.narrow[i] = s.to<int16_t>(narrow[i], kResNarrowScale);
    for (size_t i = 0; i < kResWideCount; ++i)
        out.wide[i] = s.to<int32_t>(wide[i], kResWideScale);
    if (!s.ok)
        return false;
    wire = out;
    return true;
}

void MavProtoParamsProcesser::fromWire(const MavProtoResParamsWire_t& wire, MavProtoResParams_t& params)
{
    float narrow[kResNarrowCount];
    double wide[kResWideCount];
    for (size_t i = 0; i < kResNarrowCount; ++i)
        narrow[i] = fromCounts(wire.narrow[i], kResNarrowScale);
    for (size_t i = 0; i < kResWideCount; ++i)
        wide[i] = double(wire.wide[i]) / kResWideScale;
    auto* raw = reinterpret_cast<unsigned char*>(&params);
    std::memcpy(raw, narrow, sizeof(narrow));
    std::memcpy(raw + offsetof(MavProtoResParams_t, res20), wide, sizeof(wide));
}

uint16_t MavProtoParamsProcesser::readReplyDataLen(uint8_t cmd)
{
    switch (cmd) {
    case MavCmd::BasicParams: return sizeof(MavProtoBasicParamsWire_t);
    case MavCmd::AttitudeParams:
    case MavCmd::FixedAttitudeParams: return sizeof(MavProtoAttitudeGainWire_t);
    case MavCmd::PositionParams:
    case MavCmd::FixedPositionParams: return sizeof(MavProtoPositionGainWire_t);
    case MavCmd::ResParams: return sizeof(MavProtoResParamsWire_t);
    case MavCmd::VehicleCode: return MAVPROTO_VEHICLE_CODE_LEN;
    default: return 0;
    }
}

// ---- Station side ---------------------------------------------------------------------------

uint16_t MavProtoParamsProcesser::packReadBasicParamsFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq)
{
    return packGcs(frame, rxId, seq, MavCmd::BasicParams);
}

uint16_t MavProtoParamsProcesser::packReadStabilizeCtrlParamsFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq)
{
    return packGcs(frame, rxId, seq, MavCmd::AttitudeParams);
}

uint16_t MavProtoParamsProcesser::packReadPosCtrlParamsFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq)
{
    return packGcs(frame, rxId, seq, MavCmd::PositionParams);
}

uint16_t MavProtoParamsProcesser::packReadFixedStabilizeCtrlParamsFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq)
{
    return packGcs(frame, rxId, seq, MavCmd::FixedAttitudeParams);
}

uint16_t MavProtoParamsProcesser::packReadFixedPosCtrlParamsFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq)
{
    return packGcs(frame, rxId, seq, MavCmd::FixedPositionParams);
}

uint16_t MavProtoParamsProcesser::packReadResParamsFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq)
{
    return packGcs(frame, rxId, seq, MavCmd::ResParams);
}

uint16_t MavProtoParamsProcesser::packReadVehicleCodeFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq)
{
    return packGcs(frame, rxId, seq, MavCmd::VehicleCode);
}

uint16_t MavProtoParamsProcesser::packResetAllParamsFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq)
{
    return packGcs(frame, rxId, seq, MavCmd::ResetParams);
}

uint16_t MavProtoParamsProcesser::packWriteBasicParamsFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq,
                                                            const MavProtoBasicParams_t& params)
{
    if (params.vehicleId == MAVPROTO_GCS_ID)
        return 0;
    return packGroup<MavCmd::BasicParams>(frame, MAVPROTO_GCS_ID, rxId, seq, params);
}

uint16_t MavProtoParamsProcesser::packWriteBasicParamsFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq,
                                                            const MavProtoBasicParamsWire_t& wire)
{
    if (wire.vehicleId == MAVPROTO_GCS_ID)
        return 0;
    return packGroup<MavCmd::BasicParams>(frame, MAVPROTO_GCS_ID, rxId, seq, wire);
}

uint16_t MavProtoParamsProcesser::packWriteStabilizeCtrlParamsFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq,
                                                                    const MavProtoStabilizeCtrlParams_t& params)
{
    return packGroup<MavCmd::AttitudeParams>(frame, MAVPROTO_GCS_ID, rxId, seq, params);
}

uint16_t MavProtoParamsProcesser::packWriteStabilizeCtrlParamsFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq,
                                                                    const MavProtoAttitudeGainWire_t& wire)
{
    return packGroup<MavCmd::AttitudeParams>(frame, MAVPROTO_GCS_ID, rxId, seq, wire);
}

uint16_t MavProtoParamsProcesser::packWritePosCtrlParamsFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq,
                                                              const MavProtoPosCtrlParams_t& params)
{
    return packGroup<MavCmd::PositionParams>(frame, MAVPROTO_GCS_ID, rxId, seq, params);
}

uint16_t MavProtoParamsProcesser::packWritePosCtrlParamsFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq,
                                                              const MavProtoPositionGainWire_t& wire)
{
    return packGroup<MavCmd::PositionParams>(frame, MAVPROTO_GCS_ID, rxId, seq, wire);
}

uint16_t
MavProtoParamsProcesser::packWriteFixedStabilizeCtrlParamsFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq,
                                                                const MavProtoFixedStabilizeCtrlParams_t& params)
{
    return packGroup<MavCmd::FixedAttitudeParams>(frame, MAVPROTO_GCS_ID, rxId, seq, params);
}

uint16_t MavProtoParamsProcesser::packWriteFixedStabilizeCtrlParamsFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq,
                                                                         const MavProtoAttitudeGainWire_t& wire)
{
    return packGroup<MavCmd::FixedAttitudeParams>(frame, MAVPROTO_GCS_ID, rxId, seq, wire);
}

uint16_t MavProtoParamsProcesser::packWriteFixedPosCtrlParamsFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq,
                                                                   const MavProtoFixedPosCtrlParams_t& params)
{
    return packGroup<MavCmd::FixedPositionParams>(frame, MAVPROTO_GCS_ID, rxId, seq, params);
}

uint16_t MavProtoParamsProcesser::packWriteFixedPosCtrlParamsFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq,
                                                                   const MavProtoPositionGainWire_t& wire)
{
    return packGroup<MavCmd::FixedPositionParams>(frame, MAVPROTO_GCS_ID, rxId, seq, wire);
}

uint16_t MavProtoParamsProcesser::packWriteResParamsFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq,
                                                          const MavProtoResParams_t& params)
{
    return packGroup<MavCmd::ResParams>(frame, MAVPROTO_GCS_ID, rxId, seq, params);
}

uint16_t MavProtoParamsProcesser::packWriteResParamsFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq,
                                                          const MavProtoResParamsWire_t& wire)
{
    return packGroup<MavCmd::ResParams>(frame, MAVPROTO_GCS_ID, rxId, seq, wire);
}

uint16_t MavProtoParamsProcesser::packWriteVehicleCodeFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq,
                                                            const std::string& code)
{
    if (code.empty() || !validCodeText(code))
        return 0;
    return packGcs(frame, rxId, seq, MavCmd::VehicleCode, codeBytes(code));
}

uint16_t MavProtoParamsProcesser::packAccMeterCaliActionFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq,
                                                              MavProtoAccMeterCalibrateStep step)
{
    return packGcs(frame, rxId, seq, MavCmd::AccCalibration, {uint8_t(step)});
}

uint16_t MavProtoParamsProcesser::packMagCompassCaliActionFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq,
                                                                MavProtoMagCompassCalibrateStep step)
{
    return packGcs(frame, rxId, seq, MavCmd::MagCalibration, {uint8_t(step)});
}

bool MavProtoParamsProcesser::parseReadBasicParamsAck(const _MavPFrame_t& frame, MavProtoBasicParams_t& params)
{
    return parseGroup<MavCmd::BasicParams>(frame, params);
}

bool MavProtoParamsProcesser::parseReadStabilizeCtrlParamsAck(const _MavPFrame_t& frame,
                                                              MavProtoStabilizeCtrlParams_t& params)
{
    return parseGroup<MavCmd::AttitudeParams>(frame, params);
}

bool MavProtoParamsProcesser::parseReadPosCtrlParamsAck(const _MavPFrame_t& frame, MavProtoPosCtrlParams_t& params)
{
    return parseGroup<MavCmd::PositionParams>(frame, params);
}

bool MavProtoParamsProcesser::parseReadFixedStabilizeCtrlParamsAck(const _MavPFrame_t& frame,
                                                                   MavProtoFixedStabilizeCtrlParams_t& params)
{
    return parseGroup<MavCmd::FixedAttitudeParams>(frame, params);
}

bool MavProtoParamsProcesser::parseReadFixedPosCtrlParamsAck(const _MavPFrame_t& frame,
                                                             MavProtoFixedPosCtrlParams_t& params)
{
    return parseGroup<MavCmd::FixedPositionParams>(frame, params);
}

bool MavProtoParamsProcesser::parseReadResParamsAck(const _MavPFrame_t& frame, MavProtoResParams_t& params)
{
    return parseGroup<MavCmd::ResParams>(frame, params);
}

bool MavProtoParamsProcesser::parseReadVehicleCodeParamsAck(const _MavPFrame_t& frame, std::string& code)
{
    return codeFromData(frame, MavCmd::VehicleCode, code);
}

bool MavProtoParamsProcesser::parseAccMeterCaliAck(const _MavPFrame_t& frame, MavProtoCaliAck_t& ack)
{
    return parseCaliAck(frame, MavCmd::AccCalibration, ack);
}

bool MavProtoParamsProcesser::parseMagCompassCaliAck(const _MavPFrame_t& frame, MavProtoCaliAck_t& ack)
{
    return parseCaliAck(frame, MavCmd::MagCalibration, ack);
}

// ---- Vehicle side ---------------------------------------------------------------------------

uint16_t MavProtoParamsProcesser::packReadBasicParamsAck(_MavPFrame_t& frame, uint8_t vehicleId, uint8_t seq,
                                                         const MavProtoBasicParams_t& params)
{
    return packGroup<MavCmd::BasicParams>(frame, vehicleId, MAVPROTO_GCS_ID, seq, params);
}

uint16_t MavProtoParamsProcesser::packReadStabilizeCtrlParamsAck(_MavPFrame_t& frame, uint8_t vehicleId, uint8_t seq,
                                                                 const MavProtoStabilizeCtrlParams_t& params)
{
    return packGroup<MavCmd::AttitudeParams>(frame, vehicleId, MAVPROTO_GCS_ID, seq, params);
}

uint16_t MavProtoParamsProcesser::packReadPosCtrlParamsAck(_MavPFrame_t& frame, uint8_t vehicleId, uint8_t seq,
                                                           const MavProtoPosCtrlParams_t& params)
{
    return packGroup<MavCmd::PositionParams>(frame, vehicleId, MAVPROTO_GCS_ID, seq, params);
}

uint16_t MavProtoParamsProcesser::packReadFixedStabilizeCtrlParamsAck(_MavPFrame_t& frame, uint8_t vehicleId,
                                                                      uint8_t seq,
                                                                      const MavProtoFixedStabilizeCtrlParams_t& params)
{
    return packGroup<MavCmd::FixedAttitudeParams>(frame, vehicleId, MAVPROTO_GCS_ID, seq, params);
}

uint16_t MavProtoParamsProcesser::packReadFixedPosCtrlParamsAck(_MavPFrame_t& frame, uint8_t vehicleId, uint8_t seq,
                                                                const MavProtoFixedPosCtrlParams_t& params)
{
    return packGroup<MavCmd::FixedPositionParams>(frame, vehicleId, MAVPROTO_GCS_ID, seq, params);
}

uint16_t MavProtoParamsProcesser::packReadResParamsAck(_MavPFrame_t& frame, uint8_t vehicleId, uint8_t seq,
                                                       const MavProtoResParams_t& params)
{
    return packGroup<MavCmd::ResParams>(frame, vehicleId, MAVPROTO_GCS_ID, seq, params);
}

uint16_t MavProtoParamsProcesser::packReadVehicleCodeAck(_MavPFrame_t& frame, uint8_t vehicleId, uint8_t seq,
                                                         const std::string& code)
{
    if (!validCodeText(code))
        return 0;
    return packVehicle(frame, vehicleId, seq, MavCmd::VehicleCode, codeBytes(code));
}

uint16_t MavProtoParamsProcesser::packWriteParamsAck(_MavPFrame_t& frame, uint8_t vehicleId, uint8_t seq, uint8_t cmd,
                                                     uint8_t result)
{
    return packVehicle(frame, vehicleId, seq, cmd, {result});
}

uint16_t MavProtoParamsProcesser::packResetAllParamsAck(_MavPFrame_t& frame, uint8_t vehicleId, uint8_t seq,
                                                        uint8_t result)
{
    return packVehicle(frame, vehicleId, seq, MavCmd::ResetParams, {result});
}

uint16_t MavProtoParamsProcesser::packAccMeterCaliAck(_MavPFrame_t& frame, uint8_t vehicleId, uint8_t seq,
                                                      uint8_t result, uint8_t step)
{
    return packVehicle(frame, vehicleId, seq, MavCmd::AccCalibration, {result, step});
}

uint16_t MavProtoParamsProcesser::packMagCompassCaliAck(_MavPFrame_t& frame, uint8_t vehicleId, uint8_t seq,
                                                        uint8_t result, uint8_t step)
{
    return packVehicle(frame, vehicleId, seq, MavCmd::MagCalibration, {result, step});
}

bool MavProtoParamsProcesser::parseWriteBasicParamsFrame(const _MavPFrame_t& frame, MavProtoBasicParams_t& params)
{
    return parseGroup<MavCmd::BasicParams>(frame, params);
}

bool MavProtoParamsProcesser::parseWriteStabilizeCtrlParamsFrame(const _MavPFrame_t& frame,
                                                                 MavProtoStabilizeCtrlParams_t& params)
{
    return parseGroup<MavCmd::AttitudeParams>(frame, params);
}

bool MavProtoParamsProcesser::parseWritePosCtrlParamsFrame(const _MavPFrame_t& frame, MavProtoPosCtrlParams_t& params)
{
    return parseGroup<MavCmd::PositionParams>(frame, params);
}

bool MavProtoParamsProcesser::parseWriteFixedStabilizeCtrlParamsFrame(const _MavPFrame_t& frame,
                                                                      MavProtoFixedStabilizeCtrlParams_t& params)
{
    return parseGroup<MavCmd::FixedAttitudeParams>(frame, params);
}

bool MavProtoParamsProcesser::parseWriteFixedPosCtrlParamsFrame(const _MavPFrame_t& frame,
                                                                MavProtoFixedPosCtrlParams_t& params)
{
    return parseGroup<MavCmd::FixedPositionParams>(frame, params);
}

bool MavProtoParamsProcesser::parseWriteResParamsFrame(const _MavPFrame_t& frame, MavProtoResParams_t& params)
{
    return parseGroup<MavCmd::ResParams>(frame, params);
}

bool MavProtoParamsProcesser::parseWriteVehicleCodeFrame(const _MavPFrame_t& frame, std::string& code)
{
    std::string text;
    if (!codeFromData(frame, MavCmd::VehicleCode, text) || text.empty())
        return false;
    code = std::move(text);
    return true;
}

bool MavProtoParamsProcesser::parseAccMeterCaliActionFrame(const _MavPFrame_t& frame, uint8_t& step)
{
    return parseCaliStep(frame, MavCmd::AccCalibration, step);
}

bool MavProtoParamsProcesser::parseMagCompassCaliActionFrame(const _MavPFrame_t& frame, uint8_t& step)
{
    return parseCaliStep(frame, MavCmd::MagCalibration, step);
}
