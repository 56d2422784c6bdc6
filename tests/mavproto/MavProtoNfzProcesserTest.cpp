#include "MavProtoHelper.h"
#include "MavProtoNfzProcesser.h"

#include "FrameWire.h"

#include <gtest/gtest.h>

#include <cstring>

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

// Station packer -> wire -> vehicle decoder for every request: sizes as documented, each field
// back in place (the bind's coordinates swapped on the wire), one byte short refused.
TEST(MavProtoNfz, RequestsRoundTripAndShortPayloadsAreRefused)
{
    const MavProtoNfzTotalCount_t totals{3, 300};
    MavProtoNfzZoneData_t zone{2, {}};
    for (int i = 0; i < 255; ++i)
        zone.vertices.push_back({22.5 + i * 1e-6, -113.9 - i * 1e-6});
    const MavProtoNfzUpdateTime_t time{2026, 1, 2, 3, 4, 5};
    MavProtoManualNfzBind_t bind;
    for (uint8_t i = 0; i < 4; ++i)
        bind.entries[i] = {uint8_t(i + 1), {10.0 + i, 100.0 + i}};

    struct Row {
        const char* name;
        uint16_t (*pack)(_MavPFrame_t&, const void*);
        const void* record;
        size_t dataLen;
        bool (*readsBack)(const _MavPFrame_t&, const void*);
    };
    const Row rows[] = {
        {"totals", [](_MavPFrame_t& f, const void* r) { return P::packNfzTotalCountFrame(f, 1, 9, *static_cast<const MavProtoNfzTotalCount_t*>(r)); },
         &totals, 4,
         [](const _MavPFrame_t& f, const void* r) {
             MavProtoNfzTotalCount_t out;
             return P::parseNfzTotalCountReq(f, out) && sameBytes(out, *static_cast<const MavProtoNfzTotalCount_t*>(r));
         }},
        {"zone", [](_MavPFrame_t& f, const void* r) { return P::packNfzZoneDataFrame(f, 1, 9, *static_cast<const MavProtoNfzZoneData_t*>(r)); },
         &zone, 3 + 255 * 16,
         [](const _MavPFrame_t& f, const void* r) {
             const auto& in = *static_cast<const MavProtoNfzZoneData_t*>(r);
             MavProtoNfzZoneData_t out;
             return P::parseNfzZoneDataReq(f, out) && out.zoneIndex == in.zoneIndex &&
                    out.vertices.size() == in.vertices.size() &&
                    std::memcmp(out.vertices.data(), in.vertices.data(), in.vertices.size() * 16) == 0;
         }},
        {"update time", [](_MavPFrame_t& f, const void* r) { return P::packNfzUpdateTimeFrame(f, 1, 9, *static_cast<const MavProtoNfzUpdateTime_t*>(r)); },
         &time, 7,
         [](const _MavPFrame_t& f, const void* r) {
             MavProtoNfzUpdateTime_t out;
             return P::parseNfzUpdateTimeReq(f, out) && sameBytes(out, *static_cast<const MavProtoNfzUpdateTime_t*>(r));
         }},
        {"bind", [](_MavPFrame_t& f, const void* r) { return P::packManualNfzBindFrame(f, 1, 9, *static_cast<const MavProtoManualNfzBind_t*>(r)); },
         &bind, 69,
         [](const _MavPFrame_t& f, const void* r) {
             const auto& in = *static_cast<const MavProtoManualNfzBind_t*>(r);
             MavProtoManualNfzBind_t out;
             double firstOnWire = 0;
             std::memcpy(&firstOnWire, f.data.data() + 2, 8);
             bool same = P::parseManualNfzBindReq(f, out) && out.lead == 1 && firstOnWire == in.entries[0].vertex.lon;
             for (size_t i = 0; i < 4; ++i)
                 same = same && out.entries[i].number == in.entries[i].number &&
                        sameBytes(out.entries[i].vertex, in.entries[i].vertex);
             return same;
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        _MavPFrame_t sent;
        EXPECT_EQ(row.pack(sent, row.record), row.dataLen + MAVPROTO_FRAME_OVERHEAD);
        _MavPFrame_t got = overTheWire(sent);
        EXPECT_TRUE(row.readsBack(got, row.record));
        got.data.pop_back();
        EXPECT_FALSE(row.readsBack(got, row.record)) << "one byte short";
    }
    _MavPFrame_t untouched;
    EXPECT_EQ(P::packNfzZoneDataFrame(untouched, 1, 9, {0, {}}), 0) << "a zone without vertices";
    zone.vertices.push_back({});
    EXPECT_EQ(P::packNfzZoneDataFrame(untouched, 1, 9, zone), 0) << "256 vertices";
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
