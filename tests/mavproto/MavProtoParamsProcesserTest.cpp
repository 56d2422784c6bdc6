#include "MavProtoHelper.h"
#include "MavProtoParamsProcesser.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <tuple>

namespace {

using P = MavProtoParamsProcesser;

// One record of each kind, so one field table can cover every group.
struct Groups {
    MavProtoBasicParams_t basic;
    MavProtoStabilizeCtrlParams_t stab{};
    MavProtoPosCtrlParams_t pos{};
    MavProtoResParams_t res{};

    unsigned char* of(uint8_t cmd)
    {
        switch (cmd) {
        case MavCmd::BasicParams: return reinterpret_cast<unsigned char*>(&basic);
        case MavCmd::AttitudeParams:
        case MavCmd::FixedAttitudeParams: return reinterpret_cast<unsigned char*>(&stab);
        case MavCmd::PositionParams:
        case MavCmd::FixedPositionParams: return reinterpret_cast<unsigned char*>(&pos);
        default: return reinterpret_cast<unsigned char*>(&res);
        }
    }
};

template <typename Rec>
using PackFn = uint16_t (*)(_MavPFrame_t&, uint8_t, uint8_t, const Rec&);
template <typename Rec>
using ParseFn = bool (*)(const _MavPFrame_t&, Rec&);

// Station write -> vehicle decode, and vehicle reply -> station decode, of one group. Returns
// the writer's result; on success `written` and `read` hold what each side decoded.
template <typename Rec>
uint16_t bothWays(uint8_t cmd, Rec Groups::*g, const Groups& in, Groups& written, Groups& read, _MavPFrame_t& wf,
                  PackFn<Rec> packWrite, ParseFn<Rec> parseWrite, PackFn<Rec> packReply, ParseFn<Rec> parseReply)
{
    _MavPFrame_t rf;
    const uint16_t w = packWrite(wf, 3, 1, in.*g);
    // The vehicle's reply packer applies the same range check as the station's writer.
    EXPECT_EQ(packReply(rf, 3, 1, in.*g), w) << "cmd " << int(cmd);
    if (w != 0) {
        EXPECT_EQ(rf.data.size(), P::readReplyDataLen(cmd)) << "cmd " << int(cmd);
        EXPECT_EQ(wf.data.size(), P::readReplyDataLen(cmd)) << "cmd " << int(cmd);
        EXPECT_TRUE(parseWrite(wf, written.*g) && parseReply(rf, read.*g)) << "cmd " << int(cmd);
    }
    return w;
}

uint16_t throughBothWays(uint8_t cmd, const Groups& in, Groups& written, Groups& read, _MavPFrame_t& wf)
{
    using G = Groups;
    switch (cmd) {
    case MavCmd::BasicParams:
        return bothWays(cmd, &G::basic, in, written, read, wf, P::packWriteBasicParamsFrame,
                        P::parseWriteBasicParamsFrame, P::packReadBasicParamsAck, P::parseReadBasicParamsAck);
    case MavCmd::AttitudeParams:
        return bothWays(cmd, &G::stab, in, written, read, wf, P::packWriteStabilizeCtrlParamsFrame,
                        P::parseWriteStabilizeCtrlParamsFrame, P::packReadStabilizeCtrlParamsAck,
                        P::parseReadStabilizeCtrlParamsAck);
    case MavCmd::FixedAttitudeParams:
        return bothWays(cmd, &G::stab, in, written, read, wf, P::packWriteFixedStabilizeCtrlParamsFrame,
                        P::parseWriteFixedStabilizeCtrlParamsFrame, P::packReadFixedStabilizeCtrlParamsAck,
                        P::parseReadFixedStabilizeCtrlParamsAck);
    case MavCmd::PositionParams:
        return bothWays(cmd, &G::pos, in, written, read, wf, P::packWritePosCtrlParamsFrame,
                        P::parseWritePosCtrlParamsFrame, P::packReadPosCtrlParamsAck, P::parseReadPosCtrlParamsAck);
    case MavCmd::FixedPositionParams:
        return bothWays(cmd, &G::pos, in, written, read, wf, P::packWriteFixedPosCtrlParamsFrame,
                        P::parseWriteFixedPosCtrlParamsFrame, P::packReadFixedPosCtrlParamsAck,
                        P::parseReadFixedPosCtrlParamsAck);
    default:
        return bothWays(cmd, &G::res, in, written, read, wf, P::packWriteResParamsFrame, P::parseWriteResParamsFrame,
                        P::packReadResParamsAck, P::parseReadResParamsAck);
    }
}

// A scaled field, found by its offset in the natural record; float unless wide (double).
struct ScaledField {
    std::string name;
    uint8_t cmd;
    size_t offset;
    bool wide;
    double lsb, lo, hi;

