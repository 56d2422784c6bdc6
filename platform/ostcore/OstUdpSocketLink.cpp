#include "OstUdpSocketLink.h"

#include "OstUdpSocketLinkConfig.h"

#include <QNetworkDatagram>
#include <QVariant>
#include <QUdpSocket>

#include <spdlog/spdlog.h>

#include <utility>

namespace {
constexpr int kReceiveBufferBytes = 4 * 1024 * 1024;
constexpr qint64 kPassingWarningIntervalMs = 10000;
}  // namespace

OstUdpSocketLink::OstUdpSocketLink(QObject* parent)
    : OstAbstractLink(parent)
{
    m_socket = new QUdpSocket(this);
    connect(m_socket, &QUdpSocket::readyRead, this, &OstUdpSocketLink::handleReadyRead);
    connect(m_socket, &QUdpSocket::errorOccurred, this, &OstUdpSocketLink::handleSocketError);
}

OstUdpSocketLink::~OstUdpSocketLink()
{
    m_socket->close();
}

void OstUdpSocketLink::registerRecvdDatagramHandleFunc(RecvdDatagramHandleFunc func)
{
    QMutexLocker lock(&m_handlerMutex);
    m_datagramHandler = std::move(func);
}

void OstUdpSocketLink::unregisterRecvdDatagramHandleFunc()
{
    QMutexLocker lock(&m_handlerMutex);
    m_datagramHandler = nullptr;
}

quint16 OstUdpSocketLink::boundPort() const
{
    return m_socket->localPort();
}

bool OstUdpSocketLink::doOpen()
{
    auto config = std::dynamic_pointer_cast<OstUdpSocketLinkConfig>(linkConfig());
    if (!config) {
        spdlog::error("<Link> UDP open failed: no UDP socket config");
        return false;
    }
    m_bound = false;
    m_socket->close();
    m_lastPeerHost.clear();
    m_lastPeerPort = 0;
    m_lastPeerText.clear();
    m_joinedGroup.clear();

    const bool multicast = config->linkMode() == OstUdpSocketLinkConfig::Multicast;
    const auto bindMode = multicast ? (QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint)
                                    : QAbstractSocket::DontShareAddress;
    if (!m_socket->bind(QHostAddress::AnyIPv4, config->recvPort(), bindMode)) {
        spdlog::error("<Link> UDP bind failed on port {}: {}", config->recvPort(),
                      m_socket->errorString().toStdString());
        m_socket->close();
        return false;
    }
    m_socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, QVariant(kReceiveBufferBytes));

    if (multicast) {
        const QHostAddress group(config->multicastGroupAddress());
        if (group.isNull() || !group.isMulticast() || !m_socket->joinMulticastGroup(group)) {
            spdlog::error("<Link> UDP join of multicast group '{}' failed: {}",
                          config->multicastGroupAddress().toStdString(), m_socket->errorString().toStdString());
            m_socket->close();
            return false;
        }
        m_joinedGroup = group;
    }
    m_bound = true;
    spdlog::info("<Link> UDP link bound on port {}{}", m_socket->localPort(),
                 multicast ? ", multicast group " + config->multicastGroupAddress().toStdString() : std::string());
    return true;
}

void OstUdpSocketLink::doClose()
{
    m_bound = false;
    if (!m_joinedGroup.isNull())
        m_socket->leaveMulticastGroup(m_joinedGroup);
    m_joinedGroup.clear();
    const quint16 port = m_socket->localPort();
    m_socket->close();
    spdlog::info("<Link> UDP link closed (port {})", port);
}

bool OstUdpSocketLink::sendData(const QByteArray& data)
{
    return broadcastData(data, QString());
}

bool OstUdpSocketLink::doSend(const QByteArray& data)
{
    return sendTo(data, QString());
}

bool OstUdpSocketLink::broadcastData(const QByteArray& data, const QString& address)
{
    if (!isOpen())
        return false;
    if (!onLinkThread()) {
        bool post = false;
        {
            QMutexLocker lock(&m_outboxMutex);
            m_outbox.push_back({data, address});
            post = !std::exchange(m_flushPosted, true);
        }
        if (post)
            QMetaObject::invokeMethod(this, &OstUdpSocketLink::flushOutbox, Qt::QueuedConnection);
        return true;
    }
    return sendTo(data, address);
}

