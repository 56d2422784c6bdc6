#include "OstUdpSocketLink.h"

#include "OstUdpSocketLinkConfig.h"

#include <spdlog/spdlog.h>

#include <utility>

namespace {
constexpr int kReceiveBufferBytes = 4 * 1024 * 1024;
constexpr qint64 kPassingWarningIntervalMs = 10000;
constexpr qint64 kDropCheckIntervalMs = 10000;
}  // namespace

OstUdpSocketLink::OstUdpSocketLink(QObject* parent)
    : OstAbstractLink(parent)
{
    m_socket = new OstDatagramSocket(this);
    m_socket->setReceiver(
        [this](const OstDatagramSocket::Datagram* datagrams, int count) { handleBatch(datagrams, count); });
    connect(m_socket, &OstDatagramSocket::unusable, this,
            [this](const QString& why) { closeAfterFailure(QStringLiteral("UDP socket unusable: %1").arg(why)); });
    connect(m_socket, &OstDatagramSocket::passingError, this, [this](const QString& why) {
        logPassingFailure(fmt::format("<Link> UDP socket error on port {}: {}", boundPort(), why.toStdString()));
    });
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

qint64 OstUdpSocketLink::receiveLagMs() const
{
    return m_socket->receiveLagMs();
}

quint64 OstUdpSocketLink::receiveDrops() const
{
    return m_socket->receiveDrops();
}

bool OstUdpSocketLink::doOpen()
{
    auto config = std::dynamic_pointer_cast<OstUdpSocketLinkConfig>(linkConfig());
    if (!config) {
        spdlog::error("<Link> UDP open failed: no UDP socket config");
        return false;
    }
    m_socket->close();
    m_lastPeerHost.clear();
    m_lastPeerPort = 0;
    m_lastPeerText.clear();
    m_joinedGroup.clear();
    m_dropsReported = 0;
    m_lastDropCheck.invalidate();

    const bool multicast = config->linkMode() == OstUdpSocketLinkConfig::Multicast;
    OstDatagramSocket::BindOptions bind;
    bind.shareAddress = multicast;
    bind.receiveBufferBytes = kReceiveBufferBytes;
    if (!m_socket->bind(QHostAddress::AnyIPv4, config->recvPort(), bind)) {
        spdlog::error("<Link> UDP bind failed on port {}: {}", config->recvPort(), m_socket->lastError().toStdString());
        return false;
    }

    if (multicast) {
        const QHostAddress group(config->multicastGroupAddress());
        if (group.isNull() || !group.isMulticast() || !m_socket->joinMulticastGroup(group)) {
            spdlog::error("<Link> UDP join of multicast group '{}' failed: {}",
                          config->multicastGroupAddress().toStdString(), m_socket->lastError().toStdString());
            m_socket->close();
            return false;
        }
        m_joinedGroup = group;
    }
    spdlog::info("<Link> UDP link bound on port {}{}", m_socket->localPort(),
                 multicast ? ", multicast group " + config->multicastGroupAddress().toStdString() : std::string());
    return true;
}

void OstUdpSocketLink::doClose()
{
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
    // One system call per batch; a destination that cannot be resolved is skipped as in sendTo.
    int queued = 0;
    for (const auto& out : batch) {
        QHostAddress host;
        quint16 port = 0;
        if (!resolve(out.address, host, port)) {
            spdlog::warn("<Link> UDP send skipped: no valid destination (address '{}')", out.address.toStdString());
            continue;
        }
        m_socket->queue(out.data.constData(), int(out.data.size()), host, port);
        ++queued;
    }
    if (!isOpen() || queued == 0)
        return;
    if (m_socket->flush() != queued && isOpen())
        logPassingFailure(fmt::format("<Link> UDP send of {} datagrams failed in part: {}", queued,
                                      m_socket->lastError().toStdString()));
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
    if (!m_socket->send(data.constData(), int(data.size()), host, port)) {
        if (isOpen())
            logPassingFailure(fmt::format("<Link> UDP send to {}:{} failed: {}", host.toString().toStdString(), port,
                                          m_socket->lastError().toStdString()));
        return false;
    }
    return true;
}

void OstUdpSocketLink::handleBatch(const OstDatagramSocket::Datagram* datagrams, int count)
{
    RecvdDatagramHandleFunc datagramHandler;
    {
        QMutexLocker lock(&m_handlerMutex);
        datagramHandler = m_datagramHandler;
    }
    for (int i = 0; i < count && m_socket->isBound(); ++i) {  // a handler may close the link
        const OstDatagramSocket::Datagram& datagram = datagrams[i];
        // Most datagrams come from the sender of the one before: build its "host:port" once.
        if (datagram.senderPort != m_lastPeerPort || datagram.sender != m_lastPeerHost || m_lastPeerText.isEmpty()) {
            m_lastPeerHost = datagram.sender;
            m_lastPeerPort = datagram.senderPort;
            m_lastPeerText = datagram.sender.toString() + ':' + QString::number(datagram.senderPort);
        }
        const QByteArray data(datagram.data, datagram.size);
        if (datagramHandler)
            datagramHandler(m_lastPeerText, data);
        else
            deliverData(data);
    }
    if (!m_lastDropCheck.isValid() || m_lastDropCheck.hasExpired(kDropCheckIntervalMs)) {
        m_lastDropCheck.start();
        const quint64 drops = m_socket->receiveDrops();
        if (drops > m_dropsReported) {
            spdlog::warn("<Link> UDP port {}: {} datagrams dropped in the receive buffer ({} since the link opened): "
                         "the station reads its link too slowly and loses what vehicles send",
                         boundPort(), drops - m_dropsReported, drops);
            m_dropsReported = drops;
        }
    }
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
