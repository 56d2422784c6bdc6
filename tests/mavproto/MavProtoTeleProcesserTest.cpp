#include "MavProtoHelper.h"
#include "MavProtoTeleProcesser.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

namespace {

// One telemetry record kind, seen through raw bytes so every kind runs through the same checks.
struct RecordKind {
    std::string name;
    uint8_t cmd;
    size_t size;
    std::function<uint16_t(_MavPFrame_t&, uint8_t, uint8_t, const std::vector<uint8_t>&)> pack;
    std::function<bool(const _MavPFrame_t&, std::vector<uint8_t>&)> parse;
};

template <typename T, auto Pack, auto Parse>
RecordKind kind(const std::string& name, uint8_t cmd)
{
    RecordKind k{name, cmd, sizeof(T), {}, {}};
    k.pack = [](_MavPFrame_t& f, uint8_t id, uint8_t seq, const std::vector<uint8_t>& bytes) {
        T record;
        std::memcpy(&record, bytes.data(), sizeof(T));
        return Pack(f, id, seq, record);
    };
    k.parse = [](const _MavPFrame_t& f, std::vector<uint8_t>& out) {
        T record;
        std::memset(&record, 0xCD, sizeof(T));  // stale content must not survive a parse
        const bool whole = Parse(f, record);
        out = MavProtoHelper::recordBytes(record);
        return whole;
    };
    return k;
}

std::vector<RecordKind> allKinds()
{
    using P = MavProtoTeleProcesser;
    return {
        kind<MavProtoAhrsData_t, P::packAhrsDataPFrame, P::parseAhrsData>("ahrs", 0x21),
        kind<MavProtoPosData_t, P::packPosDataPFrame, P::parsePosData>("position", 0x22),
        kind<MavProtoTargetStabilizeData_t, P::packTargetStabilizeDataPFrame, P::parseTargetStabilizeData>(
            "target stabilise", 0x23),
        kind<MavProtoRCData_t, P::packRCDataPFrame, P::parseRCData>("rc", 0x24),
        kind<MavProtoFlightStatusData_t, P::packFlightStatusDataPFrame, P::parseFlightStatusData>("flight status",
                                                                                                  0x25),
        kind<MavProtoComprehensiveData_t, P::packComprehensiveDataPFrame, P::parseComprehensiveData>("comprehensive",
                                                                                                     0x26),
        kind<MavProtoResData_t, P::packResDataPFrame, P::parseResData>("reserved", 0x2F),
    };
}

std::vector<uint8_t> pattern(size_t n)
{
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i)
        bytes[i] = uint8_t(i * 7 + 3);
    return bytes;
}

_MavPFrame_t withData(std::vector<uint8_t> data)
{
    _MavPFrame_t f;
    MavProtoHelper::packMavProtoFrame(f, 5, MAVPROTO_GCS_ID, 1, 0x21, data);
    return f;
}

}  // namespace

TEST(MavProtoTeleProcesser, EveryRecordSurvivesPackSerialiseParse)
{
    for (const auto& k : allKinds()) {
        const auto bytes = pattern(k.size);
        _MavPFrame_t out;
        EXPECT_EQ(k.pack(out, 7, 42, bytes), k.size + 10) << k.name;
        std::vector<uint8_t> wire;
        ASSERT_EQ(MavProtoHelper::mavPFrameToSendBytes(wire, out), k.size + 10) << k.name;
        // The record sits verbatim after the 8-byte header.
        EXPECT_EQ(std::vector<uint8_t>(wire.begin() + 8, wire.end() - 2), bytes) << k.name;

        _MavPFrame_t in;
        ASSERT_EQ(MavProtoHelper::parseMavProtoFrame(wire.data(), unsigned(wire.size()), in), MAVPROTO_PARSE_RESULT_OK)
            << k.name;
        EXPECT_EQ(in.tx_id, 7) << k.name;
        EXPECT_EQ(in.rx_id, MAVPROTO_GCS_ID) << k.name;
        EXPECT_EQ(in.seq, 42) << k.name;
        EXPECT_EQ(in.cmd, k.cmd) << k.name;
        std::vector<uint8_t> parsed;
        EXPECT_TRUE(k.parse(in, parsed)) << k.name;
        EXPECT_EQ(parsed, bytes) << k.name;
    }
}

TEST(MavProtoTeleProcesser, ShortFramesCopyWhatIsPresentAndZeroTheRest)
{
    for (const auto& k : allKinds()) {
        const auto full = pattern(k.size + 4);
        for (size_t present : {size_t(0), size_t(1), k.size / 2, k.size - 1, k.size, k.size + 4}) {
            std::vector<uint8_t> parsed;
            const bool whole = k.parse(withData({full.begin(), full.begin() + present}), parsed);
            EXPECT_EQ(whole, present >= k.size) << k.name << " with " << present << " bytes";
            ASSERT_EQ(parsed.size(), k.size);
            for (size_t i = 0; i < k.size; ++i) {
                ASSERT_EQ(parsed[i], i < present ? full[i] : 0) << k.name << " byte " << i << " of " << present;
            }
        }
    }
}

TEST(MavProtoTeleProcesser, StateByteEncodesEachStateInItsBits)
{
    struct Case {
        MavProtoComprehensiveStateBits_t states;
        uint8_t expected;
    };
    // Any fix counts as positioned; unknown battery codes saturate and never reach bit 7.
    const std::vector<Case> cases = {
        {{0, 0, 0, 0, 0, 0}, 0x00}, {{1, 0, 0, 0, 0, 0}, 0x01}, {{0, 3, 0, 0, 0, 0}, 0x02}, {{0, 0, 1, 0, 0, 0}, 0x04},
        {{0, 0, 0, 1, 0, 0}, 0x08}, {{0, 0, 0, 0, 1, 0}, 0x10}, {{0, 0, 0, 0, 0, 1}, 0x20}, {{0, 0, 0, 0, 0, 2}, 0x40},
        {{0, 0, 0, 0, 0, 9}, 0x60}, {{1, 1, 1, 1, 1, 2}, 0x5F},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MavProtoTeleProcesser::encodeComprehensiveStateByte(c.states), c.expected)
            << "rc " << int(c.states.rcState) << " pos " << int(c.states.positionState) << " battery "
            << int(c.states.batteryState);
    }
}

TEST(MavProtoTeleProcesser, RequestAllIsAnEmptyStationFrame)
{
    _MavPFrame_t f;
    f.seq = 9;
    EXPECT_EQ(MavProtoTeleProcesser::packRequestAllTelePFrame(f, 12), 10);
    std::vector<uint8_t> wire;
    ASSERT_EQ(MavProtoHelper::mavPFrameToSendBytes(wire, f), 10);
    const std::vector<uint8_t> head = {0xEB, 0x90, 0x81, 12, 0, 0x20, 0, 0};
    EXPECT_EQ(std::vector<uint8_t>(wire.begin(), wire.begin() + 8), head);
}