    void set(Groups& g, double v) const
    {
        const float f = float(v);
        std::memcpy(g.of(cmd) + offset, wide ? static_cast<const void*>(&v) : &f, wide ? 8 : 4);
    }
    double get(Groups& g) const
    {
        double d = 0;
        float f = 0;
        std::memcpy(wide ? static_cast<void*>(&d) : &f, g.of(cmd) + offset, wide ? 8 : 4);
        return wide ? d : double(f);
    }
};

std::vector<ScaledField> scaledFields()
{
    using B = MavProtoBasicParams_t;
    using R = MavProtoResParams_t;
    const uint8_t b = MavCmd::BasicParams, r = MavCmd::ResParams;
    std::vector<ScaledField> f = {
        {"ahrsX", b, offsetof(B, ahrsX), false, 0.01, -1.28, 1.27},
        {"ahrsY", b, offsetof(B, ahrsY), false, 0.01, -1.28, 1.27},
        {"ahrsZ", b, offsetof(B, ahrsZ), false, 0.01, -1.28, 1.27},
        {"gpsX", b, offsetof(B, gpsX), false, 0.001, -32.768, 32.767},
        {"gpsY", b, offsetof(B, gpsY), false, 0.001, -32.768, 32.767},
        {"gpsZ", b, offsetof(B, gpsZ), false, 0.001, -32.768, 32.767},
        {"vol1", b, offsetof(B, vol1), false, 0.01, 0, 655.35},
        {"vol2", b, offsetof(B, vol2), false, 0.01, 0, 655.35},
        {"maxHorSpeed", b, offsetof(B, maxHorSpeed), false, 0.5, 0, 127.5},
        {"maxVerSpeed", b, offsetof(B, maxVerSpeed), false, 0.1, 0, 25.5},
        {"circleRadius", b, offsetof(B, circleRadius), false, 0.1, 0, 6553.5},
        {"antennaAngle", b, offsetof(B, dualAntennaInstallAngleDeg), false, 0.01, -327.68, 327.67},
        {"returnAltitude", b, offsetof(B, returnAltitudeM), false, 0.1, 0, 6553.5},
        {"res0", r, offsetof(R, res0), false, 0.01, -327.68, 327.67},
        {"res19", r, offsetof(R, res19), false, 0.01, -327.68, 327.67},
        {"res20", r, offsetof(R, res20), true, 0.001, -2147483.648, 2147483.647},
        {"res29", r, offsetof(R, res29), true, 0.001, -2147483.648, 2147483.647},
    };
    // Gains by place: angle/position P, I, D, feed-forward, then rate/velocity P, I, D.
    const double m = 0.001, t = 0.0001, h = 0.00001;
    const double stabLsb[20] = {m, m, m, m, m, m, t, t, t, t, t, t, t, t, t, t, t, h, h, h};
    const double posLsb[20] = {m, m, m, m, m, m, t, t, t, t, t, m, m, m, m, m, m, t, t, t};
    for (size_t i = 0; i < 20; ++i) {
        for (uint8_t cmd : {MavCmd::AttitudeParams, MavCmd::FixedAttitudeParams})
            f.push_back({"stab gain " + std::to_string(i), cmd, i * 4, false, stabLsb[i], 0, stabLsb[i] * 65535});
        for (uint8_t cmd : {MavCmd::PositionParams, MavCmd::FixedPositionParams})
            f.push_back({"pos gain " + std::to_string(i), cmd, i * 4, false, posLsb[i], 0, posLsb[i] * 65535});
    }
    return f;
}

_MavPFrame_t sentinelFrame()
{
    _MavPFrame_t f;
    MavProtoHelper::packMavProtoFrame(f, 9, 9, 99, 0x77, {1, 2, 3});
    return f;
}

bool isSentinel(const _MavPFrame_t& f)
{
    return f.cmd == 0x77 && f.seq == 99 && f.data == std::vector<uint8_t>{1, 2, 3};
}

// A decoder that must leave its output alone whenever it returns false.
template <typename Rec>
std::function<bool(const _MavPFrame_t&)> keepsOutputOnFailure(ParseFn<Rec> parse)
{
    return [parse](const _MavPFrame_t& f) {
        Rec r, before;
        std::memset(static_cast<void*>(&r), 0x5A, sizeof(Rec));
        std::memcpy(static_cast<void*>(&before), &r, sizeof(Rec));
        const bool ok = parse(f, r);
        EXPECT_TRUE(ok || std::memcmp(&r, &before, sizeof(Rec)) == 0) << "cmd " << int(f.cmd);
        return ok;
    };
}

template <typename Wire, typename Natural>
void expectWireSurvivesDecodeAndEncode(const char* name)
{
    for (int fill : {0x00, 0xFF, 0x80, 0x7F, -1}) {
        Wire wire, again;
        auto* bytes = reinterpret_cast<uint8_t*>(&wire);
        for (size_t i = 0; i < sizeof(Wire); ++i)
            bytes[i] = uint8_t(fill >= 0 ? fill : i * 37 + 11);
        Natural natural;
        P::fromWire(wire, natural);
        ASSERT_TRUE(P::toWire(natural, again)) << name << " fill " << fill;
        EXPECT_EQ(std::memcmp(&wire, &again, sizeof(Wire)), 0) << name << " fill " << fill;
    }
}

}  // namespace

