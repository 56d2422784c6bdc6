#include "SimParams.h"

#include "MavProtoDefs.h"
#include "MavProtoParamsProcesser.h"

#include <QJsonValue>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>

namespace {

enum class Kind { F32, U8, U16, I16 };
enum class Rule { Range, Airframe, VehicleId };

struct BasicField {
    const char* name;
    size_t offset;
    Kind kind;
    double min;
    double max;
    Rule rule = Rule::Range;
};

#define BASIC(field) #field, offsetof(MavProtoBasicParams_t, field)
const BasicField kBasicFields[] = {
    {BASIC(ahrsX), Kind::F32, -1, 1},
    {BASIC(ahrsY), Kind::F32, -1, 1},
    {BASIC(ahrsZ), Kind::F32, -1, 1},
    {BASIC(gpsX), Kind::F32, -10, 10},
    {BASIC(gpsY), Kind::F32, -10, 10},
    {BASIC(gpsZ), Kind::F32, -10, 10},
    {BASIC(vol1), Kind::F32, 0, 60},
    {BASIC(vol2), Kind::F32, 0, 60},
    {BASIC(mavType), Kind::U8, 1, 0x51, Rule::Airframe},
    {BASIC(lowPowerProteStrategy), Kind::U8, 0, 3},
    {BASIC(maxFlyAlt), Kind::U16, 10, 5000},
    {BASIC(maxHorDistance), Kind::U16, 0, 30000},
    {BASIC(maxHorSpeed), Kind::F32, 1, 30},
    {BASIC(maxVerSpeed), Kind::F32, 0.5, 10},
    {BASIC(workMode), Kind::U8, 0, 3},
    {BASIC(protocolType), Kind::U8, 0, 3},
    {BASIC(circleRadius), Kind::F32, 0, 1000},
    {BASIC(linkProteStrategy), Kind::U8, 0, 3},
    {BASIC(lowPowerProteStrategy2), Kind::U8, 0, 3},
    {BASIC(vehicleId), Kind::U8, 1, 254, Rule::VehicleId},
    {BASIC(accelCutoffFreqHz), Kind::U8, 5, 100},
    {BASIC(angularRateCutoffFreqHz), Kind::U8, 5, 200},
    {BASIC(dualAntennaInstallAngleDeg), Kind::F32, -180, 180},
    {BASIC(lithiumBatteryCellCount), Kind::U8, 1, 14},
    {BASIC(returnAltitudeM), Kind::F32, 0, 5000},
    {BASIC(rcSignalAbnormalProtect), Kind::U8, 0, 3},
    {BASIC(yawRateLimitDegS), Kind::I16, 5, 360},
    {BASIC(pitchRollMaxAngleLimitDeg), Kind::I16, 5, 60},
    {BASIC(reservedParam3), Kind::I16, -32768, 32767},
};
#undef BASIC
constexpr const char* kVersionName = "version";

const std::set<int> kAirframes = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09,
                                  0x20, 0x21, 0x22, 0x30, 0x40, 0x41, 0x42, 0x50, 0x51};

double basicValue(const MavProtoBasicParams_t& p, const BasicField& f)
{
    const auto* at = reinterpret_cast<const unsigned char*>(&p) + f.offset;
    switch (f.kind) {
    case Kind::F32: {
        float v;
        std::memcpy(&v, at, sizeof(v));
        return v;
    }
    case Kind::U8: return *at;
    case Kind::U16: {
        uint16_t v;
        std::memcpy(&v, at, sizeof(v));
        return v;
    }
    case Kind::I16: {
        int16_t v;
        std::memcpy(&v, at, sizeof(v));
        return v;
    }
    }
    return 0;
}

// The caller has checked that the value fits the field's type.
void setBasicValue(MavProtoBasicParams_t& p, const BasicField& f, double value)
{
    auto* at = reinterpret_cast<unsigned char*>(&p) + f.offset;
    switch (f.kind) {
    case Kind::F32: {
        const float v = float(value);
        std::memcpy(at, &v, sizeof(v));
        break;
    }
    case Kind::U8: *at = uint8_t(value); break;
    case Kind::U16: {
        const uint16_t v = uint16_t(value);
        std::memcpy(at, &v, sizeof(v));
        break;
    }
    case Kind::I16: {
        const int16_t v = int16_t(value);
        std::memcpy(at, &v, sizeof(v));
        break;
    }
    }
}

constexpr size_t kGainCount = 20;
using GainNames = std::array<const char*, kGainCount>;
using GainLimits = std::array<double, kGainCount>;

