#pragma once
// One UDP socket sends to the station and receives; an optional second socket only receives.
// Both bind to the wildcard address of the station's family, like a vehicle on a network.

#include "SimTransport.h"

#include <QHostAddress>
#include <QUdpSocket>

class SimUdpTransport : public SimTransport {
    Q_OBJECT
public:
    static constexpr int kReceiveBufferBytes = 4 * 1024 * 1024;
    SimUdpTransport(QString stationHost, quint16 stationPort, quint16 listenPort, quint16 recvPort,
                    QObject* parent = nullptr);

    bool open(QString& error) override;
    void close() override;
    bool write(const QByteArray& bytes) override;
    QString describe() const override;

    quint16 listenPort() const { return m_socket.localPort(); }
    quint16 recvPort() const { return m_recvSocket.localPort(); }

private slots:
    void handleReadyRead();
    void handleRecvReadyRead();

private:
    void drain(QUdpSocket& socket, int channel);

    QString m_stationHost;
    quint16 m_stationPort;
    quint16 m_listenPort;
    quint16 m_recvPort;
    QHostAddress m_station;
    QUdpSocket m_socket;
    QUdpSocket m_recvSocket;
};