TEST(MavProtoParamsProcesser, ScaledFieldsRoundTripToNearestAndRefuseWhatDoesNotFit)
{
    for (const auto& f : scaledFields()) {
        // 0.7 of a step above a grid point must come back as the next point, not be truncated.
        const double offGrid = f.lo + std::round((f.hi - f.lo) * 0.37 / f.lsb) * f.lsb + 0.7 * f.lsb;
        for (double v : {f.lo, f.hi, offGrid, f.hi + 0.4 * f.lsb, f.lo - 0.4 * f.lsb}) {
            Groups in, written, read;
            f.set(in, v);
            _MavPFrame_t wf;
            ASSERT_NE(throughBothWays(f.cmd, in, written, read, wf), 0) << f.name << " = " << v;
            const double expected = std::clamp(std::round(v / f.lsb) * f.lsb, f.lo, f.hi);
            EXPECT_NEAR(f.get(written), expected, f.lsb * 0.01) << f.name << " = " << v << " written";
            EXPECT_NEAR(f.get(read), expected, f.lsb * 0.01) << f.name << " = " << v << " read";
        }
        for (double v : {f.lo - 0.6 * f.lsb, f.hi + 0.6 * f.lsb, f.hi * 4 + 1, std::numeric_limits<double>::quiet_NaN(),
                         std::numeric_limits<double>::infinity()}) {
            Groups in, written, read;
            f.set(in, v);
            _MavPFrame_t wf = sentinelFrame();
            EXPECT_EQ(throughBothWays(f.cmd, in, written, read, wf), 0) << f.name << " = " << v;
            EXPECT_TRUE(isSentinel(wf)) << f.name << " = " << v << ": a refused write must leave the frame alone";
        }
    }
}

TEST(MavProtoParamsProcesser, EveryWireValueSurvivesDecodeAndEncode)
{
    // What a vehicle reports, the station can write back unchanged: no field loses a step in
    // float precision, and the integer fields and the version pass through.
    expectWireSurvivesDecodeAndEncode<MavProtoBasicParamsWire_t, MavProtoBasicParams_t>("basic");
    expectWireSurvivesDecodeAndEncode<MavProtoAttitudeGainWire_t, MavProtoStabilizeCtrlParams_t>("attitude");
    expectWireSurvivesDecodeAndEncode<MavProtoPositionGainWire_t, MavProtoPosCtrlParams_t>("position");
    expectWireSurvivesDecodeAndEncode<MavProtoResParamsWire_t, MavProtoResParams_t>("reserved");

    // The firmware update screen reads the version straight from the basic reply.
    MavProtoBasicParams_t in;
    std::memcpy(in.version, "V1.2.3", 6);
    in.vehicleId = 42;
    _MavPFrame_t f;
    ASSERT_EQ(P::packReadBasicParamsAck(f, 3, 1, in), 58) << "a fresh record's defaults are all in range";
    EXPECT_EQ(std::string(f.data.begin() + 14, f.data.begin() + 20), "V1.2.3");
    EXPECT_EQ(f.data[33], 42);
}

