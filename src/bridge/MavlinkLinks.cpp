#include "MavlinkLinks.h"

#include <QHostInfo>
#include <QNetworkDatagram>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>

#include <spdlog/spdlog.h>

#include <map>

using nlohmann::json;

struct MavlinkLinks::Link {
    MavlinkEndpoint endpoint;
    mavlink::Encoder encoder;
    // UDP
    QUdpSocket* udp = nullptr;
    QHostAddress target;
    std::map<std::pair<QString, quint16>, std::pair<mavlink::FrameCutter, mavlink::ReplayGuard>> senders;
    // TCP
    QTcpServer* server = nullptr;
    struct Client {
        mavlink::FrameCutter cutter;
        mavlink::ReplayGuard guard;
    };
    std::map<QTcpSocket*, Client> clients;
};

std::optional<MavlinkEndpoint> MavlinkEndpoint::parse(const QString& text, QString* error)
{
    auto fail = [&](const QString& why) -> std::optional<MavlinkEndpoint> {
        if (error)
            *error = QStringLiteral("--mavlink %1: %2 (expected udp:HOST:PORT or tcpin:PORT)").arg(text, why);
        return std::nullopt;
    };
    auto readPort = [](const QString& s, quint16& out) {
        bool ok = false;
        const uint v = s.toUInt(&ok);
        if (!ok || v == 0 || v > 65535)
            return false;
        out = quint16(v);
        return true;
    };
    MavlinkEndpoint e;
    if (text.startsWith(QLatin1String("tcpin:"))) {
        e.kind = Kind::TcpIn;
        if (!readPort(text.mid(6), e.port))
            return fail(QStringLiteral("the port must be 1..65535"));
        return e;
    }
    if (text.startsWith(QLatin1String("udp:"))) {
        const QString rest = text.mid(4);
        const int colon = rest.lastIndexOf(':');
        if (colon <= 0)
            return fail(QStringLiteral("missing host or port"));
        e.kind = Kind::UdpOut;
        e.host = rest.left(colon);
        if (e.host.startsWith('[') && e.host.endsWith(']'))
            e.host = e.host.mid(1, e.host.size() - 2);
        if (!readPort(rest.mid(colon + 1), e.port))
            return fail(QStringLiteral("the port must be 1..65535"));
        return e;
    }
    return fail(QStringLiteral("unknown kind"));
}

QString MavlinkEndpoint::text() const
{
    return kind == Kind::TcpIn ? QStringLiteral("tcpin:%1").arg(port) : QStringLiteral("udp:%1:%2").arg(host).arg(port);
}

MavlinkLinks::MavlinkLinks(QObject* parent)
    : QObject(parent)
{
}

MavlinkLinks::~MavlinkLinks()
{
    close();
}

void MavlinkLinks::setSigningKey(const std::optional<mavlink::SigningKey>& key)
{
    m_key = key;
    for (size_t i = 0; i < m_links.size(); ++i)
        m_links[i]->encoder.setSigning(m_key ? &*m_key : nullptr, uint8_t(i));
}

bool MavlinkLinks::open(const std::vector<MavlinkEndpoint>& endpoints, QString* error)
{
    for (const auto& e : endpoints) {
        auto link = std::make_unique<Link>();
        link->endpoint = e;
        const int index = int(m_links.size());
        link->encoder.setSigning(m_key ? &*m_key : nullptr, uint8_t(index));
        if (e.kind == MavlinkEndpoint::Kind::UdpOut) {
            QHostAddress target(e.host);
            if (target.isNull()) {
                const auto info = QHostInfo::fromName(e.host);
                if (!info.addresses().isEmpty())
                    target = info.addresses().first();
            }
            if (target.isNull()) {
                if (error)
                    *error = QStringLiteral("--mavlink %1: cannot resolve %2").arg(e.text(), e.host);
                close();
                return false;
            }
            link->target = target;
            link->udp = new QUdpSocket(this);
            const bool v6 = target.protocol() == QAbstractSocket::IPv6Protocol;
            if (!link->udp->bind(v6 ? QHostAddress::AnyIPv6 : QHostAddress::AnyIPv4, 0)) {
                if (error)
                    *error = QStringLiteral("--mavlink %1: %2").arg(e.text(), link->udp->errorString());
                close();
                return false;
            }
            connect(link->udp, &QUdpSocket::readyRead, this, [this, index] { readUdp(index); });
        } else {
            link->server = new QTcpServer(this);
            if (!link->server->listen(QHostAddress::Any, e.port)) {
                if (error)
                    *error = QStringLiteral("--mavlink %1: %2").arg(e.text(), link->server->errorString());
                close();
                return false;
            }
            connect(link->server, &QTcpServer::newConnection, this, [this, index] { acceptTcp(index); });
        }
        spdlog::info("<mavlink> link {} open (local port {})", e.text().toStdString(),
                     link->udp ? link->udp->localPort() : link->server->serverPort());
        m_links.push_back(std::move(link));
    }
    return true;
}

void MavlinkLinks::close()
{
    for (auto& link : m_links) {
        if (link->udp)
            link->udp->deleteLater();
        for (auto& [socket, client] : link->clients) {
            socket->disconnect(this);
            socket->abort();
            socket->deleteLater();
        }
        if (link->server)
            link->server->deleteLater();
    }
    m_links.clear();
}

mavlink::Encoder& MavlinkLinks::encoder(int link)
{
    return m_links[size_t(link)]->encoder;
}

