#include "ParamTable.h"

#include "params/MavBasicParamsDataItem.h"
#include "params/MavFixedPosCtrlParamsDataItem.h"
#include "params/MavFixedStabCtrlParamsDataItem.h"
#include "params/MavParamsController.h"
#include "params/MavPosCtrlParamsDataItem.h"
#include "params/MavResParamsDataItem.h"
#include "params/MavStabCtrlParamsDataItem.h"

#include "MavProtoDefs.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace {

// One field of a natural-unit record: its wire step and the range of wire counts it can carry.
template <typename R>
struct Field {
    const char* name;
    const char* unit;
    double step;
    double minCount;
    double maxCount;
    double (*get)(const R&);
    void (*set)(R&, double);
};

#define VELMORA_FIELD(R, f, unit, step, lo, hi)                                                                        \
    Field<R>                                                                                                           \
    {                                                                                                                  \
#f, unit, step, double(lo), double(hi),                                                                        \
            [](const R& r) { return double(r.f); }, [](R & r, double v) { r.f = decltype(R::f)(v); }                   \
    }

constexpr int kU8 = 255, kU16 = 65535, kI16Min = -32768, kI16Max = 32767;

#define B(f, unit, step, lo, hi) VELMORA_FIELD(MavProtoBasicParams_t, f, unit, step, lo, hi)
const std::vector<Field<MavProtoBasicParams_t>> kBasic = {
    B(ahrsX, "m", 0.01, -128, 127),
    B(ahrsY, "m", 0.01, -128, 127),
    B(ahrsZ, "m", 0.01, -128, 127),
    B(gpsX, "m", 0.001, kI16Min, kI16Max),
    B(gpsY, "m", 0.001, kI16Min, kI16Max),
    B(gpsZ, "m", 0.001, kI16Min, kI16Max),
    B(vol1, "V", 0.01, 0, kU16),
    B(vol2, "V", 0.01, 0, kU16),
    B(mavType, "", 1, 0, kU8),
    B(lowPowerProteStrategy, "", 1, 0, kU8),
    B(maxFlyAlt, "m", 1, 0, kU16),
    B(maxHorDistance, "m", 1, 0, kU16),
    B(maxHorSpeed, "m/s", 0.5, 0, kU8),
    B(maxVerSpeed, "m/s", 0.1, 0, kU8),
    B(workMode, "", 1, 0, kU8),
    B(protocolType, "", 1, 0, kU8),
    B(circleRadius, "m", 0.1, 0, kU16),
    B(linkProteStrategy, "", 1, 0, kU8),
    B(lowPowerProteStrategy2, "", 1, 0, kU8),
    B(vehicleId, "", 1, 0, kU8),
    B(accelCutoffFreqHz, "Hz", 1, 0, kU8),
    B(angularRateCutoffFreqHz, "Hz", 1, 0, kU8),
    B(dualAntennaInstallAngleDeg, "deg", 0.01, kI16Min, kI16Max),
    B(lithiumBatteryCellCount, "", 1, 0, kU8),
    B(returnAltitudeM, "m", 0.1, 0, kU16),
    B(rcSignalAbnormalProtect, "", 1, 0, kU8),
    B(yawRateLimitDegS, "deg/s", 1, kI16Min, kI16Max),
    B(pitchRollMaxAngleLimitDeg, "deg", 1, kI16Min, kI16Max),
    B(reservedParam3, "", 1, kI16Min, kI16Max),
};
#undef B

#define A(f, step) VELMORA_FIELD(MavProtoStabilizeCtrlParams_t, f, "", step, 0, kU16)
const std::vector<Field<MavProtoStabilizeCtrlParams_t>> kAttitude = {
    A(rollP, 0.001),     A(pitchP, 0.001),   A(yawP, 0.001),      A(rollI, 0.001),     A(pitchI, 0.001),
    A(yawI, 0.001),      A(rollD, 1e-4),     A(pitchD, 1e-4),     A(yawD, 1e-4),       A(rpKf, 1e-4),
    A(yawKf, 1e-4),      A(rollRateP, 1e-4), A(pitchRateP, 1e-4), A(yawRateP, 1e-4),   A(rollRateI, 1e-4),
    A(pitchRateI, 1e-4), A(yawRateI, 1e-4),  A(rollRateD, 1e-5),  A(pitchRateD, 1e-5), A(yawRateD, 1e-5),
};
#undef A

#define P(f, step) VELMORA_FIELD(MavProtoPosCtrlParams_t, f, "", step, 0, kU16)
const std::vector<Field<MavProtoPosCtrlParams_t>> kPosition = {
    P(posXP, 0.001), P(posYP, 0.001), P(posZP, 0.001), P(posXI, 0.001), P(posYI, 0.001),
    P(posZI, 0.001), P(posXD, 1e-4),  P(posYD, 1e-4),  P(posZD, 1e-4),  P(posHKf, 1e-4),
    P(posVKf, 1e-4), P(velXP, 0.001), P(velYP, 0.001), P(velZP, 0.001), P(velXI, 0.001),
    P(velYI, 0.001), P(velZI, 0.001), P(velXD, 1e-4),  P(velYD, 1e-4),  P(velZD, 1e-4),
};
#undef P

