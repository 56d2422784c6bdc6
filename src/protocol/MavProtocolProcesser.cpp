#include "MavProtocolProcesser.h"

#include "settings/GcsSettings.h"

#include "MavProtoHelper.h"

#include <QMetaMethod>

#include <spdlog/spdlog.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <limits>

namespace {

constexpr int64_t kWarnWindowMs = 1000;
constexpr int64_t kSweepPeriodMs = 1000;
constexpr spdlog::string_view_t kDropLines[] = {"parse result MAVPROTO_PARSE_RESULT_MOH_NOT_MATCH",
                                                "parse result MAVPROTO_PARSE_RESULT_CRC_CHECK_ERR"};
constexpr const char* kSummaryUnits[] = {"bytes dropped", "checksum failures"};

// Read once per datagram. Where there is one, the coarse monotonic clock (a few ms of
// resolution, plenty for decisions in seconds) costs a third of steady_clock.
int64_t monotonicMs()
{
#ifdef CLOCK_MONOTONIC_COARSE
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
#else
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
#endif
}

}  // namespace

namespace {
const bool g_sinkFactoryRegistered = [] {
    GcsLinkDataSink::setFactory([](QObject* parent) -> GcsLinkDataSink* { return new MavProtocolProcesser(parent); });
    return true;
}();
}

MavProtocolProcesser::MavProtocolProcesser(QObject* parent)
    : QObject(parent)
{
    // Before GcsSettings::init the getter still holds the default.
    setMaxFrameDataLen(GcsSettings::getInstance()->maxFrameDataLen());
    m_lastSweepMs = nowMs();
}

MavProtocolProcesser::~MavProtocolProcesser() = default;

qsizetype MavProtocolProcesser::bufferedBytes() const
{
    qsizetype n = m_serial.bytes.size();
    for (const auto& sender : m_senders)
        n += sender.second.bytes.size();
    return n;
}

bool MavProtocolProcesser::setMaxFrameDataLen(int len)
{
    if (len < 1 || len > 0xFFFF) {
        spdlog::warn("<Protocol> frame data length limit {} refused, keeping {} (accepted: 1..65535)", len,
                     m_maxFrameDataLen);
        return false;
    }
    m_maxFrameDataLen = unsigned(len);
    return true;
}

void MavProtocolProcesser::setClock(Clock clock)
{
    m_clock = std::move(clock);
    m_lastSweepMs = nowMs();
    m_warnWindowStartMs = std::numeric_limits<int64_t>::min() / 2;
}

int64_t MavProtocolProcesser::nowMs() const
{
    return m_clock ? m_clock() : monotonicMs();
}

void MavProtocolProcesser::handleSerialLinkData(const QByteArray& data, OstAbstractLink* link)
{
    cutFrames(m_serial, data, link, QString());
}

void MavProtocolProcesser::handleUdpLinkData(const QString& address, const QByteArray& data, OstAbstractLink* link)
{
    const int64_t now = nowMs();
    if (now - m_lastSweepMs >= kSweepPeriodMs)
        dropSilentSenders(now);
    // Datagrams come in runs from one sender: the last one found is tried before the table.
    if (!m_lastSender || m_lastSender->first != address)
        m_lastSender = &*m_senders.try_emplace(address).first;
    CutBuffer& buf = m_lastSender->second;
    buf.lastSeenMs = now;
    cutFrames(buf, data, link, address);
}

void MavProtocolProcesser::dropSilentSenders(int64_t now)
{
    m_lastSweepMs = now;
    for (auto it = m_senders.begin(); it != m_senders.end();) {
        const CutBuffer& buf = it->second;
        if (buf.cutting || now - buf.lastSeenMs < kSenderExpiryMs) {
            ++it;
            continue;
        }
        if (!buf.bytes.isEmpty() && spdlog::should_log(spdlog::level::info))
            spdlog::info("<Protocol> {} silent for {} s: {} buffered bytes dropped", it->first.toStdString(),
                         kSenderExpiryMs / 1000, buf.bytes.size());
        if (&*it == m_lastSender)
            m_lastSender = nullptr;
        it = m_senders.erase(it);
    }
}

