#include "MavProtoFirmwareProcesser.h"
#include "MavProtoHelper.h"

#include "FrameWire.h"

#include <gtest/gtest.h>

namespace {

using testsupport::overTheWire;
using testsupport::sameBytes;

using P = MavProtoFirmwareProcesser;
using Bytes = std::vector<uint8_t>;

}  // namespace

// Each frame's exact payload, then what the other end reads from it.
TEST(MavProtoFirmwareProcesser, FramesCarryTheirPayloadLittleEndian)
{
    Bytes image(512);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = uint8_t(i * 7);
    struct Row {
        const char* name;
        std::function<uint16_t(_MavPFrame_t&)> pack;
        uint8_t cmd, tx, seq;
        Bytes payload;  // empty: not compared (the data frame is checked below)
    };
    const std::vector<Row> rows = {
        {"reset", [](auto& f) { return P::packResetCommandPFrame(f, 5, 9); }, 0xA1, 0x81, 9, {}},
        {"info",
         [](auto& f) { return P::packFirmInfoPFrame(f, 5, 9, 0x0201, 0x04030201); },
         0xA2,
         0x81,
         9,
         {0x01, 0x02, 0x01, 0x02, 0x03, 0x04}},
        {"data ack", [](auto& f) { return P::packFirmDataAck(f, 5, 9, 1, 0x0302); }, 0xA3, 5, 9, {1, 0x02, 0x03}},
        {"final ack", [](auto& f) { return P::packFinalAck(f, 5, 4); }, 0xA4, 5, 0, {4}},
        {"data", [&](auto& f) { return P::packFirmDataPFrame(f, 5, 9, 0x0102, image.data(), 512); }, 0xA3, 0x81, 9, {}},
    };
    for (const auto& r : rows) {
        _MavPFrame_t sent;
        const uint16_t len = r.pack(sent);
        const _MavPFrame_t got = overTheWire(sent);
        EXPECT_EQ(len, got.data.size() + MAVPROTO_FRAME_OVERHEAD) << r.name;
        EXPECT_EQ(got.cmd, r.cmd) << r.name;
        EXPECT_EQ(got.tx_id, r.tx) << r.name;
        EXPECT_EQ(got.seq, r.seq) << r.name;
        if (r.cmd != 0xA3 || r.tx != 0x81) {
            EXPECT_EQ(got.data, r.payload) << r.name;
        }
    }

    _MavPFrame_t f;
    P::packFirmDataPFrame(f, 5, 9, 0x0102, image.data(), 512);
    uint16_t index = 0;
    Bytes data;
    ASSERT_TRUE(P::parseFirmDataReq(overTheWire(f), index, data));
    EXPECT_EQ(index, 0x0102);
    EXPECT_EQ(data, image);
    P::packFirmInfoPFrame(f, 5, 9, 2049, 1048577);
    uint16_t count = 0;
    uint32_t size = 0;
    ASSERT_TRUE(P::parseFirmInfoReq(overTheWire(f), count, size));
    EXPECT_EQ(count, 2049);
    EXPECT_EQ(size, 1048577u);
}

// Slices the packer refuses and payloads the vehicle refuses, with the frame counts of sizes.
TEST(MavProtoFirmwareProcesser, RefusesBadSlicesAndPayloads)
{
    const Bytes big(513, 1);
    _MavPFrame_t f;
    EXPECT_EQ(P::packFirmDataPFrame(f, 1, 1, 0, big.data(), 0), 0);
    EXPECT_EQ(P::packFirmDataPFrame(f, 1, 1, 0, big.data(), 513), 0);
    EXPECT_EQ(P::packFirmDataPFrame(f, 1, 1, 0, nullptr, 1), 0);
    uint16_t index = 0, count = 0;
    uint32_t size = 0;
    Bytes data;
    for (const Bytes& payload : {Bytes{}, Bytes{1, 0}, Bytes(515, 0)}) {
        f.data = payload;
        EXPECT_FALSE(P::parseFirmDataReq(f, index, data)) << payload.size();
        EXPECT_FALSE(P::parseFirmInfoReq(f, count, size)) << payload.size();
    }
    const std::pair<uint32_t, uint32_t> counts[] = {{1, 1}, {512, 1}, {1024, 2}, {1025, 3}, {102400, 200}};
    for (const auto& [bytes, frames] : counts)
        EXPECT_EQ(P::frameCount(bytes), frames) << bytes;
}
