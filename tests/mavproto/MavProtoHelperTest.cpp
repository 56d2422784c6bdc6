#include "MavProtoCtrlCmdProcesser.h"
#include "MavProtoHelper.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::vector<uint8_t> frameBytes(uint8_t tx, uint8_t rx, uint8_t seq, uint8_t cmd, std::vector<uint8_t> data)
{
    _MavPFrame_t f;
    MavProtoHelper::packMavProtoFrame(f, tx, rx, seq, cmd, data);
    std::vector<uint8_t> out;
    MavProtoHelper::mavPFrameToSendBytes(out, f);
    return out;
}

}  // namespace

TEST(MavProtoHelper, CrcIsCcittFalse)
{
    const std::string check = "123456789";
    EXPECT_EQ(MavProtoHelper::crc16(reinterpret_cast<const uint8_t*>(check.data()), check.size()), 0x29B1);
    EXPECT_EQ(MavProtoHelper::crc16(nullptr, 0), 0xFFFF);
}

TEST(MavProtoHelper, WireLayoutIsLittleEndianWithTrailingCheck)
{
    const auto bytes = frameBytes(0x81, 0x05, 7, 0x81, {0x34, 0x12, 9});
    ASSERT_EQ(bytes.size(), 13u);
    const std::vector<uint8_t> head = {0xEB, 0x90, 0x81, 0x05, 7, 0x81, 3, 0};
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 8), head);
    const uint16_t crc = MavProtoHelper::crc16(bytes.data() + 2, 6 + 3);
    EXPECT_EQ(bytes[11], crc & 0xFF);
    EXPECT_EQ(bytes[12], crc >> 8);
}

TEST(MavProtoHelper, ParseResultsForEveryKindOfInput)
{
    const auto good = frameBytes(3, 0x81, 9, 0x25, std::vector<uint8_t>(300, 0xAB));
    auto badCrc = good;
    badCrc[20] ^= 0x01;
    auto badCheckByte = good;
    badCheckByte.back() ^= 0x80;

    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        uint16_t expected;
    };
    const std::vector<Case> cases = {
        {"empty", {}, MAVPROTO_PARSE_RESULT_INCOMPLETE},
        {"first byte not head", {0x00, 0xEB, 0x90}, MAVPROTO_PARSE_RESULT_MOH_NOT_MATCH},
        {"lone first head byte", {0xEB}, MAVPROTO_PARSE_RESULT_INCOMPLETE},
        {"second byte not head", {0xEB, 0x91, 0, 0, 0, 0, 0, 0, 0, 0}, MAVPROTO_PARSE_RESULT_MOH_NOT_MATCH},
        {"header only", std::vector<uint8_t>(good.begin(), good.begin() + 9), MAVPROTO_PARSE_RESULT_INCOMPLETE},
        {"one byte short", std::vector<uint8_t>(good.begin(), good.end() - 1), MAVPROTO_PARSE_RESULT_INCOMPLETE},
        {"data corrupted", badCrc, MAVPROTO_PARSE_RESULT_CRC_CHECK_ERR},
        {"check corrupted", badCheckByte, MAVPROTO_PARSE_RESULT_CRC_CHECK_ERR},
        {"whole frame", good, MAVPROTO_PARSE_RESULT_OK},
    };
    for (const auto& c : cases) {
        _MavPFrame_t f;
        f.cmd = 0x77;
        EXPECT_EQ(MavProtoHelper::parseMavProtoFrame(c.bytes.data(), unsigned(c.bytes.size()), f), c.expected)
            << c.name;
        if (c.expected != MAVPROTO_PARSE_RESULT_OK) {
            EXPECT_EQ(f.cmd, 0x77) << c.name << ": frame must stay untouched";
        }
    }

    // Trailing bytes after a frame do not matter: the frame is found at the front.
    auto withTail = good;
    withTail.insert(withTail.end(), {0xEB, 0x90, 1});
    _MavPFrame_t f;
    ASSERT_EQ(MavProtoHelper::parseMavProtoFrame(withTail.data(), unsigned(withTail.size()), f),
              MAVPROTO_PARSE_RESULT_OK);
    EXPECT_EQ(f.tx_id, 3);
    EXPECT_EQ(f.rx_id, 0x81);
    EXPECT_EQ(f.seq, 9);
    EXPECT_EQ(f.cmd, 0x25);
    EXPECT_EQ(f.data_len, 300);
    EXPECT_EQ(f.data, std::vector<uint8_t>(300, 0xAB));
}