void OstUdpSocketLink::flushOutbox()
{
    std::vector<Outgoing> batch;
    {
        QMutexLocker lock(&m_outboxMutex);
        batch.swap(m_outbox);
        m_flushPosted = false;
    }
    for (const auto& out : batch)
        if (isOpen())
            sendTo(out.data, out.address);
}

bool OstUdpSocketLink::resolve(const QString& address, QHostAddress& host, quint16& port) const
{
    auto config = std::dynamic_pointer_cast<OstUdpSocketLinkConfig>(linkConfig());
    QString target = address;
    if (target.isEmpty() && config)
        target = config->broadcastAddress();
    if (target.isEmpty()) {
        host = m_lastPeerHost;
        port = m_lastPeerPort;
        return !host.isNull() && port != 0;
    }
    const int colon = target.lastIndexOf(':');
    bool portOk = true;
    if (colon > 0) {
        host = QHostAddress(target.left(colon));
        const uint p = target.mid(colon + 1).toUInt(&portOk);
        portOk = portOk && p > 0 && p <= 65535;
        port = quint16(p);
    } else {
        host = QHostAddress(target);
        port = config ? config->deviceRecvPort() : 0;
        if (port == 0)
            port = m_lastPeerPort;
    }
    return !host.isNull() && portOk && port != 0;
}

bool OstUdpSocketLink::sendTo(const QByteArray& data, const QString& address)
{
    QHostAddress host;
    quint16 port = 0;
    if (!resolve(address, host, port)) {
        spdlog::warn("<Link> UDP send skipped: no valid destination (address '{}')", address.toStdString());
        return false;
    }
    if (m_socket->writeDatagram(data, host, port) != data.size()) {
        logPassingFailure(fmt::format("<Link> UDP send to {}:{} failed: {}", host.toString().toStdString(), port,
                                      m_socket->errorString().toStdString()));
        return false;
    }
    return true;
}

void OstUdpSocketLink::handleReadyRead()
{
    while (m_bound && m_socket->hasPendingDatagrams()) {  // a read error may close the link
        const QNetworkDatagram datagram = m_socket->receiveDatagram();
        if (!datagram.isValid())
            break;
        const QHostAddress host = datagram.senderAddress();
        const quint16 port = quint16(datagram.senderPort());
        // Most datagrams come from the sender of the one before: build its "host:port" once.
        if (port != m_lastPeerPort || host != m_lastPeerHost || m_lastPeerText.isEmpty()) {
            m_lastPeerHost = host;
            m_lastPeerPort = port;
            m_lastPeerText = host.toString() + ':' + QString::number(port);
        }

        RecvdDatagramHandleFunc datagramHandler;
        {
            QMutexLocker lock(&m_handlerMutex);
            datagramHandler = m_datagramHandler;
        }
        if (datagramHandler)
            datagramHandler(m_lastPeerText, datagram.data());
        else
            deliverData(datagram.data());
    }
}

void OstUdpSocketLink::handleSocketError(QAbstractSocket::SocketError error)
{
    if (!m_bound)
        return;
    // Qt leaves a UDP socket bound after most errors; asking the descriptor for an option shows
    // whether the system still has a socket behind it.
    const bool usable = m_socket->state() == QAbstractSocket::BoundState &&
                        m_socket->socketOption(QAbstractSocket::ReceiveBufferSizeSocketOption).isValid();
    if (!usable) {
        closeAfterFailure(QStringLiteral("UDP socket on port %1 unusable (error %2): %3")
                              .arg(m_socket->localPort())
                              .arg(int(error))
                              .arg(m_socket->errorString()));
        return;
    }
    logPassingFailure(fmt::format("<Link> UDP socket error {} on port {}: {}", int(error), m_socket->localPort(),
                                  m_socket->errorString().toStdString()));
}

void OstUdpSocketLink::logPassingFailure(const std::string& text)
{
    if (!m_lastPassingWarning.isValid() || m_lastPassingWarning.hasExpired(kPassingWarningIntervalMs)) {
        m_lastPassingWarning.start();
        spdlog::warn("{}", text);
    } else {
        spdlog::debug("{}", text);
    }
}
