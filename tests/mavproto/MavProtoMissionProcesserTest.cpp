#include "MavProtoHelper.h"
#include "MavProtoMissionProcesser.h"

#include "FrameWire.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <type_traits>

namespace {

using testsupport::overTheWire;
using testsupport::sameBytes;

using P = MavProtoMissionProcesser;

// Every field set, the flag bits included, so that a byte out of place shows.
MavProtoWayPointData_t sampleWayPoint()
{
    return {.number = 7,
            .type = MAVPROTO_WP_HOVER,
            .lon = 113.9468123,
            .lat = -22.5431987,
            .alt = 35.25,
            .vel = 6.5f,
            .radius = 2.0f,
            .flags = 0x16,
            .hoverTime = 300,
            .nextWp = 8,
            .heading = 271.5f,
            .routeNumber = 4};
}

// The decoder gives back the very bytes that were packed (a station decoder with result 0).
template <typename T, typename Ok>
bool readsBack(const _MavPFrame_t& f, const T& packed, Ok (*parse)(const _MavPFrame_t&, T&))
{
    T r{};
    const Ok got = parse(f, r);
    const bool ok = std::is_same_v<Ok, bool> ? got != Ok{} : got == Ok{};
    return ok && sameBytes(r, packed);
}

}  // namespace