constexpr double kI32Min = std::numeric_limits<int32_t>::min(), kI32Max = std::numeric_limits<int32_t>::max();
#define N(i) VELMORA_FIELD(MavProtoResParams_t, res##i, "", 0.01, kI16Min, kI16Max)
#define W(i) VELMORA_FIELD(MavProtoResParams_t, res##i, "", 0.001, kI32Min, kI32Max)
const std::vector<Field<MavProtoResParams_t>> kRes = {
    N(0),  N(1),  N(2),  N(3),  N(4),  N(5),  N(6),  N(7),  N(8),  N(9),  N(10), N(11), N(12), N(13), N(14),
    N(15), N(16), N(17), N(18), N(19), W(20), W(21), W(22), W(23), W(24), W(25), W(26), W(27), W(28), W(29),
};
#undef N
#undef W
#undef VELMORA_FIELD

// The record value as the wire carries it, without the float's binary noise.
double present(double value, double step)
{
    if (step >= 1)
        return double(std::llround(value));
    const int decimals = int(std::ceil(-std::log10(step) - 1e-9));
    const double scale = std::pow(10.0, decimals);
    return std::round(std::round(value / step) * step * scale) / scale;
}

std::string trimmedVersion(const MavBasicParamsDataItem& item)
{
    std::string v = item.version().toStdString();
    v.erase(std::find(v.begin(), v.end(), '\0'), v.end());
    return v;
}

template <typename R>
std::vector<ParamTable::Field> fieldsOf(const R* record, const std::vector<Field<R>>& fields)
{
    std::vector<ParamTable::Field> out;
    for (const auto& f : fields)
        out.push_back({f.name, f.unit, f.step, record ? present(f.get(*record), f.step) : 0.0, f.minCount * f.step,
                       f.maxCount * f.step});
    return out;
}

template <typename R>
std::string applyTo(R* record, const std::vector<Field<R>>& fields, const ParamTable::Values& values)
{
    R changed = record ? *record : R{};
    for (const auto& entry : values) {
        const std::string& name = entry.first;
        const double value = entry.second;
        const auto f = std::find_if(fields.begin(), fields.end(), [&](const auto& x) { return name == x.name; });
        if (f == fields.end())
            return name == "version" ? "Parameter version belongs to the firmware and cannot be set"
                                     : "Unknown parameter: " + name;
        const double count = std::round(value / f->step);
        if (!std::isfinite(count) || count < f->minCount || count > f->maxCount)
            return "Parameter " + name + " out of range";
        // The station's own id would make the vehicle indistinguishable from it.
        if (name == "vehicleId" && count == MAVPROTO_GCS_ID)
            return "Parameter vehicleId cannot be the station's id " + std::to_string(MAVPROTO_GCS_ID);
        f->set(changed, count * f->step);
    }
    if (record)
        *record = changed;
    return {};
}

// Runs fn(item, fields) on the named group; fn must return the same type for every group.
template <typename Fn>
auto withGroup(MavParamsController* params, const std::string& group, Fn&& fn)
{
    auto item = [&](auto getter) { return params ? ((*params).*getter)().get() : nullptr; };
    if (group == "basic")
        return fn(item(&MavParamsController::basicParamsDataItem), kBasic);
    if (group == "stab")
        return fn(item(&MavParamsController::stabCtrlParamsDataItem), kAttitude);
    if (group == "pos")
        return fn(item(&MavParamsController::posCtrlParamsDataItem), kPosition);
    if (group == "res")
        return fn(item(&MavParamsController::resParamsDataItem), kRes);
    if (group == "fixedStab")
        return fn(item(&MavParamsController::fixedStabCtrlParamsDataItem), kAttitude);
    return fn(item(&MavParamsController::fixedPosCtrlParamsDataItem), kPosition);
}

}  // namespace

namespace ParamTable {

const std::vector<std::string>& groupNames()
{
    static const std::vector<std::string> names = {"basic", "stab", "pos", "res", "fixedStab", "fixedPos"};
    return names;
}

bool hasGroup(const std::string& group)
{
    const auto& names = groupNames();
    return std::find(names.begin(), names.end(), group) != names.end();
}

std::vector<Field> fields(MavParamsController* params, const std::string& group)
{
    return withGroup(params, group, [&](auto* item, const auto& fields) {
        if (!item)
            return fieldsOf<std::decay_t<decltype(item->protoData())>>(nullptr, fields);
        const auto record = item->protoData();
        return fieldsOf(&record, fields);
    });
}

std::optional<std::string> firmwareVersion(MavParamsController& params, const std::string& group)
{
    if (group != "basic" || !params.basicParamsDataItem())
        return std::nullopt;
    return trimmedVersion(*params.basicParamsDataItem());
}

std::string apply(MavParamsController* params, const std::string& group, const Values& values)
{
    if (values.empty())
        return "values must be a non-empty object";
    return withGroup(params, group, [&](auto* item, const auto& fields) {
        if (!item)
            return applyTo<std::decay_t<decltype(item->protoData())>>(nullptr, fields, values);
        auto record = item->protoData();
        std::string refusal = applyTo(&record, fields, values);
        if (refusal.empty())
            item->updateProtoData(record);
        return refusal;
    });
}

}  // namespace ParamTable
