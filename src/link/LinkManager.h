#pragma once
// One connection slot: a serial link, a UDP link and the protocol processor both feed. At most
// one of the two links is open at a time; sends go to whichever is open. The processor comes
// from the registered link-data sink factory (the protocol layer), a child of this manager.

#include <QByteArray>
#include <QObject>
#include <QString>

#include <atomic>
#include <memory>
#include <mutex>

#include "OstSerialPortLink.h"
#include "OstUdpSocketLink.h"

#include "common/GcsLinkDataSink.h"

class MavProtocolProcesser;
class OstLinkAbstractConfig;
class OstSerialPortLinkConfig;
class OstUdpSocketLinkConfig;

class LinkManager : public QObject {
    Q_OBJECT
public:
    explicit LinkManager(QObject* parent = nullptr);
    ~LinkManager() override;

    void setSerialPortLinkConfig(std::shared_ptr<OstSerialPortLinkConfig> config);
    void setUdpSocketLinkConfig(std::shared_ptr<OstUdpSocketLinkConfig> config);
    void openSerialPortLink(std::shared_ptr<OstLinkAbstractConfig> config);
    void openUdpSocketLink(std::shared_ptr<OstLinkAbstractConfig> config);
    void closeSerialPortLink();
    void closeUdpSocketLink();

    bool serialportLinkIsOpen() const;
    bool udpSocketLinkIsOpen() const;
    bool linkIsOpen() const;
    bool hasLink(OstAbstractLink* link) const;
    // How far behind its socket the open link's thread is (OstDatagramSocket); 0 for serial.
    qint64 receiveLagMs() const;
    // Datagrams the open UDP link lost in its receive buffer (OstUdpSocketLink); 0 for serial.
    quint64 receiveDrops() const;

    OstSerialPortLink* serialportLink() const { return m_serialLink; }
    OstUdpSocketLink* udpSocketLink() const { return m_udpLink; }
    MavProtocolProcesser* mavProtoProcesser() const { return m_sink ? m_sink->mavProtocolProcesser() : nullptr; }

    // Where UDP frames to a vehicle go, copied from the UDP config when it is set or opened, so
    // that senders on the timer and queue threads never read the caller's config object.
    struct UdpSendParams {
        bool valid = false;
        quint16 deviceRecvPort = 0;
        bool multicast = false;
        QString multicastGroup;
    };
    UdpSendParams udpSendParams() const;

    // Safe from any thread: the links hand bytes to their own thread.
    bool sendToLink(const QByteArray& data, const QString& address);
    bool sendToSerialLink(const QByteArray& data);
    bool sendToUdpLink(const QByteArray& data);
    // Frames handed to a link by sendToLink since construction, and their bytes (any thread).
    uint64_t sentCount() const { return m_sent.load(std::memory_order_relaxed); }
    uint64_t sentBytes() const { return m_sentBytes.load(std::memory_order_relaxed); }

signals:
    void serialportLinkOpenResp(bool ok);
    void serialportLinkDisconnected();
    void udpLinkOpenResp(bool ok);
    void udpLinkDisconnected();

private:
    void keepUdpSendParams(const std::shared_ptr<OstLinkAbstractConfig>& config);

    GcsLinkDataSink* m_sink = nullptr;
    mutable std::mutex m_udpParamsMutex;
    UdpSendParams m_udpParams;
    OstSerialPortLink* m_serialLink = nullptr;
    OstUdpSocketLink* m_udpLink = nullptr;
    std::atomic<uint64_t> m_sent{0};
    std::atomic<uint64_t> m_sentBytes{0};
};