void MavProtocolProcesser::warnDropped(DropKind kind, qsizetype count)
{
    flushWarningSummary(nowMs());
    const qsizetype lines = std::min<qsizetype>(count, kWarningsPerSecond - m_warnLinesInWindow);
    for (qsizetype i = 0; i < lines; ++i)
        spdlog::warn(kDropLines[kind]);
    m_warnLinesInWindow += int(lines);
    m_suppressed[kind] += count - lines;
}

void MavProtocolProcesser::flushWarningSummary(int64_t now)
{
    if (now - m_warnWindowStartMs < kWarnWindowMs)
        return;
    for (int kind = 0; kind < DropKindCount; ++kind) {
        if (m_suppressed[kind] > 0)
            spdlog::warn("{}: {} more {} in the last second", kDropLines[kind], m_suppressed[kind],
                         kSummaryUnits[kind]);
        m_suppressed[kind] = 0;
    }
    m_warnWindowStartMs = now;
    m_warnLinesInWindow = 0;
}

void MavProtocolProcesser::cutFrames(CutBuffer& buf, const QByteArray& chunk, OstAbstractLink* link,
                                     const QString& address)
{
    buf.bytes.append(chunk);
    ++m_counters.chunks;
    m_counters.bytes += uint64_t(chunk.size());
    // Marked before anything is emitted: a receiver feeding this buffer again only appends, and
    // no sweep drops a buffer being cut.
    const bool nested = buf.cutting;
    buf.cutting = true;
    // The copy is made only for a listener: it is an allocation per datagram.
    static const QMetaMethod dataSignal = QMetaMethod::fromSignal(&MavProtocolProcesser::dataReceived);
    if (isSignalConnected(dataSignal))
        emit dataReceived(std::make_shared<QByteArray>(chunk), link);
    if (nested)
        return;  // the cut already running further up the stack takes these bytes too

    if ((m_suppressed[HeadMismatch] | m_suppressed[ChecksumError]) && spdlog::should_log(spdlog::level::warn))
        flushWarningSummary(nowMs());

    qsizetype pos = 0;
    while (buf.bytes.size() - pos >= qsizetype(MAVPROTO_FRAME_OVERHEAD)) {
        // Re-read each turn: a receiver may have appended (and so moved) the buffer.
        const auto* base = reinterpret_cast<const unsigned char*>(buf.bytes.constData());
        const qsizetype size = buf.bytes.size();
        // A length above the limit makes a false head; without a head the outcome is a
        // mismatch either way, so the head bytes need no test here.
        const unsigned dataLen = unsigned(base[pos + 6]) | (unsigned(base[pos + 7]) << 8);
        const uint16_t result = dataLen > m_maxFrameDataLen
                                    ? uint16_t(MAVPROTO_PARSE_RESULT_MOH_NOT_MATCH)
                                    : MavProtoHelper::parseMavProtoFrame(base + pos, unsigned(size - pos), m_scratch);

        if (result == MAVPROTO_PARSE_RESULT_OK) {
            const qsizetype n = qsizetype(m_scratch.data_len) + MAVPROTO_FRAME_OVERHEAD;
            ++m_counters.frames;
            auto frame = std::make_shared<_MavPFrame_t>(std::move(m_scratch));
            m_scratch = _MavPFrame_t();
            const bool forUs = frame->rx_id == MAVPROTO_GCS_ID;
            // The raw copy is two allocations per frame: only for a listener.
            static const QMetaMethod rawSignal =
                QMetaMethod::fromSignal(&MavProtocolProcesser::originPFrameDataReceived);
            if (forUs && isSignalConnected(rawSignal))
                emit originPFrameDataReceived(
                    std::make_shared<QByteArray>(reinterpret_cast<const char*>(base + pos), n), link);
            pos += n;
            if (forUs) {
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
            m_counters.headBytesDropped += uint64_t(dropped);
            if (spdlog::should_log(spdlog::level::warn))
                warnDropped(HeadMismatch, dropped);
            pos += dropped;
        } else if (result == MAVPROTO_PARSE_RESULT_CRC_CHECK_ERR) {
            ++m_counters.checksumErrors;
            if (spdlog::should_log(spdlog::level::warn))
                warnDropped(ChecksumError, 1);
            pos += 2;
        } else {
            break;
        }
    }
    if (pos > 0)
        buf.bytes.remove(0, std::min(pos, buf.bytes.size()));
    buf.cutting = false;
}