TEST(MavProtoHelper, ResultByteAndRecordReading)
{
    _MavPFrame_t ack;
    MavProtoCtrlCmdProcesser::packAckPFrame(ack, 4, 12, 0x84, 6, {1, 2});
    EXPECT_EQ(MavProtoHelper::parseMavProtoFrameResult(ack), 6);
    _MavPFrame_t empty;
    EXPECT_EQ(MavProtoHelper::parseMavProtoFrameResult(empty), 0xFF);

    // A short payload fills what it has and zeroes the rest.
    _MavPFrame_t shortFrame;
    MavProtoHelper::packMavProtoFrame(shortFrame, 1, 0x81, 0, 0x81, {0x10});
    MavProtoTakeOffParams_t rec{0xFFFF, 0xFF};
    EXPECT_FALSE(MavProtoHelper::readRecord(shortFrame, rec));
    EXPECT_EQ(rec.alt, 0x10);
    EXPECT_EQ(rec.vel, 0);
}

// Payloads with content: formation start and cancel share a command, take-off is little-endian.
TEST(MavProtoCtrlCmd, PackersFillTheirPayload)
{
    _MavPFrame_t f;
    EXPECT_EQ(MavProtoCtrlCmdProcesser::packFormationStartPFrame(f, 5, 200), 11);
    EXPECT_TRUE(f.cmd == 0x87 && f.data == std::vector<uint8_t>{1});
    EXPECT_EQ(MavProtoCtrlCmdProcesser::packFormationCancelPFrame(f, 5, 200), 11);
    EXPECT_TRUE(f.cmd == 0x87 && f.data == std::vector<uint8_t>{0});
    EXPECT_EQ(MavProtoCtrlCmdProcesser::packTakeOffPFrame(f, 1, 2, {300, 5}), 13);
    EXPECT_TRUE(f.tx_id == 0x81 && f.rx_id == 1 && f.seq == 2 && f.data_len == 3);
    EXPECT_EQ(f.data, (std::vector<uint8_t>{0x2C, 0x01, 5}));
}

TEST(MavProtoCtrlCmd, ReturnPayloadRoundsAltitudeToTenthsAndClamps)
{
    struct Case {
        double lat, lon;
        float alt;
        double expLat, expLon, expAlt;
    };
    const std::vector<Case> cases = {
        {22.5431234, 113.9876543, 12.36f, 22.5431234, 113.9876543, 12.4},
        {-33.9, -151.2, -3.25f, -33.9, -151.2, -3.3},
        {90.0, -180.0, 3276.7f, 90.0, -180.0, 3276.7},
        {0, 0, 5000.0f, 0, 0, 3276.7},  // beyond the int16 wire range: clamped
    };
    for (const auto& c : cases) {
        _MavPFrame_t f;
        EXPECT_EQ(MavProtoCtrlCmdProcesser::packReturnPFrame(f, 9, 1, {c.lat, c.lon, c.alt}), 22);
        EXPECT_EQ(f.cmd, 0x85);
        MavProtoReturnParams_t back{};
        ASSERT_TRUE(MavProtoCtrlCmdProcesser::parseReturnParams(f, back));
        EXPECT_NEAR(back.lat, c.expLat, 1e-7);
        EXPECT_NEAR(back.lon, c.expLon, 1e-7);
        EXPECT_NEAR(back.alt, c.expAlt, 1e-3);
    }
}
