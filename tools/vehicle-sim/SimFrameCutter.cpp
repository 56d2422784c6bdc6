#include "SimFrameCutter.h"

#include "MavProtoHelper.h"

#include <spdlog/spdlog.h>

void SimFrameCutter::feed(const QByteArray& bytes, const FrameHandler& onFrame)
{
    m_buffer.append(bytes);

    qsizetype pos = 0;
    quint64 skipped = 0;
    _MavPFrame_t frame;
    while (m_buffer.size() - pos >= qsizetype(MAVPROTO_FRAME_OVERHEAD)) {
        const auto* base = reinterpret_cast<const unsigned char*>(m_buffer.constData());
        const uint16_t result = MavProtoHelper::parseMavProtoFrame(base + pos, unsigned(m_buffer.size() - pos), frame);
        if (result == MAVPROTO_PARSE_RESULT_OK) {
            const qsizetype n = qsizetype(frame.data_len) + MAVPROTO_FRAME_OVERHEAD;
            const QByteArray wire = m_buffer.mid(pos, n);
            pos += n;
            ++m_stats.frames;
            onFrame(wire, frame);
        } else if (result == MAVPROTO_PARSE_RESULT_MOH_NOT_MATCH) {
            ++pos;
            ++skipped;
        } else if (result == MAVPROTO_PARSE_RESULT_CRC_CHECK_ERR) {
            pos += 2;
            ++m_stats.crcErrors;
            spdlog::warn("<VehicleSim> received frame failed its check, skipping 2 bytes");
        } else {
            break;
        }
    }
    m_buffer.remove(0, pos);

    // One line per chunk: garbage can be long and a line per byte would drown the log.
    if (skipped > 0) {
        m_stats.badHeadBytes += skipped;
        spdlog::warn("<VehicleSim> skipped {} received bytes without a frame head", skipped);
    }
}
