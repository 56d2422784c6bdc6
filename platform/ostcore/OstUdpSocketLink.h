#pragma once
// UDP link on OstDatagramSocket (batched reads and writes). See OstAbstractLink for the contract.
//
// - Binds the config's receive port on 0.0.0.0 (IPv4: senders read as a.b.c.d, IPv4 multicast
//   groups can be joined). Unicast binds exclusively, so a port already in use fails the open;
//   multicast shares the port.
// - Asks for a 4 MiB receive buffer: many vehicles answering at once overflow the default.
// - Each datagram goes to the datagram handler with its sender as "host:port" (or to the data
//   handler when no datagram handler is registered).
// - Sends from another thread join an outbox that one posted event writes out, in order, in as
//   few system calls as the batch allows.
// - receiveLagMs(): how far behind its socket the link's thread is (OstDatagramSocket); a vehicle
//   whose answer may be among the unread datagrams is not yet silent.
// - receiveDrops(): datagrams lost in the receive buffer because the link's thread fell too far
//   behind. New drops are looked for every 10 s while datagrams arrive and logged as a warning:
//   what vehicles sent then never reached the station, so their silence is
//   the station's, not theirs.
// - broadcastData(data, address) sends to "host:port"; with an empty address it sends to the
//   config's broadcast address, else to the last peer heard; without any it sends nothing.
// - A socket error closes the link (linkClosed) only when it leaves the socket unusable: its
//   descriptor no longer answers as a socket. Anything else is taken as
//   passing (an ICMP port unreachable while a vehicle is off, a network without a route, a full
//   buffer) and keeps the link open; those are logged as a warning at most every 10 s, else at
//   debug level, so a silent vehicle does not flood the log.

#include "OstAbstractLink.h"
#include "OstDatagramSocket.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QMutex>

#include <vector>

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
    qint64 receiveLagMs() const;
    quint64 receiveDrops() const;

protected:
    bool doOpen() override;
    void doClose() override;
    bool doSend(const QByteArray& data) override;

private:
    void handleBatch(const OstDatagramSocket::Datagram* datagrams, int count);
    void logPassingFailure(const std::string& text);
    bool sendTo(const QByteArray& data, const QString& address);
    void flushOutbox();
    bool resolve(const QString& address, QHostAddress& host, quint16& port) const;

    OstDatagramSocket* m_socket = nullptr;
    RecvdDatagramHandleFunc m_datagramHandler;
    QHostAddress m_lastPeerHost;
    quint16 m_lastPeerPort = 0;
    QString m_lastPeerText;
    QHostAddress m_joinedGroup;
    QElapsedTimer m_lastPassingWarning;
    QElapsedTimer m_lastDropCheck;
    quint64 m_dropsReported = 0;
    // Sends from other threads, written in order by one posted flush: a burst of sends (a
    // polling tick over many vehicles) wakes the link's thread once, not once a datagram.
    struct Outgoing {
        QByteArray data;
        QString address;
    };
    QMutex m_outboxMutex;
    std::vector<Outgoing> m_outbox;
    bool m_flushPosted = false;
};