const GainNames kAttitudeNames = {"rollP",      "pitchP",    "yawP",       "rollI",      "pitchI",
                                  "yawI",       "rollD",     "pitchD",     "yawD",       "rpKf",
                                  "yawKf",      "rollRateP", "pitchRateP", "yawRateP",   "rollRateI",
                                  "pitchRateI", "yawRateI",  "rollRateD",  "pitchRateD", "yawRateD"};
const GainLimits kAttitudeMax = {20, 20, 20, 10, 10, 10, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 0.5, 0.5, 0.5};

const GainNames kPositionNames = {"posXP", "posYP", "posZP",  "posXI",  "posYI", "posZI", "posXD",
                                  "posYD", "posZD", "posHKf", "posVKf", "velXP", "velYP", "velZP",
                                  "velXI", "velYI", "velZI",  "velXD",  "velYD", "velZD"};
const GainLimits kPositionMax = {20, 20, 20, 10, 10, 10, 2, 2, 2, 2, 2, 20, 20, 20, 10, 10, 10, 2, 2, 2};

template <typename Gains>
std::array<float, kGainCount> gainValues(const Gains& g)
{
    static_assert(sizeof(Gains) == kGainCount * sizeof(float));
    std::array<float, kGainCount> v;
    std::memcpy(v.data(), &g, sizeof(g));
    return v;
}

template <typename Gains>
void setGainValues(Gains& g, const std::array<float, kGainCount>& v)
{
    std::memcpy(&g, v.data(), sizeof(g));
}

template <typename Gains>
QString checkGains(const Gains& g, const GainNames& names, const GainLimits& max)
{
    const auto v = gainValues(g);
    for (size_t i = 0; i < kGainCount; ++i) {
        if (!(v[i] >= 0.0f && double(v[i]) <= max[i]))
            return QStringLiteral("%1 %2 outside 0..%3").arg(names[i]).arg(double(v[i])).arg(max[i]);
    }
    return {};
}

constexpr size_t kResNarrow = 20;
constexpr size_t kResWide = 10;

QString resName(size_t i)
{
    return QStringLiteral("res%1").arg(i);
}

double resValue(const MavProtoResParams_t& r, size_t i)
{
    const auto* raw = reinterpret_cast<const unsigned char*>(&r);
    if (i < kResNarrow) {
        float v;
        std::memcpy(&v, raw + i * sizeof(float), sizeof(v));
        return v;
    }
    double v;
    std::memcpy(&v, raw + offsetof(MavProtoResParams_t, res20) + (i - kResNarrow) * sizeof(double), sizeof(v));
    return v;
}

void setResValue(MavProtoResParams_t& r, size_t i, double value)
{
    auto* raw = reinterpret_cast<unsigned char*>(&r);
    if (i < kResNarrow) {
        const float v = float(value);
        std::memcpy(raw + i * sizeof(float), &v, sizeof(v));
    } else {
        std::memcpy(raw + offsetof(MavProtoResParams_t, res20) + (i - kResNarrow) * sizeof(double), &value,
                    sizeof(value));
    }
}

// The float's shortest decimal form as a double, so that 22.2f is written as 22.2 and not as
// 22.200000762939453.
double shortestDouble(float v)
{
    char buf[32];
    const auto end = std::to_chars(buf, buf + sizeof(buf) - 1, v).ptr;
    *end = '\0';
    return std::strtod(buf, nullptr);
}

// Natural -> wire -> natural: the values the vehicle really holds. False when the record does
// not fit its wire form.
template <typename Natural, typename Wire>
bool quantize(Natural& params)
{
    Wire wire{};
    if (!MavProtoParamsProcesser::toWire(params, wire))
        return false;
    MavProtoParamsProcesser::fromWire(wire, params);
    return true;
}

bool quantizeAll(SimParams& p)
{
    return quantize<MavProtoBasicParams_t, MavProtoBasicParamsWire_t>(p.basic) &&
           quantize<MavProtoStabilizeCtrlParams_t, MavProtoAttitudeGainWire_t>(p.stab) &&
           quantize<MavProtoPosCtrlParams_t, MavProtoPositionGainWire_t>(p.pos) &&
           quantize<MavProtoStabilizeCtrlParams_t, MavProtoAttitudeGainWire_t>(p.fixedStab) &&
           quantize<MavProtoPosCtrlParams_t, MavProtoPositionGainWire_t>(p.fixedPos) &&
           quantize<MavProtoResParams_t, MavProtoResParamsWire_t>(p.res);
}

