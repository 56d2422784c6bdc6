#pragma once
// Frame codec: parse, pack, serialise, and read the result byte of an acknowledgement.
// The frame layout and the check are described in MavProtoDefs.h.

#include "MavProtoDefs.h"

#include <cstddef>
#include <cstring>
#include <type_traits>

class MavProtoHelper {
public:
    // Looks for a frame at the first byte of buf. On MAVPROTO_PARSE_RESULT_OK the frame is
    // filled; on any other result it is left untouched. The head is tested as far as the buffer
    // reaches, so a wrong first byte is reported even from a one-byte buffer.
    static uint16_t parseMavProtoFrame(const unsigned char* buf, unsigned int len, _MavPFrame_t& frame);

    // Fills the frame's head, ids, sequence, command, data and data length.
    static void packMavProtoFrame(_MavPFrame_t& frame, uint8_t txId, uint8_t rxId, uint8_t seq, uint8_t cmd,
                                  const std::vector<uint8_t>& data);
    static void packMavProtoFrame(_MavPFrame_t& frame, uint8_t txId, uint8_t rxId, uint8_t seq, uint8_t cmd,
                                  const uint8_t* data, size_t len);

    // Serialises the frame, check included, into out (replacing its contents); returns the byte
    // count (data length + 10), or 0 when the data does not fit a 16-bit length.
    static uint16_t mavPFrameToSendBytes(std::vector<uint8_t>& out, const _MavPFrame_t& frame);

    // Result byte of an acknowledgement: its first data byte. An acknowledgement without data
    // carries no result; it reads as 0xFF, which no vehicle uses and which maps to "error".
    static uint8_t parseMavProtoFrameResult(const _MavPFrame_t& frame);

    // CRC-16/CCITT-FALSE, table driven.
    static uint16_t crc16(const uint8_t* data, size_t len, uint16_t crc = 0xFFFF);

    // Copies a packed record out of a frame's data. Only the bytes present are copied; the rest
    // of the record is zero. Returns true when the data held the whole record.
    template <typename T>
    static bool readRecord(const _MavPFrame_t& frame, T& record)
    {
        static_assert(std::is_trivially_copyable_v<T>);
        std::memset(&record, 0, sizeof(T));
        const size_t n = frame.data.size() < sizeof(T) ? frame.data.size() : sizeof(T);
        if (n > 0)
            std::memcpy(&record, frame.data.data(), n);
        return frame.data.size() >= sizeof(T);
    }

    template <typename T>
    static std::vector<uint8_t> recordBytes(const T& record)
    {
        static_assert(std::is_trivially_copyable_v<T>);
        std::vector<uint8_t> bytes(sizeof(T));
        std::memcpy(bytes.data(), &record, sizeof(T));
        return bytes;
    }
};
