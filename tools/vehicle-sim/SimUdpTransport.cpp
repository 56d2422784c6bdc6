#include "SimUdpTransport.h"

#include <QHostInfo>
#include <QNetworkDatagram>
#include <QVariant>

#include <spdlog/spdlog.h>

#include <algorithm>

SimUdpTransport::SimUdpTransport(QString stationHost, quint16 stationPort, quint16 listenPort, quint16 recvPort,
                                 QObject* parent)
    : SimTransport(parent)
    , m_stationHost(std::move(stationHost))
    , m_stationPort(stationPort)
    , m_listenPort(listenPort)
    , m_recvPort(recvPort)
{
    connect(&m_socket, &QUdpSocket::readyRead, this, &SimUdpTransport::handleReadyRead);
    connect(&m_recvSocket, &QUdpSocket::readyRead, this, &SimUdpTransport::handleRecvReadyRead);
}

bool SimUdpTransport::open(QString& error)
{
    if (!m_station.setAddress(m_stationHost)) {
        // Names are resolved once at start; a vehicle does not follow DNS changes either.
        const QHostInfo info = QHostInfo::fromName(m_stationHost);
        const auto addresses = info.addresses();
        auto it = std::find_if(addresses.begin(), addresses.end(),
                               [](const QHostAddress& a) { return a.protocol() == QAbstractSocket::IPv4Protocol; });
        if (it == addresses.end() && !addresses.isEmpty())
            it = addresses.begin();
        if (it == addresses.end()) {
            error = QStringLiteral("cannot resolve station host %1: %2").arg(m_stationHost, info.errorString());
            return false;
        }
        m_station = *it;
    }
    const QHostAddress any = m_station.protocol() == QAbstractSocket::IPv6Protocol
                                 ? QHostAddress(QHostAddress::AnyIPv6)
                                 : QHostAddress(QHostAddress::AnyIPv4);
    if (!m_socket.bind(any, m_listenPort)) {
        error = QStringLiteral("cannot bind UDP port %1: %2").arg(m_listenPort).arg(m_socket.errorString());
        return false;
    }
    if (m_recvPort != 0 && !m_recvSocket.bind(any, m_recvPort)) {
        error = QStringLiteral("cannot bind UDP receive port %1: %2").arg(m_recvPort).arg(m_recvSocket.errorString());
        m_socket.close();
        return false;
    }
    // One process stands in for a fleet of radios: the station's requests to all of them share
    // this socket, and a short stall must not drop them as the default buffer would.
    for (QUdpSocket* s : {&m_socket, &m_recvSocket})
        if (s->state() == QAbstractSocket::BoundState)
            s->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, QVariant(kReceiveBufferBytes));
    return true;
}

void SimUdpTransport::close()
{
    m_socket.close();
    m_recvSocket.close();
}

bool SimUdpTransport::write(const QByteArray& bytes)
{
    if (m_socket.state() != QAbstractSocket::BoundState)
        return false;
    if (m_socket.writeDatagram(bytes, m_station, m_stationPort) == bytes.size())
        return true;
    spdlog::error("<VehicleSim> UDP send to {}:{} failed: {}", m_station.toString().toStdString(), m_stationPort,
                  m_socket.errorString().toStdString());
    return false;
}

QString SimUdpTransport::describe() const
{
    QString text = QStringLiteral("UDP port %1").arg(listenPort());
    if (m_recvSocket.state() == QAbstractSocket::BoundState)
        text += QStringLiteral(" (also receiving on %1)").arg(recvPort());
    return text + QStringLiteral(", station %1:%2").arg(m_station.toString()).arg(m_stationPort);
}

void SimUdpTransport::handleReadyRead()
{
    drain(m_socket, 0);
}

void SimUdpTransport::handleRecvReadyRead()
{
    drain(m_recvSocket, 1);
}

void SimUdpTransport::drain(QUdpSocket& socket, int channel)
{
    while (socket.hasPendingDatagrams()) {
        const QNetworkDatagram datagram = socket.receiveDatagram();
        // An ICMP error can leave a pending "datagram" that reads as invalid; stop instead of spinning.
        if (!datagram.isValid())
            break;
        if (!datagram.data().isEmpty())
            emit bytesReceived(datagram.data(), channel);
    }
}