void MavlinkLinks::sendOnLink(int index, const uint8_t* data, size_t n)
{
    Link& link = *m_links[size_t(index)];
    if (link.udp) {
        link.udp->writeDatagram(reinterpret_cast<const char*>(data), qint64(n), link.target, link.endpoint.port);
        ++m_counters.messagesOut;
        return;
    }
    for (auto& [socket, client] : link.clients) {
        if (socket->bytesToWrite() > kMaxClientBacklog) {
            ++m_counters.droppedOutput;
            continue;
        }
        socket->write(reinterpret_cast<const char*>(data), qint64(n));
        ++m_counters.messagesOut;
    }
}

void MavlinkLinks::sendToPeer(const MavlinkPeer& peer, const uint8_t* data, size_t n)
{
    Link& link = *m_links[size_t(peer.link)];
    if (link.udp) {
        link.udp->writeDatagram(reinterpret_cast<const char*>(data), qint64(n), peer.address, peer.port);
        ++m_counters.messagesOut;
        return;
    }
    if (peer.socket && link.clients.count(peer.socket) && peer.socket->bytesToWrite() <= kMaxClientBacklog) {
        peer.socket->write(reinterpret_cast<const char*>(data), qint64(n));
        ++m_counters.messagesOut;
    } else {
        ++m_counters.droppedOutput;
    }
}

void MavlinkLinks::deliver(mavlink::FrameCutter& cutter, const uint8_t* data, size_t n, const MavlinkPeer& peer,
                           mavlink::ReplayGuard& guard)
{
    const auto before = cutter.counters();
    cutter.feed(data, n, [&](const mavlink::Frame& frame, mavlink::FrameCutter::Signature sig) {
        if (m_key) {
            if (sig != mavlink::FrameCutter::Signature::Valid || !guard.accept(frame)) {
                ++m_counters.droppedSigning;
                spdlog::debug("<mavlink> frame {} from system {} dropped: {}", frame.msgid, frame.sysid,
                              sig == mavlink::FrameCutter::Signature::None      ? "unsigned"
                              : sig == mavlink::FrameCutter::Signature::Invalid ? "wrong signature"
                                                                                : "replayed");
                return;
            }
        }
        ++m_counters.messagesIn;
        if (m_handler)
            m_handler(frame, peer);
    });
    const auto& after = cutter.counters();
    m_counters.droppedCrc += after.crcErrors - before.crcErrors;
    m_counters.unknownMessages += after.unknownMessages - before.unknownMessages;
    m_counters.mavlink1 += after.mavlink1 - before.mavlink1;
}

void MavlinkLinks::readUdp(int index)
{
    if (size_t(index) >= m_links.size())
        return;
    Link& link = *m_links[size_t(index)];
    while (link.udp->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = link.udp->receiveDatagram();
        if (!datagram.isValid())
            continue;
        const auto key = std::make_pair(datagram.senderAddress().toString(), quint16(datagram.senderPort()));
        auto it = link.senders.find(key);
        if (it == link.senders.end()) {
            if (link.senders.size() >= size_t(kMaxUdpSenders))
                link.senders.erase(link.senders.begin());
            it = link.senders.emplace(key, std::make_pair(mavlink::FrameCutter(), mavlink::ReplayGuard())).first;
            it->second.first.setKey(m_key ? &*m_key : nullptr);
        }
        const QByteArray bytes = datagram.data();
        const MavlinkPeer peer{index, datagram.senderAddress(), quint16(datagram.senderPort()), nullptr};
        auto& [cutter, guard] = it->second;
        deliver(cutter, reinterpret_cast<const uint8_t*>(bytes.constData()), size_t(bytes.size()), peer, guard);
        cutter.reset();
    }
}

void MavlinkLinks::acceptTcp(int index)
{
    Link& link = *m_links[size_t(index)];
    while (QTcpSocket* socket = link.server->nextPendingConnection()) {
        if (link.clients.size() >= size_t(kMaxTcpClients)) {
            spdlog::warn("<mavlink> {}: a ground station from {} refused, {} already connected",
                         link.endpoint.text().toStdString(), socket->peerAddress().toString().toStdString(),
                         kMaxTcpClients);
            socket->abort();
            socket->deleteLater();
            continue;
        }
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        link.clients.emplace(socket, Link::Client{}).first->second.cutter.setKey(m_key ? &*m_key : nullptr);
        spdlog::info("<mavlink> {}: ground station connected from {}:{}", link.endpoint.text().toStdString(),
                     socket->peerAddress().toString().toStdString(), socket->peerPort());
        connect(socket, &QTcpSocket::readyRead, this, [this, index, socket] {
            Link& l = *m_links[size_t(index)];
            auto it = l.clients.find(socket);
            if (it == l.clients.end())
                return;
            const QByteArray bytes = socket->readAll();
            const MavlinkPeer peer{index, socket->peerAddress(), socket->peerPort(), socket};
            deliver(it->second.cutter, reinterpret_cast<const uint8_t*>(bytes.constData()), size_t(bytes.size()), peer,
                    it->second.guard);
        });
        connect(socket, &QTcpSocket::disconnected, this, [this, index, socket] {
            Link& l = *m_links[size_t(index)];
            if (l.clients.erase(socket))
                spdlog::info("<mavlink> {}: ground station disconnected", l.endpoint.text().toStdString());
            socket->deleteLater();
        });
    }
}

json MavlinkLinks::linksJson() const
{
    json list = json::array();
    for (size_t i = 0; i < m_links.size(); ++i) {
        const Link& link = *m_links[i];
        list.push_back({{"endpoint", link.endpoint.text().toStdString()},
                        {"localPort", localPort(int(i))},
                        {"clients", link.udp ? 1 : link.clients.size()}});
    }
    return list;
}

quint16 MavlinkLinks::localPort(int index) const
{
    if (index < 0 || size_t(index) >= m_links.size())
        return 0;
    const Link& link = *m_links[size_t(index)];
    return link.udp ? link.udp->localPort() : link.server->serverPort();
}
