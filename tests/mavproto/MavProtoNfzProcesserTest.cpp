#include "MavProtoHelper.h"
#include "MavProtoNfzProcesser.h"

#include "FrameWire.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

namespace {

using testsupport::overTheWire;
using testsupport::sameBytes;

using P = MavProtoNfzProcesser;

_MavPFrame_t ack(uint8_t cmd, std::vector<uint8_t> data)
{
    _MavPFrame_t f;
    MavProtoHelper::packMavProtoFrame(f, 1, MAVPROTO_GCS_ID, 5, cmd, data);
    return f;
}

}  // namespace

// Each request's payload byte for byte (doubles little-endian IEEE 754), then what the vehicle
// decodes from those bytes; one byte short is refused.
TEST(MavProtoNfz, RequestsCarryTheirPayloadAndDecodeFromIt)
{
    using Bytes = std::vector<uint8_t>;
    const Bytes one{0, 0, 0, 0, 0, 0, 0xF0, 0x3F}, minus2p5{0, 0, 0, 0, 0, 0, 0x04, 0xC0},
        d22p5{0, 0, 0, 0, 0, 0x80, 0x36, 0x40}, half{0, 0, 0, 0, 0, 0, 0xE0, 0x3F};
    auto cat = [](std::initializer_list<Bytes> parts) {
        Bytes out;
        for (const auto& p : parts)
            out.insert(out.end(), p.begin(), p.end());
        return out;
    };
    const MavProtoNfzTotalCount_t totals{3, 300};
    const MavProtoNfzZoneData_t zone{0x0102, {{1.0, -2.5}, {22.5, 0.5}}};
    const MavProtoNfzUpdateTime_t time{2026, 1, 2, 3, 4, 5};
    MavProtoManualNfzBind_t bind;
    bind.entries = {{{1, {1.0, 0.5}}, {2, {22.5, -2.5}}, {3, {-2.5, 1.0}}, {4, {0.5, 22.5}}}};
    struct Row {
        const char* name;
        uint8_t cmd;
        std::function<uint16_t(_MavPFrame_t&)> pack;
        Bytes payload;
        std::function<bool(const _MavPFrame_t&)> decodes;  // to the record packed
    };
    const std::vector<Row> rows = {
        {"totals",
         MavCmd::NfzCount,
         [&](auto& f) { return P::packNfzTotalCountFrame(f, 1, 9, totals); },
         {0x03, 0x00, 0x2C, 0x01},
         [&](const auto& f) {
             MavProtoNfzTotalCount_t out;
             return P::parseNfzTotalCountReq(f, out) && sameBytes(out, totals);
         }},
        {"zone", MavCmd::NfzZone, [&](auto& f) { return P::packNfzZoneDataFrame(f, 1, 9, zone); },
         cat({{0x02, 0x01, 0x02}, one, minus2p5, d22p5, half}),
         [&](const auto& f) {
             MavProtoNfzZoneData_t out;
             return P::parseNfzZoneDataReq(f, out) && out.zoneIndex == 0x0102 && out.vertices.size() == 2 &&
                    std::memcmp(out.vertices.data(), zone.vertices.data(), 32) == 0;
         }},
        {"update time",
         MavCmd::NfzUpdateTime,
         [&](auto& f) { return P::packNfzUpdateTimeFrame(f, 1, 9, time); },
         {0xEA, 0x07, 1, 2, 3, 4, 5},
         [&](const auto& f) {
             MavProtoNfzUpdateTime_t out;
             return P::parseNfzUpdateTimeReq(f, out) && sameBytes(out, time);
         }},
        {"bind (longitude first)", MavCmd::ManualNfzBind,
         [&](auto& f) { return P::packManualNfzBindFrame(f, 1, 9, bind); },
         cat({{1, 1}, half, one, {2}, minus2p5, d22p5, {3}, one, minus2p5, {4}, d22p5, half}),
         [&](const auto& f) {
             MavProtoManualNfzBind_t out;
             bool same = P::parseManualNfzBindReq(f, out) && out.lead == 1;
             for (size_t i = 0; i < 4; ++i)
                 same =
                     same && out.entries[i].number == i + 1 && sameBytes(out.entries[i].vertex, bind.entries[i].vertex);
             return same;
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        _MavPFrame_t sent;
        EXPECT_EQ(row.pack(sent), row.payload.size() + MAVPROTO_FRAME_OVERHEAD);
        const _MavPFrame_t got = overTheWire(sent);
        EXPECT_EQ(got.cmd, row.cmd);
        EXPECT_EQ(got.data, row.payload);
        _MavPFrame_t fixed = ack(row.cmd, row.payload);
        EXPECT_TRUE(row.decodes(fixed));
        fixed.data.pop_back();
        EXPECT_FALSE(row.decodes(fixed)) << "one byte short";
    }
    _MavPFrame_t untouched;
    EXPECT_EQ(P::packNfzZoneDataFrame(untouched, 1, 9, {0, {}}), 0) << "a zone without vertices";
    EXPECT_EQ(P::packNfzZoneDataFrame(untouched, 1, 9, {0, std::vector<MavProtoNfzVertex_t>(255)}),
              3 + 255 * 16 + MAVPROTO_FRAME_OVERHEAD);
    EXPECT_EQ(P::packNfzZoneDataFrame(untouched, 1, 9, {0, std::vector<MavProtoNfzVertex_t>(256)}), 0)
        << "256 vertices";
}

// Answers: the result byte, and for a zone the status word after it.
TEST(MavProtoNfz, AcksGiveResultAndStatusWord)
{
    struct Row {
        std::vector<uint8_t> data;
        int result;
        uint16_t status;
    };
    const Row rows[] = {
        {{0, 0, 0}, 0, 0}, {{0, 0x34, 0x12}, 0, 0x1234}, {{9, 0, 0}, 9, 0}, {{0}, 0, 0}, {{}, 0xFF, 0},
    };
    for (const Row& row : rows) {
        MavProtoNfzZoneDataAck_t out{0xBEEF};
        EXPECT_EQ(P::parseNfzZoneDataAck(ack(MavCmd::NfzZone, row.data), out), row.result);
        EXPECT_EQ(out.statusWord, row.status);
        EXPECT_EQ(P::parseNfzTotalCountAck(ack(MavCmd::NfzCount, row.data)), row.result);
    }
}