TEST(MavProtoParamsProcesser, StationFramesHaveTheirCommandAndPayload)
{
    _MavPFrame_t f = sentinelFrame();
    EXPECT_EQ(P::packResetAllParamsFrame(f, 6, 200), 10);
    EXPECT_TRUE(f.tx_id == MAVPROTO_GCS_ID && f.rx_id == 6 && f.seq == 200 && f.data.empty());
    ASSERT_EQ(P::packMagCompassCaliActionFrame(f, 6, 200, MAVPROTO_MAG_CALI_STEP_FINAL), 11);
    EXPECT_TRUE(f.cmd == 0x0B && f.data == std::vector<uint8_t>{4});

    MavProtoAttitudeGainWire_t gains{};
    for (int i = 0; i < 20; ++i)
        gains.gain[i] = uint16_t(1000 * i + 7);
    ASSERT_EQ(P::packWriteFixedStabilizeCtrlParamsFrame(f, 6, 200, gains), 50);
    EXPECT_TRUE(f.cmd == 0x04 && f.data == MavProtoHelper::recordBytes(gains)) << "wire records go out verbatim";

    // Neither basic writer hands a vehicle the station's own id.
    MavProtoBasicParams_t toStation;
    toStation.vehicleId = MAVPROTO_GCS_ID;
    MavProtoBasicParamsWire_t wireToStation{};
    wireToStation.vehicleId = MAVPROTO_GCS_ID;
    f = sentinelFrame();
    EXPECT_EQ(P::packWriteBasicParamsFrame(f, 6, 200, toStation), 0);
    EXPECT_EQ(P::packWriteBasicParamsFrame(f, 6, 200, wireToStation), 0);
    EXPECT_TRUE(isSentinel(f));
}

TEST(MavProtoParamsProcesser, ReplyDecodersTakeOnlyTheirCommandAtTheExactLength)
{
    struct Case {
        uint8_t cmd;
        size_t len;
        std::function<bool(const _MavPFrame_t&)> parse;
    };
    const std::vector<Case> cases = {
        {0x01, 48, keepsOutputOnFailure<MavProtoBasicParams_t>(P::parseReadBasicParamsAck)},
        {0x02, 40, keepsOutputOnFailure<MavProtoStabilizeCtrlParams_t>(P::parseReadStabilizeCtrlParamsAck)},
        {0x04, 40, keepsOutputOnFailure<MavProtoStabilizeCtrlParams_t>(P::parseReadFixedStabilizeCtrlParamsAck)},
        {0x03, 40, keepsOutputOnFailure<MavProtoPosCtrlParams_t>(P::parseReadPosCtrlParamsAck)},
        {0x05, 40, keepsOutputOnFailure<MavProtoPosCtrlParams_t>(P::parseReadFixedPosCtrlParamsAck)},
        {0x0F, 80, keepsOutputOnFailure<MavProtoResParams_t>(P::parseReadResParamsAck)},
        {0x0E, 20,
         [](const _MavPFrame_t& f) {
             std::string code = "old";
             const bool ok = P::parseReadVehicleCodeParamsAck(f, code);
             EXPECT_TRUE(ok || code == "old");
             return ok;
         }},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(P::readReplyDataLen(c.cmd), c.len) << int(c.cmd);
        for (size_t len : {size_t(0), size_t(1), c.len - 1, c.len, c.len + 1}) {
            _MavPFrame_t f;
            MavProtoHelper::packMavProtoFrame(f, 3, MAVPROTO_GCS_ID, 1, c.cmd, std::vector<uint8_t>(len, 0));
            EXPECT_EQ(c.parse(f), len == c.len) << "cmd " << int(c.cmd) << " length " << len;
        }
        _MavPFrame_t other;
        MavProtoHelper::packMavProtoFrame(other, 3, MAVPROTO_GCS_ID, 1, uint8_t(c.cmd + 0x10),
                                          std::vector<uint8_t>(c.len, 0));
        EXPECT_FALSE(c.parse(other)) << "cmd " << int(c.cmd) << " under another command";
    }
    EXPECT_EQ(P::readReplyDataLen(0x09), 0);
}

