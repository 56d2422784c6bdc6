#pragma once
// Frames as they travel on the wire, built with the protocol library's own packer. Header only:
// the support library does not link the protocol library, the tests that include this do.

#include "MavProtoHelper.h"

#include <QByteArray>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace testsupport {

inline QByteArray toWire(const _MavPFrame_t& frame)
{
    std::vector<uint8_t> out;
    MavProtoHelper::mavPFrameToSendBytes(out, frame);
    return QByteArray(reinterpret_cast<const char*>(out.data()), qsizetype(out.size()));
}

inline QByteArray wire(uint8_t tx, uint8_t rx, uint8_t seq, uint8_t cmd, const std::vector<uint8_t>& data = {})
{
    _MavPFrame_t f;
    MavProtoHelper::packMavProtoFrame(f, tx, rx, seq, cmd, data);
    return toWire(f);
}

// Through the wire bytes and back, as the other end sees it.
inline _MavPFrame_t overTheWire(const _MavPFrame_t& sent)
{
    std::vector<uint8_t> bytes;
    MavProtoHelper::mavPFrameToSendBytes(bytes, sent);
    _MavPFrame_t received;
    EXPECT_EQ(MavProtoHelper::parseMavProtoFrame(bytes.data(), unsigned(bytes.size()), received),
              MAVPROTO_PARSE_RESULT_OK);
    return received;
}

template <typename T>
bool sameBytes(const T& a, const T& b)
{
    return std::memcmp(&a, &b, sizeof(T)) == 0;
}

}  // namespace testsupport
