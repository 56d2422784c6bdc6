#pragma once
// UDP link settings.
//
// recvPort        the local port the link binds (on every IPv4 interface)
// deviceRecvPort  the vehicle's receive port; 0 = answer to the source port of its frames
// linkMode        Unicast, or Multicast (the link also joins multicastGroupAddress)
// broadcastAddress  where sends without a destination go, "host:port" or a bare host (then the
//                 device receive port is used); empty = the last peer heard

#include "OstLinkAbstractConfig.h"

class OstUdpSocketLinkConfig : public OstLinkAbstractConfig {
    Q_OBJECT
public:
    enum UdpLinkMode { Unicast = 0, Multicast = 1 };
    Q_ENUM(UdpLinkMode)

    OstUdpSocketLinkConfig(quint16 recvPort = 0, quint16 deviceRecvPort = 0, QObject* parent = nullptr)
        : OstLinkAbstractConfig(parent)
        , m_recvPort(recvPort)
        , m_deviceRecvPort(deviceRecvPort)
    {
    }

    LinkType linkType() const override { return Udp; }
    QString linkKey() const override { return QStringLiteral("udp:%1").arg(m_recvPort); }
    void copyFrom(const OstLinkAbstractConfig& other) override
    {
        if (auto* o = qobject_cast<const OstUdpSocketLinkConfig*>(&other)) {
            m_recvPort = o->m_recvPort;
            m_deviceRecvPort = o->m_deviceRecvPort;
            m_linkMode = o->m_linkMode;
            m_multicastGroupAddress = o->m_multicastGroupAddress;
            m_broadcastAddress = o->m_broadcastAddress;
        }
    }

    quint16 recvPort() const { return m_recvPort; }
    void setRecvPort(quint16 port) { m_recvPort = port; }
    quint16 deviceRecvPort() const { return m_deviceRecvPort; }
    void setDeviceRecvPort(quint16 port) { m_deviceRecvPort = port; }
    // An int so that any stored value can be represented; only 1 means multicast.
    int linkMode() const { return m_linkMode; }
    void setLinkMode(int mode) { m_linkMode = mode; }
    QString multicastGroupAddress() const { return m_multicastGroupAddress; }
    void setMulticastGroupAddress(const QString& group) { m_multicastGroupAddress = group; }
    QString broadcastAddress() const { return m_broadcastAddress; }
    void setBroadcastAddress(const QString& address) { m_broadcastAddress = address; }

private:
    quint16 m_recvPort = 0;
    quint16 m_deviceRecvPort = 0;
    int m_linkMode = Unicast;
    QString m_multicastGroupAddress;
    QString m_broadcastAddress;
};
