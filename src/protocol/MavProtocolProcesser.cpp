#include "MavProtocolProcesser.h"

#include "MavProtoHelper.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <cstring>

MavProtocolProcesser::MavProtocolProcesser(QObject* parent) : QObject(parent) {}

MavProtocolProcesser::~MavProtocolProcesser() = default;

void MavProtocolProcesser::handleSerialLinkData(const QByteArray& data, OstAbstractLink* link)
{
    cutFrames(data, link, QString());
}

void MavProtocolProcesser::handleUdpLinkData(const QString& address, const QByteArray& data, OstAbstractLink* link)
{
    cutFrames(data, link, address);
}

void MavProtocolProcesser::cutFrames(const QByteArray& chunk, OstAbstractLink* link, const QString& address)
{
    m_buffer.append(chunk);
    emit dataReceived(std::make_shared<QByteArray>(chunk), link);
    if (m_cutting)
        return;  // the cut already running further up the stack takes these bytes too
    m_cutting = true;

    qsizetype pos = 0;
    while (m_buffer.size() - pos >= qsizetype(MAVPROTO_FRAME_OVERHEAD)) {
        // Re-read each turn: a receiver may have appended (and so moved) the buffer.
        const auto* base = reinterpret_cast<const unsigned char*>(m_buffer.constData());
        const qsizetype size = m_buffer.size();
        const uint16_t result = MavProtoHelper::parseMavProtoFrame(base + pos, unsigned(size - pos), m_scratch);

        if (result == MAVPROTO_PARSE_RESULT_OK) {
            const qsizetype n = qsizetype(m_scratch.data_len) + MAVPROTO_FRAME_OVERHEAD;
            auto frame = std::make_shared<_MavPFrame_t>(std::move(m_scratch));
            m_scratch = _MavPFrame_t();
            const bool forUs = frame->rx_id == MAVPROTO_GCS_ID;
            std::shared_ptr<QByteArray> raw;
            if (forUs)
                raw = std::make_shared<QByteArray>(reinterpret_cast<const char*>(base + pos), n);
            pos += n;
            if (forUs) {
                emit originPFrameDataReceived(raw, link);
                if (frame->cmd == MavCmd::Heartbeat)
                    emit mavHeartbeatFrameReceived(frame->tx_id, link, address);
                emit mavPFrameReceived(frame, link);
            }
        } else if (result == MAVPROTO_PARSE_RESULT_MOH_NOT_MATCH) {
            // Same outcome as dropping byte by byte: skip to the next possible head, but never
            // past the point where fewer than a frame's minimum would remain.
            const qsizetype last = size - qsizetype(MAVPROTO_FRAME_OVERHEAD);
            const void* next = std::memchr(base + pos + 1, MAVPROTO_HEAD0, size_t(size - pos - 1));
            qsizetype stop = next ? qsizetype(static_cast<const unsigned char*>(next) - base) : size;
            stop = std::min(stop, last + 1);
            const qsizetype dropped = std::max<qsizetype>(stop - pos, 1);
            if (spdlog::should_log(spdlog::level::warn)) {
                for (qsizetype i = 0; i < dropped; ++i)
                    spdlog::warn("parse result MAVPROTO_PARSE_RESULT_MOH_NOT_MATCH");
            }
            pos += dropped;
        } else if (result == MAVPROTO_PARSE_RESULT_CRC_CHECK_ERR) {
            spdlog::warn("parse result MAVPROTO_PARSE_RESULT_CRC_CHECK_ERR");
            pos += 2;
        } else {
            break;
        }
    }
    if (pos > 0)
        m_buffer.remove(0, std::min(pos, m_buffer.size()));
    m_cutting = false;
}
