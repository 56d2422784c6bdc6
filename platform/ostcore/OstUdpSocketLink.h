#pragma once
// UDP link on QUdpSocket. See OstAbstractLink for the contract.
//
// - Binds the config's receive port on QHostAddress::AnyIPv4, not Any: with Any, Qt reports
//   IPv4 senders as "::ffff:a.b.c.d" and refuses IPv4 multicast groups. Unicast binds exclusively,
//   so a port already in use fails the open; multicast shares the port.
// - Asks for a 4 MiB receive buffer: many vehicles answering at once overflow the default.
// - Each datagram goes to the datagram handler with its sender as "host:port" (or to the data
//   handler when no datagram handler is registered).
// - broadcastData(data, address) sends to "host:port"; with an empty address it sends to the
//   config's broadcast address, else to the last peer heard; without any it sends nothing.

#include "OstAbstractLink.h"

#include <QHostAddress>

class QUdpSocket;

class OstUdpSocketLink : public OstAbstractLink {
    Q_OBJECT
public:
    using RecvdDatagramHandleFunc = std::function<void(QString, QByteArray)>;

    explicit OstUdpSocketLink(QObject* parent = nullptr);
    ~OstUdpSocketLink() override;

    void registerRecvdDatagramHandleFunc(RecvdDatagramHandleFunc func);
    void unregisterRecvdDatagramHandleFunc();
    bool broadcastData(const QByteArray& data, const QString& address);
    bool sendData(const QByteArray& data) override;

    quint16 boundPort() const;

protected:
    bool doOpen() override;
    void doClose() override;
    bool doSend(const QByteArray& data) override;

private:
    void handleReadyRead();
    bool sendTo(const QByteArray& data, const QString& address);
    bool resolve(const QString& address, QHostAddress& host, quint16& port) const;

    QUdpSocket* m_socket = nullptr;
    RecvdDatagramHandleFunc m_datagramHandler;
    QHostAddress m_lastPeerHost;
    quint16 m_lastPeerPort = 0;
    QHostAddress m_joinedGroup;
};
