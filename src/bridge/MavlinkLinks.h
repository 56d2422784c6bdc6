#pragma once
// The bridge's links to MAVLink ground stations:
//   udp:HOST:PORT   a UDP socket on a free local port that sends to HOST:PORT and takes what
//                   any sender returns to it (a router's usual "out" link)
//   tcpin:PORT      a TCP server; every connected ground station gets the same stream
// Each link has its own encoder (sequence numbers per system, signing link id = its index).
// Received bytes are cut per sender: per datagram for UDP (a frame never spans datagrams), per
// connection for TCP. With a signing key, a frame that is unsigned, wrongly signed or replayed
// is dropped and counted; the handler sees only frames that passed.
//
// A TCP client that stops reading gets no more frames while over kMaxClientBacklog bytes wait
// for it (counted as dropped output), so a stalled ground station costs bounded memory.
// At most kMaxTcpClients clients per server and kMaxUdpSenders remembered UDP senders.

#include "bridge/MavlinkCodec.h"

#include <QHostAddress>
#include <QObject>
#include <QString>

#include <nlohmann/json.hpp>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QTcpServer;
class QTcpSocket;
class QUdpSocket;

struct MavlinkEndpoint {
    enum class Kind { UdpOut, TcpIn };
    Kind kind = Kind::UdpOut;
    QString host;
    quint16 port = 0;

    // "udp:HOST:PORT" or "tcpin:PORT"; nothing (and why in *error) otherwise.
    static std::optional<MavlinkEndpoint> parse(const QString& text, QString* error);
    QString text() const;
};

// Where a frame came from, so that an answer goes back there.
struct MavlinkPeer {
    int link = -1;
    QHostAddress address;
    quint16 port = 0;
    QTcpSocket* socket = nullptr;  // TCP: the connection
};

class MavlinkLinks : public QObject {
    Q_OBJECT
public:
    static constexpr int kMaxTcpClients = 16;
    static constexpr int kMaxUdpSenders = 64;
    static constexpr qint64 kMaxClientBacklog = 256 * 1024;

    struct Counters {
        uint64_t messagesIn = 0;
        uint64_t messagesOut = 0;
        uint64_t droppedCrc = 0;
        uint64_t droppedSigning = 0;
        uint64_t unknownMessages = 0;
        uint64_t mavlink1 = 0;
        uint64_t droppedOutput = 0;
    };

    using Handler = std::function<void(const mavlink::Frame&, const MavlinkPeer&)>;

    explicit MavlinkLinks(QObject* parent = nullptr);
    ~MavlinkLinks() override;

    void setSigningKey(const std::optional<mavlink::SigningKey>& key);
    void setHandler(Handler handler) { m_handler = std::move(handler); }

    // Opens every endpoint; false (and why in *error) if one cannot be opened.
    bool open(const std::vector<MavlinkEndpoint>& endpoints, QString* error);
    void close();

    // To every link's ground stations.
    template <typename M>
    void broadcast(const M& msg, uint8_t sysid, uint8_t compid)
    {
        for (size_t i = 0; i < m_links.size(); ++i) {
            uint8_t buf[mavlink::kMaxFrameLen];
            const size_t n = encoder(int(i)).encode(msg, sysid, compid, buf);
            sendOnLink(int(i), buf, n);
        }
    }
    // To the one ground station a frame came from.
    template <typename M>
    void reply(const MavlinkPeer& peer, const M& msg, uint8_t sysid, uint8_t compid)
    {
        if (peer.link < 0 || size_t(peer.link) >= m_links.size())
            return;
        uint8_t buf[mavlink::kMaxFrameLen];
        const size_t n = encoder(peer.link).encode(msg, sysid, compid, buf);
        sendToPeer(peer, buf, n);
    }

    const Counters& counters() const { return m_counters; }
    // [{"endpoint", "localPort", "clients"}] for the status.
    nlohmann::json linksJson() const;
    // The local port of link i (UDP: the socket's; TCP: the server's).
    quint16 localPort(int link) const;

private:
    struct Link;
    mavlink::Encoder& encoder(int link);
    void sendOnLink(int link, const uint8_t* data, size_t n);
    void sendToPeer(const MavlinkPeer& peer, const uint8_t* data, size_t n);
    void readUdp(int link);
    void acceptTcp(int link);
    void deliver(mavlink::FrameCutter& cutter, const uint8_t* data, size_t n, const MavlinkPeer& peer,
                 mavlink::ReplayGuard& guard);

    std::vector<std::unique_ptr<Link>> m_links;
    std::optional<mavlink::SigningKey> m_key;
    Handler m_handler;
    Counters m_counters;
};