template <typename Gains>
QJsonObject gainsToJson(const Gains& g, const GainNames& names)
{
    QJsonObject o;
    const auto v = gainValues(g);
    for (size_t i = 0; i < kGainCount; ++i)
        o.insert(QLatin1String(names[i]), shortestDouble(v[i]));
    return o;
}

bool unknownMember(const QJsonObject& o, const std::function<bool(const QString&)>& known, const QString& where,
                   QString& error)
{
    for (auto it = o.begin(); it != o.end(); ++it) {
        if (!known(it.key())) {
            error = QStringLiteral("unknown member %1.%2").arg(where, it.key());
            return true;
        }
    }
    return false;
}

bool readNumber(const QJsonObject& o, const QString& where, const QString& name, double& value, QString& error)
{
    if (!o.contains(name))
        return false;
    const QJsonValue v = o.value(name);
    if (!v.isDouble()) {
        error = QStringLiteral("%1.%2 is not a number").arg(where, name);
        return false;
    }
    value = v.toDouble();
    return true;
}

template <typename Gains>
bool gainsFromJson(const QJsonValue& value, const QString& where, const GainNames& names, Gains& g, QString& error)
{
    if (value.isUndefined())
        return true;
    if (!value.isObject()) {
        error = where + QStringLiteral(" is not an object");
        return false;
    }
    const QJsonObject o = value.toObject();
    const auto isName = [&](const QString& key) {
        return std::find_if(names.begin(), names.end(), [&](const char* n) { return key == QLatin1String(n); }) !=
               names.end();
    };
    if (unknownMember(o, isName, where, error))
        return false;
    auto v = gainValues(g);
    for (size_t i = 0; i < kGainCount; ++i) {
        double d = 0;
        if (readNumber(o, where, QLatin1String(names[i]), d, error))
            v[i] = float(d);
        else if (!error.isEmpty())
            return false;
    }
    setGainValues(g, v);
    return true;
}

bool basicFromJson(const QJsonValue& value, MavProtoBasicParams_t& p, QString& error)
{
    const QString where = QStringLiteral("basic");
    if (value.isUndefined())
        return true;
    if (!value.isObject()) {
        error = where + QStringLiteral(" is not an object");
        return false;
    }
    const QJsonObject o = value.toObject();
    const auto isName = [](const QString& key) {
        return key == QLatin1String(kVersionName) ||
               std::any_of(std::begin(kBasicFields), std::end(kBasicFields),
                           [&](const BasicField& f) { return key == QLatin1String(f.name); });
    };
    if (unknownMember(o, isName, where, error))
        return false;
    for (const BasicField& f : kBasicFields) {
        double d = 0;
        if (!readNumber(o, where, QLatin1String(f.name), d, error)) {
            if (!error.isEmpty())
                return false;
            continue;
        }
        // Integer fields must hold whole numbers of their type; the limits are checked later.
        const bool whole = f.kind == Kind::F32 || (std::floor(d) == d && d >= -32768 && d <= 65535);
        if (!whole || !std::isfinite(d)) {
            error = QStringLiteral("%1.%2 %3 is not a valid value").arg(where, QLatin1String(f.name)).arg(d);
            return false;
        }
        if (f.kind != Kind::F32 && (d < f.min || d > f.max)) {
            error = QStringLiteral("%1.%2 %3 outside %4..%5")
                        .arg(where, QLatin1String(f.name))
                        .arg(d)
                        .arg(f.min)
                        .arg(f.max);
            return false;
        }
        setBasicValue(p, f, d);
    }
    if (o.contains(QLatin1String(kVersionName))) {
        const QJsonValue v = o.value(QLatin1String(kVersionName));
        const QByteArray text = v.toString().toLatin1();
        if (!v.isString() || text.size() > qsizetype(sizeof(p.version))) {
            error = QStringLiteral("basic.version needs a string of at most 6 characters");
            return false;
        }
        std::memset(p.version, 0, sizeof(p.version));
        std::memcpy(p.version, text.constData(), size_t(text.size()));
    }
    return true;
}

bool resFromJson(const QJsonValue& value, MavProtoResParams_t& r, QString& error)
{
    const QString where = QStringLiteral("res");
    if (value.isUndefined())
        return true;
    if (!value.isObject()) {
        error = where + QStringLiteral(" is not an object");
        return false;
    }
    const QJsonObject o = value.toObject();
    const auto isName = [](const QString& key) {
        for (size_t i = 0; i < kResNarrow + kResWide; ++i) {
            if (key == resName(i))
                return true;
        }
        return false;
    };
    if (unknownMember(o, isName, where, error))
        return false;
    for (size_t i = 0; i < kResNarrow + kResWide; ++i) {
        double d = 0;
        if (readNumber(o, where, resName(i), d, error))
            setResValue(r, i, d);
        else if (!error.isEmpty())
            return false;
    }
    return true;
}

}  // namespace