// Each request from the station's packer to the vehicle's decoder, and each download answer from
// the vehicle's packer to the station's decoder; one byte less and the vehicle refuses it.
TEST(MavProtoMission, RequestsAndAnswersRoundTripByteForByte)
{
    const MavProtoWayPointData_t wp = sampleWayPoint();
    const MavProtoUpWayPointBasicParam_t up{3, 12, 15, 4};
    const MavProtoDownWayPointBasicParam_t down{2, 9, 15, 4};
    const MavProtoDownWayPointDataReq_t req{9, 4};
    const uint8_t routeNumber = 4;
    struct Row {
        const char* name;
        uint8_t cmd;
        uint8_t txId, rxId;
        size_t dataLen;
        std::function<uint16_t(_MavPFrame_t&)> pack;
        std::function<bool(const _MavPFrame_t&)> readBack;  // the record came back the same
    };
    const std::vector<Row> rows = {
        {"upload basic", MavCmd::RouteUploadBasic, 0x81, 5, 4,
         [&](auto& f) { return P::packWayPointBasicParamsFrame(f, 5, 33, up); },
         [&](const auto& f) { return readsBack(f, up, &P::parseUpWayPointBasicParamsReq); }},
        {"upload waypoint", MavCmd::RouteUploadWaypoints, 0x81, 5, 56,
         [&](auto& f) { return P::packWayPointDataFrame(f, 5, 33, wp); },
         [&](const auto& f) { return readsBack(f, wp, &P::parseUpWayPointDataReq); }},
        {"download basic", MavCmd::RouteDownloadBasic, 0x81, 5, 1,
         [&](auto& f) { return P::packDownWayPointBasicParamsFrame(f, 5, 33, routeNumber); },
         [&](const auto& f) { return readsBack(f, routeNumber, &P::parseDownWayPointBasicParamsReq); }},
        {"download waypoint", MavCmd::RouteDownloadWaypoints, 0x81, 5, 2,
         [&](auto& f) { return P::packDownWayPointDataReqFrame(f, 5, 33, req); },
         [&](const auto& f) { return readsBack(f, req, &P::parseDownWayPointDataReq); }},
        {"download basic answer", MavCmd::RouteDownloadBasic, 5, 0x81, 5,
         [&](auto& f) { return P::packDownWayPointBasicParamsAck(f, 5, 33, 0, down); },
         [&](const auto& f) { return readsBack(f, down, &P::parseDownWayPointBasicParamsAck); }},
        {"download waypoint answer", MavCmd::RouteDownloadWaypoints, 5, 0x81, 57,
         [&](auto& f) { return P::packDownWayPointDataAck(f, 5, 33, 0, wp); },
         [&](const auto& f) { return readsBack(f, wp, &P::parseDownWayPointDataAck); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        _MavPFrame_t sent;
        EXPECT_EQ(row.pack(sent), row.dataLen + MAVPROTO_FRAME_OVERHEAD);
        _MavPFrame_t f = overTheWire(sent);
        EXPECT_EQ(f.cmd, row.cmd);
        EXPECT_EQ(f.tx_id, row.txId);
        EXPECT_EQ(f.rx_id, row.rxId);
        EXPECT_EQ(f.seq, 33);
        ASSERT_EQ(f.data.size(), row.dataLen);
        EXPECT_TRUE(row.readBack(f));
        f.data.pop_back();
        EXPECT_FALSE(row.readBack(f)) << "one byte short";
    }
}

// Answers that carry no usable record: a refusal is its result, a bare or cut 0 is too short.
TEST(MavProtoMission, ShortOrRefusedAnswersKeepTheRecord)
{
    const MavProtoWayPointData_t kept = sampleWayPoint();
    const MavProtoDownWayPointBasicParam_t keptBasic{1, 2, 3, 4};
    struct Row {
        std::vector<uint8_t> data;
        int basic, wayPoint;
    };
    const std::vector<Row> rows = {
        {{}, -2001, -2001},           {{8}, 8, 8},
        {{8, 1, 2, 3, 4}, 8, 8},      {{0}, -2001, -2001},
        {{0, 1, 2, 3}, -2001, -2001}, {std::vector<uint8_t>(56, 0), 0, -2001},  // result and 55 bytes of a waypoint
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.data.size() << " bytes");
        _MavPFrame_t f;
        MavProtoHelper::packMavProtoFrame(f, 5, MAVPROTO_GCS_ID, 1, MavCmd::RouteDownloadWaypoints, row.data);
        MavProtoWayPointData_t wp = kept;
        MavProtoDownWayPointBasicParam_t basic = keptBasic;
        EXPECT_EQ(P::parseDownWayPointBasicParamsAck(f, basic), row.basic);
        EXPECT_EQ(P::parseDownWayPointDataAck(f, wp), row.wayPoint);
        EXPECT_TRUE(sameBytes(wp, kept));
        EXPECT_TRUE(row.basic == 0 || sameBytes(basic, keptBasic));
    }
}

// Payloads as the vehicle reads them, written byte by byte from the record's offsets: a field
// moved, resized or reordered in the record shows here even when pack and parse agree.
TEST(MavProtoMission, PayloadsHaveTheirFixedLayout)
{
    const MavProtoWayPointData_t wp{.number = 7,
                                    .type = MAVPROTO_WP_HOVER,
                                    .lon = 113.5,
                                    .lat = -22.25,
                                    .alt = 35.25,
                                    .vel = 6.5f,
                                    .radius = 2.0f,
                                    .flags = 0x16,
                                    .hoverTime = 300,
                                    .nextWp = 8,
                                    .heading = 271.5f,
                                    .routeNumber = 4};
    const std::vector<uint8_t> wayPointBytes = {
        0x07, 0,    0,    0,  // 0 number, 3 bytes padding
        0x23, 0x00, 0x00, 0x00,  // 4 type 35, 32 bits
        0x00, 0x00, 0x00, 0x00, 0x00, 0x60, 0x5C, 0x40,  // 8 lon 113.5
        0x00, 0x00, 0x00, 0x00, 0x00, 0x40, 0x36, 0xC0,  // 16 lat -22.25
        0x00, 0x00, 0x00, 0x00, 0x00, 0xA0, 0x41, 0x40,  // 24 alt 35.25
        0x00, 0x00, 0xD0, 0x40,  // 32 vel 6.5
        0x00, 0x00, 0x00, 0x40,  // 36 radius 2
        0x16, 0x00,  // 40 flags, padding
        0x2C, 0x01,  // 42 hover time 300
        0x08, 0,    0,    0,  // 44 nextWp, padding
        0x00, 0xC0, 0x87, 0x43,  // 48 heading 271.5
        0x04, 0,    0,    0,  // 52 route number, padding
    };
    struct Row {
        const char* name;
        std::function<uint16_t(_MavPFrame_t&)> pack;
        std::vector<uint8_t> payload;
    };
    const std::vector<Row> rows = {
        {"upload waypoint", [&](auto& f) { return P::packWayPointDataFrame(f, 5, 33, wp); }, wayPointBytes},
        {"upload basic",
         [](auto& f) {
             return P::packWayPointBasicParamsFrame(f, 5, 33, {3, 12, 15, 4});
         },
         {3, 12, 15, 4}},
        {"download basic", [](auto& f) { return P::packDownWayPointBasicParamsFrame(f, 5, 33, 4); }, {4}},
        {"download waypoint",
         [](auto& f) {
             return P::packDownWayPointDataReqFrame(f, 5, 33, {9, 4});
         },
         {9, 4}},
    };
    for (const Row& row : rows) {
        _MavPFrame_t sent;
        row.pack(sent);
        EXPECT_EQ(overTheWire(sent).data, row.payload) << row.name;
    }
}
