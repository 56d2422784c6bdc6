#pragma once
// Cuts the byte stream of one link manager into frames and hands them on by signal.
//
// Resynchronisation: garbage is dropped one byte at a time (one warning per byte); a checksum
// failure drops two bytes (one warning) and the search resumes inside the rejected frame; a
// partial frame waits for the next chunk. Only frames addressed to the ground station (0x81)
// are announced; others are consumed silently.
//
// Consumed bytes are skipped with a read offset and the buffer is compacted once per chunk, so
// large chunks cost the same per byte as small ones. A receiver connected directly that feeds
// the processor again from its slot only appends; the running cut picks the bytes up.

#include "MavProtoDefs.h"
#include "OstAbstractLink.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <memory>

class MavProtocolProcesser : public QObject {
    Q_OBJECT
public:
    explicit MavProtocolProcesser(QObject* parent = nullptr);
    ~MavProtocolProcesser() override;

    // Bytes received but not yet consumed.
    qsizetype bufferedBytes() const { return m_buffer.size(); }

public slots:
    void handleSerialLinkData(const QByteArray& data, OstAbstractLink* link);
    void handleUdpLinkData(const QString& address, const QByteArray& data, OstAbstractLink* link);

signals:
    void dataReceived(std::shared_ptr<QByteArray> data, OstAbstractLink* link);
    void originPFrameDataReceived(std::shared_ptr<QByteArray> frameData, OstAbstractLink* link);
    void mavHeartbeatFrameReceived(int vehicleId, OstAbstractLink* link, QString address);
    void mavPFrameReceived(MavPFramePtr pframe, OstAbstractLink* link);

private:
    void cutFrames(const QByteArray& chunk, OstAbstractLink* link, const QString& address);

    QByteArray m_buffer;
    _MavPFrame_t m_scratch;
    bool m_cutting = false;
};