SimParams SimParams::defaults(uint8_t vehicleId, const std::string& code)
{
    SimParams p;
    MavProtoBasicParams_t& b = p.basic;
    b.gpsX = 0.05f;
    b.gpsZ = -0.12f;
    b.vol1 = 22.2f;  // 3.7 V a cell: return
    b.vol2 = 21.0f;  // 3.5 V a cell: land
    b.lithiumBatteryCellCount = 6;
    b.mavType = 0x01;
    std::memcpy(b.version, kVersion, sizeof(b.version));
    b.lowPowerProteStrategy = 1;
    b.maxFlyAlt = 500;
    b.maxHorDistance = 2000;
    b.maxHorSpeed = 15.0f;
    b.maxVerSpeed = 3.0f;
    b.circleRadius = 20.0f;
    b.lowPowerProteStrategy2 = 2;
    b.vehicleId = vehicleId;
    b.accelCutoffFreqHz = 30;
    b.angularRateCutoffFreqHz = 80;
    b.dualAntennaInstallAngleDeg = 90.0f;
    b.lithiumBatteryCellCount = 6;
    b.returnAltitudeM = 50.0f;
    b.rcSignalAbnormalProtect = 1;

    p.stab = {4.5f, 4.5f,  2.8f,  0.05f, 0.05f, 0.02f, 0.0015f, 0.0015f, 0.0f,    0.8f,
              0.5f, 0.15f, 0.15f, 0.25f, 0.1f,  0.1f,  0.03f,   0.0035f, 0.0035f, 0.0f};
    p.pos = {1.0f, 1.0f, 1.5f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f,  0.0f,  0.5f,
             0.5f, 2.0f, 2.0f, 4.0f, 0.4f, 0.4f, 1.0f, 0.01f, 0.01f, 0.0f};
    p.fixedStab = {1.2f, 1.0f, 0.5f, 0.1f, 0.1f, 0.0f, 0.05f, 0.05f, 0.0f,  0.3f,
                   0.1f, 0.8f, 0.9f, 0.4f, 0.2f, 0.2f, 0.05f, 0.01f, 0.01f, 0.0f};
    p.fixedPos = {0.8f, 0.8f, 1.0f, 0.05f, 0.05f, 0.1f, 0.0f, 0.0f, 0.0f, 0.2f,
                  0.3f, 1.5f, 1.5f, 2.0f,  0.2f,  0.2f, 0.5f, 0.0f, 0.0f, 0.0f};
    p.code = code;
    quantizeAll(p);
    return p;
}

QString SimParams::check(const MavProtoBasicParams_t& basic)
{
    for (const BasicField& f : kBasicFields) {
        const double v = basicValue(basic, f);
        const QString name = QLatin1String(f.name);
        switch (f.rule) {
        case Rule::Range:
            if (!(v >= f.min && v <= f.max))
                return QStringLiteral("%1 %2 outside %3..%4").arg(name).arg(v).arg(f.min).arg(f.max);
            break;
        case Rule::Airframe:
            if (kAirframes.count(int(v)) == 0)
                return QStringLiteral("%1 %2 is not a known airframe").arg(name).arg(v);
            break;
        case Rule::VehicleId:
            if (!(v >= f.min && v <= f.max) || int(v) == MAVPROTO_GCS_ID)
                return QStringLiteral("%1 %2 outside %3..%4 or the station's %5")
                    .arg(name)
                    .arg(v)
                    .arg(f.min)
                    .arg(f.max)
                    .arg(MAVPROTO_GCS_ID);
            break;
        }
    }
    return {};
}

QString SimParams::check(const MavProtoStabilizeCtrlParams_t& gains)
{
    return checkGains(gains, kAttitudeNames, kAttitudeMax);
}

QString SimParams::check(const MavProtoPosCtrlParams_t& gains)
{
    return checkGains(gains, kPositionNames, kPositionMax);
}

