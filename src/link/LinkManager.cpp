#include "LinkManager.h"

#include "OstSerialPortLink.h"
#include "OstSerialPortLinkConfig.h"
#include "OstUdpSocketLink.h"
#include "OstUdpSocketLinkConfig.h"

#include <spdlog/spdlog.h>

LinkManager::LinkManager(QObject* parent)
    : QObject(parent)
{
    m_sink = GcsLinkDataSink::create(this);
    if (!m_sink)
        spdlog::error("<LinkManager> no protocol processor registered, received data is dropped");
    m_serialLink = new OstSerialPortLink(this);
    m_udpLink = new OstUdpSocketLink(this);

    connect(m_serialLink, &OstAbstractLink::openLinkResp, this, &LinkManager::serialportLinkOpenResp);
    connect(m_serialLink, &OstAbstractLink::linkClosed, this, &LinkManager::serialportLinkDisconnected);
    connect(m_udpLink, &OstAbstractLink::openLinkResp, this, &LinkManager::udpLinkOpenResp);
    connect(m_udpLink, &OstAbstractLink::linkClosed, this, &LinkManager::udpLinkDisconnected);

    // Both handlers run on the links' thread and only touch the processor, a child of ours.
    GcsLinkDataSink* sink = m_sink;
    if (!sink)
        return;
    OstSerialPortLink* serial = m_serialLink;
    m_serialLink->registerRecvdDataHandleFunc(
        [sink, serial](QByteArray data) { sink->handleSerialLinkData(data, serial); });
    OstUdpSocketLink* udp = m_udpLink;
    m_udpLink->registerRecvdDatagramHandleFunc(
        [sink, udp](QString address, QByteArray data) { sink->handleUdpLinkData(address, data, udp); });
}

LinkManager::~LinkManager()
{
    m_serialLink->unregisterRecvdDataHandleFunc();
    m_udpLink->unregisterRecvdDatagramHandleFunc();
    if (m_serialLink->isOpen())
        m_serialLink->stop();
    m_udpLink->stop();
    spdlog::debug("LinkManager destroyed ---------------");
}

void LinkManager::setSerialPortLinkConfig(std::shared_ptr<OstSerialPortLinkConfig> config)
{
    m_serialLink->setLinkConfig(std::move(config));
}

void LinkManager::setUdpSocketLinkConfig(std::shared_ptr<OstUdpSocketLinkConfig> config)
{
    keepUdpSendParams(config);
    m_udpLink->setLinkConfig(std::move(config));
}

void LinkManager::keepUdpSendParams(const std::shared_ptr<OstLinkAbstractConfig>& config)
{
    UdpSendParams params;
    if (auto udp = std::dynamic_pointer_cast<OstUdpSocketLinkConfig>(config)) {
        params.valid = true;
        params.deviceRecvPort = udp->deviceRecvPort();
        params.multicast = udp->linkMode() == OstUdpSocketLinkConfig::Multicast;
        params.multicastGroup = udp->multicastGroupAddress();
    }
    std::lock_guard lock(m_udpParamsMutex);
    m_udpParams = params;
}

LinkManager::UdpSendParams LinkManager::udpSendParams() const
{
    std::lock_guard lock(m_udpParamsMutex);
    return m_udpParams;
}

void LinkManager::openSerialPortLink(std::shared_ptr<OstLinkAbstractConfig> config)
{
    if (config)
        m_serialLink->open(std::move(config));
    else
        m_serialLink->open();
}

void LinkManager::openUdpSocketLink(std::shared_ptr<OstLinkAbstractConfig> config)
{
    if (config) {
        keepUdpSendParams(config);
        m_udpLink->open(std::move(config));
    } else {
        m_udpLink->open();
    }
}

void LinkManager::closeSerialPortLink()
{
    m_serialLink->close();
}

void LinkManager::closeUdpSocketLink()
{
    m_udpLink->close();
}

bool LinkManager::serialportLinkIsOpen() const
{
    return m_serialLink->isOpen();
}

bool LinkManager::udpSocketLinkIsOpen() const
{
    return m_udpLink->isOpen();
}

bool LinkManager::linkIsOpen() const
{
    return serialportLinkIsOpen() || udpSocketLinkIsOpen();
}

quint64 LinkManager::receiveDrops() const
{
    return m_udpLink && m_udpLink->isOpen() ? m_udpLink->receiveDrops() : 0;
}

qint64 LinkManager::receiveLagMs() const
{
    return m_udpLink && m_udpLink->isOpen() ? m_udpLink->receiveLagMs() : 0;
}

bool LinkManager::hasLink(OstAbstractLink* link) const
{
    return link != nullptr && (link == m_serialLink || link == m_udpLink);
}

bool LinkManager::sendToLink(const QByteArray& data, const QString& address)
{
    m_sent.fetch_add(1, std::memory_order_relaxed);
    m_sentBytes.fetch_add(uint64_t(data.size()), std::memory_order_relaxed);
    if (m_serialLink->isOpen())
        return m_serialLink->sendData(data);
    if (m_udpLink->isOpen())
        return m_udpLink->broadcastData(data, address);
    spdlog::error("<Link> no valid link to send data");
    return false;
}

bool LinkManager::sendToSerialLink(const QByteArray& data)
{
    return m_serialLink->isOpen() && m_serialLink->sendData(data);
}

bool LinkManager::sendToUdpLink(const QByteArray& data)
{
    return m_udpLink->isOpen() && m_udpLink->broadcastData(data, QString());
}
