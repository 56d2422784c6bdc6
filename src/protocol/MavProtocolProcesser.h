#pragma once
// Cuts the byte stream of one link manager into frames and hands them on by signal. Every call
// comes from the thread the link manager and its links live on.
//
// Buffers: the serial link has one cutting buffer; each UDP sender (its "host:port" address)
// has one of its own, so a sender that stops mid-frame or sends junk stalls only itself. A
// frame may still span datagrams of the same sender. A sender's buffer is dropped after 60 s
// without a datagram from it; the check runs on receive, at most once a second, on a monotonic
// clock of millisecond unit (setClock() swaps it for tests).
//
// Resynchronisation: garbage is dropped one byte at a time; a checksum failure drops two bytes
// and the search resumes inside the rejected frame; a partial frame waits for the next chunk.
// A head whose length field is above maxFrameDataLen() is a false head and is dropped like
// garbage, so one corrupted length byte holds the frames behind it back for at most
// maxFrameDataLen() + 10 bytes instead of 64 KiB. The limit is read from GcsSettings
// ("protocol/maxFrameDataLen", default 4096) at construction; 65535 waits for any length. Only
// frames addressed to the ground station (0x81) are announced; others are consumed silently.
//
// Warnings: one line per dropped byte ("...MOH_NOT_MATCH") and one per checksum failure
// ("...CRC_CHECK_ERR"), both drawn from one budget of 10 lines per second per processor. What
// the budget refuses is counted, and the first drop or chunk after that second writes one
// summary line per kind ("...: N more bytes dropped in the last second", "...: N more
// checksum failures in the last second"). Nothing is counted or formatted while warn is off.
//
// Consumed bytes are skipped with a read offset and a buffer is compacted once per chunk, so
// large chunks cost the same per byte as small ones. A receiver connected directly that feeds
// the processor again from its slot only appends to a buffer being cut; the running cut picks
// the bytes up. Bytes for another buffer are cut at once. dataReceived's copy of each chunk is
// made only while something is connected to it.
//
// Every link manager gets one: this file registers the link-data sink factory at load time.

#include "MavProtoDefs.h"
#include "common/GcsLinkDataSink.h"
#include "OstAbstractLink.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <unordered_map>

class MavProtocolProcesser : public QObject, public GcsLinkDataSink {
    Q_OBJECT
public:
    // Monotonic milliseconds.
    using Clock = std::function<int64_t()>;

    static constexpr int kDefaultMaxFrameDataLen = 4096;
    static constexpr int64_t kSenderExpiryMs = 60000;
    static constexpr int kWarningsPerSecond = 10;

    explicit MavProtocolProcesser(QObject* parent = nullptr);
    ~MavProtocolProcesser() override;

    // Bytes received but not yet consumed, all buffers together.
    qsizetype bufferedBytes() const;

    // What came in since construction (the station's metrics). Main thread.
    struct Counters {
        uint64_t chunks = 0;  // datagrams (UDP) or reads (serial)
        uint64_t bytes = 0;
        uint64_t frames = 0;  // well-formed frames, to any id
        uint64_t headBytesDropped = 0;  // bytes skipped looking for a frame head
        uint64_t checksumErrors = 0;
    };
    const Counters& counters() const { return m_counters; }

    int maxFrameDataLen() const { return int(m_maxFrameDataLen); }
    // Accepts 1..65535; anything else is refused with a warning and false.
    bool setMaxFrameDataLen(int len);
    // An empty clock restores the system's monotonic clock.
    void setClock(Clock clock);

    MavProtocolProcesser* mavProtocolProcesser() override { return this; }

public slots:
    void handleSerialLinkData(const QByteArray& data, OstAbstractLink* link) override;
    void handleUdpLinkData(const QString& address, const QByteArray& data, OstAbstractLink* link) override;

signals:
    void dataReceived(std::shared_ptr<QByteArray> data, OstAbstractLink* link);
    void originPFrameDataReceived(std::shared_ptr<QByteArray> frameData, OstAbstractLink* link);
    void mavHeartbeatFrameReceived(int vehicleId, OstAbstractLink* link, QString address);
    void mavPFrameReceived(MavPFramePtr pframe, OstAbstractLink* link);

private:
    struct CutBuffer {
        QByteArray bytes;
        int64_t lastSeenMs = 0;
        bool cutting = false;
    };
    enum DropKind { HeadMismatch, ChecksumError, DropKindCount };

    int64_t nowMs() const;
    void dropSilentSenders(int64_t now);
    void cutFrames(CutBuffer& buf, const QByteArray& chunk, OstAbstractLink* link, const QString& address);
    // Warn level is on when these are called.
    void warnDropped(DropKind kind, qsizetype count);
    void flushWarningSummary(int64_t now);

    CutBuffer m_serial;
    // Node-based: a buffer being cut keeps its address while a nested call adds a sender.
    std::unordered_map<QString, CutBuffer> m_senders;
    std::pair<const QString, CutBuffer>* m_lastSender = nullptr;
    int64_t m_lastSweepMs = 0;
    unsigned m_maxFrameDataLen = kDefaultMaxFrameDataLen;
    Clock m_clock;

    int64_t m_warnWindowStartMs = std::numeric_limits<int64_t>::min() / 2;
    int m_warnLinesInWindow = 0;
    qsizetype m_suppressed[DropKindCount] = {0, 0};

    _MavPFrame_t m_scratch;
    Counters m_counters;
};