QString SimParams::check(const MavProtoResParams_t& res)
{
    MavProtoResParamsWire_t wire{};
    if (MavProtoParamsProcesser::toWire(res, wire))
        return {};
    for (size_t i = 0; i < kResNarrow + kResWide; ++i) {
        MavProtoResParams_t one{};
        setResValue(one, i, resValue(res, i));
        if (!MavProtoParamsProcesser::toWire(one, wire))
            return QStringLiteral("%1 %2 does not fit its wire integer").arg(resName(i)).arg(resValue(res, i));
    }
    return QStringLiteral("a reserved value does not fit its wire integer");
}

bool SimParams::validCode(const std::string& code)
{
    return code.size() <= MAVPROTO_VEHICLE_CODE_LEN &&
           std::all_of(code.begin(), code.end(), [](char c) { return c >= 0x20 && c <= 0x7E; });
}

QJsonObject SimParams::toJson() const
{
    QJsonObject b;
    for (const BasicField& f : kBasicFields) {
        const double v = basicValue(basic, f);
        b.insert(QLatin1String(f.name), f.kind == Kind::F32 ? shortestDouble(float(v)) : v);
    }
    b.insert(QLatin1String(kVersionName),
             QString::fromLatin1(basic.version, qsizetype(strnlen(basic.version, sizeof(basic.version)))));

    QJsonObject r;
    for (size_t i = 0; i < kResNarrow + kResWide; ++i)
        r.insert(resName(i), i < kResNarrow ? shortestDouble(float(resValue(res, i))) : resValue(res, i));

    QJsonObject o;
    o.insert(QStringLiteral("basic"), b);
    o.insert(QStringLiteral("stab"), gainsToJson(stab, kAttitudeNames));
    o.insert(QStringLiteral("pos"), gainsToJson(pos, kPositionNames));
    o.insert(QStringLiteral("fixedStab"), gainsToJson(fixedStab, kAttitudeNames));
    o.insert(QStringLiteral("fixedPos"), gainsToJson(fixedPos, kPositionNames));
    o.insert(QStringLiteral("res"), r);
    o.insert(QStringLiteral("code"), QString::fromStdString(code));
    return o;
}

bool SimParams::readJson(const QJsonObject& entry, QString& error)
{
    error.clear();
    const QStringList members = {"basic", "stab", "pos", "fixedStab", "fixedPos", "res", "code"};
    if (unknownMember(
            entry, [&](const QString& key) { return members.contains(key); }, QStringLiteral("entry"), error))
        return false;

    SimParams p = *this;
    if (!basicFromJson(entry.value("basic"), p.basic, error) ||
        !gainsFromJson(entry.value("stab"), QStringLiteral("stab"), kAttitudeNames, p.stab, error) ||
        !gainsFromJson(entry.value("pos"), QStringLiteral("pos"), kPositionNames, p.pos, error) ||
        !gainsFromJson(entry.value("fixedStab"), QStringLiteral("fixedStab"), kAttitudeNames, p.fixedStab, error) ||
        !gainsFromJson(entry.value("fixedPos"), QStringLiteral("fixedPos"), kPositionNames, p.fixedPos, error) ||
        !resFromJson(entry.value("res"), p.res, error))
        return false;
    if (entry.contains("code")) {
        const QJsonValue v = entry.value("code");
        const std::string text = v.toString().toStdString();
        if (!v.isString() || !validCode(text)) {
            error = QStringLiteral("code needs at most 20 printable ASCII characters");
            return false;
        }
        p.code = text;
    }

    const std::pair<const char*, QString> checks[] = {
        {"basic", check(p.basic)},         {"stab", check(p.stab)},         {"pos", check(p.pos)},
        {"fixedStab", check(p.fixedStab)}, {"fixedPos", check(p.fixedPos)}, {"res", check(p.res)},
    };
    for (const auto& [group, reason] : checks) {
        if (!reason.isEmpty()) {
            error = QStringLiteral("%1.%2").arg(QLatin1String(group), reason);
            return false;
        }
    }
    if (!quantizeAll(p)) {
        error = QStringLiteral("a value does not fit its wire integer");
        return false;
    }
    *this = p;
    return true;
}

bool SimParams::operator==(const SimParams& o) const
{
    return std::memcmp(&basic, &o.basic, sizeof(basic)) == 0 && std::memcmp(&stab, &o.stab, sizeof(stab)) == 0 &&
           std::memcmp(&pos, &o.pos, sizeof(pos)) == 0 &&
           std::memcmp(&fixedStab, &o.fixedStab, sizeof(fixedStab)) == 0 &&
           std::memcmp(&fixedPos, &o.fixedPos, sizeof(fixedPos)) == 0 && std::memcmp(&res, &o.res, sizeof(res)) == 0 &&
           code == o.code;
}
