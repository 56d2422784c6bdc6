#pragma once
// Frames as they travel on the wire, built with the protocol library's own packer. Header only:
// the support library does not link the protocol library, the tests that include this do.

#include "MavProtoHelper.h"

#include <QByteArray>

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

}  // namespace testsupport