TEST(MavProtoParamsProcesser, VehicleCodeIsNulPaddedPrintableAscii)
{
    struct Case {
        std::string code;
        bool writable;  // station writer and vehicle decoder
        bool replyable;
    };
    const std::vector<Case> cases = {
        {"VC-2024-000123", true, true},
        {"ABCDEFGHIJKLMNOPQRST", true, true},  // exactly 20: no NUL at all
        {"ABCDEFGHIJKLMNOPQRSTU", false, false},
        {"", false, true},  // a vehicle without a code answers with 20 NULs
        {"with space ~", true, true},
        {std::string("A\0B", 3), false, false},
        {"tab\there", false, false},
        {"caf\xC3\xA9", false, false},
    };
    for (const auto& c : cases) {
        _MavPFrame_t w = sentinelFrame();
        EXPECT_EQ(P::packWriteVehicleCodeFrame(w, 4, 2, c.code) != 0, c.writable) << c.code;
        std::string decoded;
        if (c.writable) {
            std::vector<uint8_t> expected(20, 0);
            std::memcpy(expected.data(), c.code.data(), c.code.size());
            EXPECT_EQ(w.data, expected) << c.code;
            EXPECT_TRUE(P::parseWriteVehicleCodeFrame(w, decoded));
            EXPECT_EQ(decoded, c.code);
        } else {
            EXPECT_TRUE(isSentinel(w)) << c.code;
        }
        _MavPFrame_t r;
        EXPECT_EQ(P::packReadVehicleCodeAck(r, 4, 2, c.code) != 0, c.replyable) << c.code;
        if (c.replyable) {
            decoded = "stale";
            EXPECT_TRUE(P::parseReadVehicleCodeParamsAck(r, decoded));
            EXPECT_EQ(decoded, c.code);
        }
    }

    // Bytes after the first NUL are ignored; a non-ASCII byte before it refuses the reply; an
    // all-NUL write is no code at all.
    _MavPFrame_t f;
    std::vector<uint8_t> data(20, 0);
    std::memcpy(data.data(), "AB\0garbage", 10);
    MavProtoHelper::packMavProtoFrame(f, 4, MAVPROTO_GCS_ID, 2, MavCmd::VehicleCode, data);
    std::string decoded;
    EXPECT_TRUE(P::parseReadVehicleCodeParamsAck(f, decoded));
    EXPECT_EQ(decoded, "AB");
    f.data[1] = 0xFF;
    EXPECT_FALSE(P::parseReadVehicleCodeParamsAck(f, decoded));
    EXPECT_EQ(decoded, "AB");
    f.data.assign(20, 0);
    EXPECT_FALSE(P::parseWriteVehicleCodeFrame(f, decoded));
}

TEST(MavProtoParamsProcesser, CalibrationStepsAndAcknowledgements)
{
    using AckFn = uint16_t (*)(_MavPFrame_t&, uint8_t, uint8_t, uint8_t, uint8_t);
    const std::vector<std::tuple<uint8_t, ParseFn<uint8_t>, AckFn, ParseFn<MavProtoCaliAck_t>>> cases = {
        {MavCmd::AccCalibration, P::parseAccMeterCaliActionFrame, P::packAccMeterCaliAck, P::parseAccMeterCaliAck},
        {MavCmd::MagCalibration, P::parseMagCompassCaliActionFrame, P::packMagCompassCaliAck,
         P::parseMagCompassCaliAck},
    };
    for (const auto& [cmd, parseStep, packAck, parseAck] : cases) {
        _MavPFrame_t step, ack;
        MavProtoHelper::packMavProtoFrame(step, MAVPROTO_GCS_ID, 2, 8, cmd, {3});
        uint8_t got = 0;
        EXPECT_TRUE(parseStep(step, got) && got == 3) << int(cmd);
        step.data = {1, 2};
        EXPECT_FALSE(parseStep(step, got)) << int(cmd);
        step.cmd = MavCmd::ResetParams;
        step.data = {3};
        EXPECT_FALSE(parseStep(step, got)) << int(cmd);

        ASSERT_EQ(packAck(ack, 2, 8, 5, 3), 12);
        EXPECT_TRUE(ack.cmd == cmd && ack.tx_id == 2 && ack.rx_id == MAVPROTO_GCS_ID) << int(cmd);
        EXPECT_EQ(MavProtoHelper::parseMavProtoFrameResult(ack), 5) << "the queue judges the first byte";
        MavProtoCaliAck_t a{};
        EXPECT_TRUE(parseAck(ack, a) && a.result == 5 && a.step == 3) << int(cmd);
        ack.data = {6};
        EXPECT_FALSE(parseAck(ack, a));
        EXPECT_TRUE(a.result == 6 && a.step == 0) << int(cmd);
        ack.data.clear();
        EXPECT_FALSE(parseAck(ack, a));
        EXPECT_EQ(a.result, 0xFF);
        ack.cmd = MavCmd::ResetParams;
        ack.data = {0, 1};
        EXPECT_FALSE(parseAck(ack, a));
        EXPECT_EQ(a.result, 0xFF) << "a frame of another command leaves the ack alone";
    }
}
