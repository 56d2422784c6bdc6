#include "MavlinkLinks.h"

#include <QFile>
#include <QHostInfo>
#include <QSaveFile>
#include <QTcpServer>
#include <QTcpSocket>

#include <spdlog/spdlog.h>

#include <map>

using nlohmann::json;

struct MavlinkLinks::Link {
    MavlinkEndpoint endpoint;
    mavlink::Encoder encoder;  // UDP: the link's one sink
    // UDP
    OstDatagramSocket* udp = nullptr;
    QHostAddress target;
    std::map<std::pair<QString, quint16>, mavlink::FrameCutter> senders;
    // TCP
    QTcpServer* server = nullptr;
    struct Client {
        mavlink::FrameCutter cutter;
        mavlink::Encoder encoder;
        QElapsedTimer sinceValid;  // since the last valid frame, or the connection
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
    m_housekeeping.setParent(this);  // names its owner in the main loop's stall log
    m_housekeeping.setInterval(200);
    connect(&m_housekeeping, &QTimer::timeout, this, [this] {
        closeQuietClients();
        if (m_replayDirty && m_replaySaved.isValid() && m_replaySaved.elapsed() >= kReplaySaveMs)
            saveReplay();
    });
}

MavlinkLinks::~MavlinkLinks()
{
    close();
}

void MavlinkLinks::setSigningKey(const std::optional<mavlink::SigningKey>& key)
{
    m_key = key;
    for (size_t i = 0; i < m_links.size(); ++i) {
        m_links[i]->encoder.setSigning(m_key ? &*m_key : nullptr, uint8_t(i));
        for (auto& [socket, client] : m_links[i]->clients)
            client.encoder.setSigning(m_key ? &*m_key : nullptr, uint8_t(i));
    }
}

bool MavlinkLinks::loadReplay(QString* error)
{
    if (!m_key || m_replayFile.isEmpty())
        return true;
    QFile file(m_replayFile);
    if (!file.exists())
        return true;
    auto fail = [&](const QString& why) {
        if (error)
            *error = QStringLiteral("the signing replay record %1 %2; the bridge does not start without it (remove "
                                    "the file to start a new record)")
                         .arg(m_replayFile, why);
        return false;
    };
    if (!file.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("cannot be read: ") + file.errorString());
    const QByteArray bytes = file.read(1 << 20);
    std::map<uint32_t, uint64_t> records;
    try {
        const json doc = json::parse(bytes.constData(), bytes.constData() + bytes.size());
        for (const auto& r : doc.at("streams")) {
            const auto stream = r.at(0).get<uint32_t>();
            if (stream >= (1u << 24))
                return fail(QStringLiteral("names a stream that cannot exist"));
            records[stream] = r.at(1).get<uint64_t>();
        }
    } catch (const json::exception& e) {
        return fail(QStringLiteral("is not a replay record (%1)").arg(QString::fromUtf8(e.what())));
    }
    if (records.size() > mavlink::ReplayGuard::kMaxStreams)
        return fail(QStringLiteral("holds more streams than a record keeps"));
    spdlog::info("<mavlink> signing replay record: {} stream(s) from {}", records.size(), m_replayFile.toStdString());
    m_replay.restore(std::move(records));
    return true;
}

void MavlinkLinks::saveReplay()
{
    m_replaySaved.start();
    if (!m_replayDirty || m_replayFile.isEmpty())
        return;
    json streams = json::array();
    for (const auto& [stream, last] : m_replay.records())
        streams.push_back({stream, last});
    const std::string text = json{{"streams", streams}}.dump();
    QSaveFile file(m_replayFile);
    if (!file.open(QIODevice::WriteOnly) || file.write(text.data(), qint64(text.size())) != qint64(text.size()) ||
        !file.commit()) {
        spdlog::error("<mavlink> signing replay record not saved to {}: {}", m_replayFile.toStdString(),
                      file.errorString().toStdString());
        return;
    }
    m_replayDirty = false;
}

bool MavlinkLinks::open(const std::vector<MavlinkEndpoint>& endpoints, QString* error)
{
    if (!loadReplay(error))
        return false;
    nlohmann::json savedPorts = nlohmann::json::object();
    if (QFile file(m_portsFile); !m_portsFile.isEmpty() && file.open(QIODevice::ReadOnly)) {
        savedPorts = nlohmann::json::parse(file.readAll().toStdString(), nullptr, false);
        if (!savedPorts.is_object())
            savedPorts = nlohmann::json::object();  // unreadable: fresh ports, written anew below
    }
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
            const bool v6 = target.protocol() == QAbstractSocket::IPv6Protocol;
            const bool bindV6 = m_bind.protocol() == QAbstractSocket::IPv6Protocol;
            const bool anyBind =
                m_bind == QHostAddress::Any || m_bind == QHostAddress::AnyIPv4 || m_bind == QHostAddress::AnyIPv6;
            if ((!anyBind && v6 != bindV6) || (m_bind.isLoopback() && !target.isLoopback())) {
                if (error)
                    *error = QStringLiteral("--mavlink %1: %2 cannot be reached from the bind address %3; give "
                                            "--mavlink-bind with an address of this machine on that network")
                                 .arg(e.text(), target.toString(), m_bind.toString());
                close();
                return false;
            }
            link->target = target;
            link->udp = new OstDatagramSocket(this);
            QHostAddress local = m_bind;
            if (anyBind)
                local = v6 ? QHostAddress::AnyIPv6 : QHostAddress::AnyIPv4;
            const auto saved = savedPorts.find(e.text().toStdString());
            const quint16 before =
                saved != savedPorts.end() && saved->is_number_unsigned() && saved->get<unsigned>() <= 65535
                    ? quint16(saved->get<unsigned>())
                    : 0;
            if (before && !link->udp->bind(local, before, {}))
                spdlog::warn("<mavlink> link {}: local port {} used last time is taken ({}); another one is used",
                             e.text().toStdString(), before, link->udp->lastError().toStdString());
            if (!link->udp->isBound() && !link->udp->bind(local, 0, {})) {
                if (error)
                    *error = QStringLiteral("--mavlink %1: %2").arg(e.text(), link->udp->lastError());
                close();
                return false;
            }
            link->udp->setReceiver([this, index](const OstDatagramSocket::Datagram* datagrams, int count) {
                readUdp(index, datagrams, count);
            });
            connect(link->udp, &OstDatagramSocket::unusable, this, [e](const QString& why) {
                spdlog::error("<mavlink> link {}: the socket stopped working: {}", e.text().toStdString(),
                              why.toStdString());
            });
        } else {
            link->server = new QTcpServer(this);
            if (!link->server->listen(m_bind, e.port)) {
                if (error)
                    *error = QStringLiteral("--mavlink %1: %2").arg(e.text(), link->server->errorString());
                close();
                return false;
            }
            connect(link->server, &QTcpServer::newConnection, this, [this, index] { acceptTcp(index); });
        }
        spdlog::info("<mavlink> link {} open on {} (local port {})", e.text().toStdString(),
                     m_bind.toString().toStdString(), link->udp ? link->udp->localPort() : link->server->serverPort());
        m_links.push_back(std::move(link));
    }
    savePorts(savedPorts);
    m_replaySaved.start();
    m_housekeeping.start();
    return true;
}

