#pragma once
// Hex text of frames and byte buffers for log lines. Callers check the log level first: these
// allocate, and the frame paths are hot.

#include "MavProtoDefs.h"
#include "MavProtoHelper.h"

#include <QByteArray>

#include <string>

namespace MavFrameHex {

inline std::string bytes(const uint8_t* data, size_t len)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(len * 3);
    for (size_t i = 0; i < len; ++i) {
        if (i)
            out.push_back(' ');
        out.push_back(digits[data[i] >> 4]);
        out.push_back(digits[data[i] & 0x0F]);
    }
    return out;
}

inline std::string bytes(const QByteArray& data)
{
    return bytes(reinterpret_cast<const uint8_t*>(data.constData()), size_t(data.size()));
}

inline std::string frame(const _MavPFrame_t& f)
{
    std::vector<uint8_t> out;
    MavProtoHelper::mavPFrameToSendBytes(out, f);
    return bytes(out.data(), out.size());
}

inline std::string frame(const MavPFramePtr& f)
{
    return f ? frame(*f) : std::string();
}

}  // namespace MavFrameHex
