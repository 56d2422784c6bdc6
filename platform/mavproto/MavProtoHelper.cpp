#include "MavProtoHelper.h"

#include <array>

namespace {

constexpr std::array<uint16_t, 256> makeCrcTable()
{
    std::array<uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        uint16_t crc = uint16_t(i << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? uint16_t((crc << 1) ^ 0x1021) : uint16_t(crc << 1);
        table[i] = crc;
    }
    return table;
}

constexpr std::array<uint16_t, 256> kCrcTable = makeCrcTable();

}  // namespace

uint16_t MavProtoHelper::crc16(const uint8_t* data, size_t len, uint16_t crc)
{
    for (size_t i = 0; i < len; ++i)
        crc = uint16_t((crc << 8) ^ kCrcTable[((crc >> 8) ^ data[i]) & 0xFF]);
    return crc;
}

uint16_t MavProtoHelper::parseMavProtoFrame(const unsigned char* buf, unsigned int len, _MavPFrame_t& frame)
{
    if (len == 0 || buf == nullptr)
        return MAVPROTO_PARSE_RESULT_INCOMPLETE;
    if (buf[0] != MAVPROTO_HEAD0)
        return MAVPROTO_PARSE_RESULT_MOH_NOT_MATCH;
    if (len < 2)
        return MAVPROTO_PARSE_RESULT_INCOMPLETE;
    if (buf[1] != MAVPROTO_HEAD1)
        return MAVPROTO_PARSE_RESULT_MOH_NOT_MATCH;
    if (len < MAVPROTO_FRAME_OVERHEAD)
        return MAVPROTO_PARSE_RESULT_INCOMPLETE;

    const unsigned dataLen = unsigned(buf[6]) | (unsigned(buf[7]) << 8);
    if (len < dataLen + MAVPROTO_FRAME_OVERHEAD)
        return MAVPROTO_PARSE_RESULT_INCOMPLETE;

    const unsigned checkAt = MAVPROTO_HEADER_SIZE + dataLen;
    const uint16_t stored = uint16_t(buf[checkAt] | (buf[checkAt + 1] << 8));
    if (crc16(buf + 2, MAVPROTO_HEADER_SIZE - 2 + dataLen) != stored)
        return MAVPROTO_PARSE_RESULT_CRC_CHECK_ERR;

    frame.head[0] = buf[0];
    frame.head[1] = buf[1];
    frame.tx_id = buf[2];
    frame.rx_id = buf[3];
    frame.seq = buf[4];
    frame.cmd = buf[5];
    frame.data_len = uint16_t(dataLen);
    frame.data.assign(buf + MAVPROTO_HEADER_SIZE, buf + checkAt);
    return MAVPROTO_PARSE_RESULT_OK;
}

void MavProtoHelper::packMavProtoFrame(_MavPFrame_t& frame, uint8_t txId, uint8_t rxId, uint8_t seq, uint8_t cmd,
                                       const uint8_t* data, size_t len)
{
    frame.head[0] = MAVPROTO_HEAD0;
    frame.head[1] = MAVPROTO_HEAD1;
    frame.tx_id = txId;
    frame.rx_id = rxId;
    frame.seq = seq;
    frame.cmd = cmd;
    frame.data.assign(data, data + len);
    frame.data_len = uint16_t(len);
}

void MavProtoHelper::packMavProtoFrame(_MavPFrame_t& frame, uint8_t txId, uint8_t rxId, uint8_t seq, uint8_t cmd,
                                       const std::vector<uint8_t>& data)
{
    packMavProtoFrame(frame, txId, rxId, seq, cmd, data.data(), data.size());
}

uint16_t MavProtoHelper::mavPFrameToSendBytes(std::vector<uint8_t>& out, const _MavPFrame_t& frame)
{
    out.clear();
    const size_t dataLen = frame.data.size();
    if (dataLen > 0xFFFF - MAVPROTO_FRAME_OVERHEAD)
        return 0;
    out.resize(dataLen + MAVPROTO_FRAME_OVERHEAD);
    out[0] = MAVPROTO_HEAD0;
    out[1] = MAVPROTO_HEAD1;
    out[2] = frame.tx_id;
    out[3] = frame.rx_id;
    out[4] = frame.seq;
    out[5] = frame.cmd;
    out[6] = uint8_t(dataLen & 0xFF);
    out[7] = uint8_t(dataLen >> 8);
    if (dataLen > 0)
        std::memcpy(out.data() + MAVPROTO_HEADER_SIZE, frame.data.data(), dataLen);
    const uint16_t crc = crc16(out.data() + 2, MAVPROTO_HEADER_SIZE - 2 + dataLen);
    out[MAVPROTO_HEADER_SIZE + dataLen] = uint8_t(crc & 0xFF);
    out[MAVPROTO_HEADER_SIZE + dataLen + 1] = uint8_t(crc >> 8);
    return uint16_t(out.size());
}

uint8_t MavProtoHelper::parseMavProtoFrameResult(const _MavPFrame_t& frame)
{
    return frame.data.empty() ? uint8_t(0xFF) : frame.data[0];
}