void MavlinkLinks::savePorts(nlohmann::json ports) const
{
    if (m_portsFile.isEmpty())
        return;
    for (const auto& link : m_links)
        if (link->udp)
            ports[link->endpoint.text().toStdString()] = link->udp->localPort();
    QSaveFile file(m_portsFile);
    if (!file.open(QIODevice::WriteOnly) || file.write(QByteArray::fromStdString(ports.dump(1))) < 0 || !file.commit())
        spdlog::warn("<mavlink> local ports not saved to {}: {}", m_portsFile.toStdString(),
                     file.errorString().toStdString());
}

void MavlinkLinks::close()
{
    m_housekeeping.stop();
    if (m_replayDirty)
        saveReplay();
    for (auto& link : m_links) {
        if (link->udp) {
            // Closed now: a close from inside its own receiver must not read on into freed links.
            link->udp->setReceiver({});
            link->udp->close();
            link->udp->deleteLater();
        }
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

void MavlinkLinks::forEachSink(const std::function<void(const MavlinkSink&, mavlink::Encoder&)>& f)
{
    for (size_t i = 0; i < m_links.size(); ++i) {
        Link& link = *m_links[i];
        if (link.udp) {
            f(MavlinkSink{int(i), nullptr}, link.encoder);
            continue;
        }
        for (auto& [socket, client] : link.clients)
            f(MavlinkSink{int(i), socket}, client.encoder);
    }
}

mavlink::Encoder* MavlinkLinks::encoderOf(const MavlinkSink& sink)
{
    if (sink.link < 0 || size_t(sink.link) >= m_links.size())
        return nullptr;
    Link& link = *m_links[size_t(sink.link)];
    if (link.udp)
        return &link.encoder;
    auto it = link.clients.find(sink.socket);
    return it == link.clients.end() ? nullptr : &it->second.encoder;
}

void MavlinkLinks::sendRaw(const MavlinkSink& sink, const uint8_t* data, size_t n)
{
    Link& link = *m_links[size_t(sink.link)];
    if (link.udp) {
        if (m_burst)
            link.udp->queue(reinterpret_cast<const char*>(data), int(n), link.target, link.endpoint.port);
        else if (!link.udp->send(reinterpret_cast<const char*>(data), int(n), link.target, link.endpoint.port))
            ++m_counters.droppedOutput;
        ++m_counters.messagesOut;
        return;
    }
    if (sink.socket->bytesToWrite() > kMaxClientBacklog) {
        ++m_counters.droppedOutput;
        return;
    }
    sink.socket->write(reinterpret_cast<const char*>(data), qint64(n));
    ++m_counters.messagesOut;
}

void MavlinkLinks::endBurst()
{
    m_burst = false;
    for (auto& link : m_links) {
        if (!link->udp)
            continue;
        const int queued = link->udp->queued();
        if (queued > 0) {
            const int sent = link->udp->flush();
            m_counters.droppedOutput += uint64_t(queued - sent);
        }
    }
}

void MavlinkLinks::sendToPeer(const MavlinkPeer& peer, const uint8_t* data, size_t n)
{
    Link& link = *m_links[size_t(peer.link)];
    if (link.udp) {
        if (m_burst)
            link.udp->queue(reinterpret_cast<const char*>(data), int(n), peer.address, peer.port);
        else if (!link.udp->send(reinterpret_cast<const char*>(data), int(n), peer.address, peer.port))
            ++m_counters.droppedOutput;
        ++m_counters.messagesOut;
        return;
    }
    if (peer.socket && link.clients.count(peer.socket))
        sendRaw(peer.sink(), data, n);
    else
        ++m_counters.droppedOutput;
}

size_t MavlinkLinks::deliver(mavlink::FrameCutter& cutter, const uint8_t* data, size_t n, const MavlinkPeer& peer)
{
    using Verdict = mavlink::ReplayGuard::Verdict;
    const auto before = cutter.counters();
    size_t handed = 0;
    cutter.feed(data, n, [&](const mavlink::Frame& frame, mavlink::FrameCutter::Signature sig) {
        if (m_key) {
            const Verdict v = sig == mavlink::FrameCutter::Signature::Valid ? m_replay.check(frame) : Verdict::Stale;
            if (sig != mavlink::FrameCutter::Signature::Valid || v != Verdict::Accepted) {
                ++m_counters.droppedSigning;
                if (spdlog::should_log(spdlog::level::debug))
                    spdlog::debug("<mavlink> frame {} from system {} at {}:{} dropped: {}", frame.msgid, frame.sysid,
                                  peer.address.toString().toStdString(), peer.port,
                                  sig == mavlink::FrameCutter::Signature::None      ? "unsigned"
                                  : sig == mavlink::FrameCutter::Signature::Invalid ? "wrong signature"
                                  : v == Verdict::Ahead                             ? "timestamp over a minute ahead"
                                  : v == Verdict::Full                              ? "too many signing streams"
                                  : v == Verdict::Stale                             ? "timestamp over a minute old"
                                                                                    : "replayed");
                return;
            }
            m_replayDirty = true;
        }
        ++m_counters.messagesIn;
        ++handed;
        if (m_handler)
            m_handler(frame, peer);
    });
    const auto& after = cutter.counters();
    m_counters.droppedCrc += after.crcErrors - before.crcErrors;
    m_counters.unknownMessages += after.unknownMessages - before.unknownMessages;
    m_counters.mavlink1 += after.mavlink1 - before.mavlink1;
    return handed;
}

void MavlinkLinks::closeQuietClients()
{
    for (size_t i = 0; i < m_links.size(); ++i) {
        Link& link = *m_links[i];
        std::vector<QTcpSocket*> quiet;
        for (auto& [socket, client] : link.clients)
            if (client.sinceValid.elapsed() > m_tcpQuietMs)
                quiet.push_back(socket);
        for (QTcpSocket* socket : quiet) {
            spdlog::warn("<mavlink> {}: ground station {}:{} closed: no valid frame for {} ms",
                         link.endpoint.text().toStdString(), socket->peerAddress().toString().toStdString(),
                         socket->peerPort(), m_tcpQuietMs);
            ++m_counters.closedQuiet;
            socket->abort();  // emits disconnected, which forgets the client
            if (link.clients.erase(socket)) {
                if (m_sinkClosed)
                    m_sinkClosed(MavlinkSink{int(i), socket});
                socket->deleteLater();
            }
        }
    }
}

void MavlinkLinks::readUdp(int index, const OstDatagramSocket::Datagram* datagrams, int count)
{
    if (size_t(index) >= m_links.size())
        return;
    Link& link = *m_links[size_t(index)];
    for (int i = 0; i < count; ++i) {
        const OstDatagramSocket::Datagram& datagram = datagrams[i];
        const auto key = std::make_pair(datagram.sender.toString(), datagram.senderPort);
        auto it = link.senders.find(key);
        if (it == link.senders.end()) {
            if (link.senders.size() >= size_t(kMaxUdpSenders))
                link.senders.erase(link.senders.begin());
            it = link.senders.emplace(key, mavlink::FrameCutter()).first;
            it->second.setKey(m_key ? &*m_key : nullptr);
        }
        const MavlinkPeer peer{index, datagram.sender, datagram.senderPort, nullptr};
        mavlink::FrameCutter& cutter = it->second;
        deliver(cutter, reinterpret_cast<const uint8_t*>(datagram.data), size_t(datagram.size), peer);
        cutter.reset();
        if (size_t(index) >= m_links.size())
            return;  // the handler closed the links
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
        Link::Client& client = link.clients.emplace(socket, Link::Client{}).first->second;
        client.cutter.setKey(m_key ? &*m_key : nullptr);
        client.encoder.setSigning(m_key ? &*m_key : nullptr, uint8_t(index));
        client.sinceValid.start();
        spdlog::info("<mavlink> {}: ground station connected from {}:{}", link.endpoint.text().toStdString(),
                     socket->peerAddress().toString().toStdString(), socket->peerPort());
        connect(socket, &QTcpSocket::readyRead, this, [this, index, socket] {
            Link& l = *m_links[size_t(index)];
            auto it = l.clients.find(socket);
            if (it == l.clients.end())
                return;
            const QByteArray bytes = socket->readAll();
            const MavlinkPeer peer{index, socket->peerAddress(), socket->peerPort(), socket};
            if (deliver(it->second.cutter, reinterpret_cast<const uint8_t*>(bytes.constData()), size_t(bytes.size()),
                        peer) > 0) {
                // Looked up again: the handler may have ended the client.
                if (auto again = l.clients.find(socket); again != l.clients.end())
                    again->second.sinceValid.start();
            }
        });
        connect(socket, &QTcpSocket::disconnected, this, [this, index, socket] {
            Link& l = *m_links[size_t(index)];
            if (l.clients.erase(socket)) {
                spdlog::info("<mavlink> {}: ground station disconnected", l.endpoint.text().toStdString());
                if (m_sinkClosed)
                    m_sinkClosed(MavlinkSink{index, socket});
                socket->deleteLater();
            }
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
