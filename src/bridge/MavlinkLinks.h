#pragma once
// The bridge's links to MAVLink ground stations:
//   udp:HOST:PORT   a UDP socket on a free local port that sends to HOST:PORT and takes what
//                   any sender returns to it (a router's usual "out" link)
//   tcpin:PORT      a TCP server; every connected ground station gets the same stream
// Sockets bind to 127.0.0.1 unless setBindAddress says otherwise: nothing outside this machine
// reaches the bridge by default. A UDP target that the bind address cannot reach fails open().
//
// A sink is where streams go: a UDP link (its target), or one TCP client. Each sink has its own
// encoder (sequence numbers per system, signing link id = the link's index), so a frame sent to
// one client only leaves no gap in another's sequence. Received bytes are cut per sender: per
// datagram for UDP (a frame never spans datagrams), per connection for TCP.
//
// Signing: with a key, a frame that is unsigned, wrongly signed or replayed is dropped and
// counted; the handler sees only frames that passed. One replay record serves every link (a
// frame captured on one socket is refused on any other) and is saved to the replay state file
// at most once a second and on close, and read on open, so a restart does not reopen it. An
// unreadable state file fails open(): deleting it is the operator's decision, not ours.
//
// Bounds: a TCP client that stops reading gets no more frames while over kMaxClientBacklog bytes
// wait for it (counted as dropped output); a TCP client that has sent no valid frame for
// tcpQuietMs (default 10 s, from its connection on) is closed, so idle connections cannot hold
// the kMaxTcpClients slots; at most kMaxUdpSenders UDP senders have a cutter.

#include "bridge/MavlinkCodec.h"

#include "OstDatagramSocket.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QTimer>

#include <nlohmann/json.hpp>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QTcpServer;
class QTcpSocket;

struct MavlinkEndpoint {
    enum class Kind { UdpOut, TcpIn };
    Kind kind = Kind::UdpOut;
    QString host;
    quint16 port = 0;

    // "udp:HOST:PORT" or "tcpin:PORT"; nothing (and why in *error) otherwise.
    static std::optional<MavlinkEndpoint> parse(const QString& text, QString* error);
    QString text() const;
};

// Where streams go: a UDP link, or one client of a TCP link.
struct MavlinkSink {
    int link = -1;
    QTcpSocket* socket = nullptr;
    auto operator<=>(const MavlinkSink&) const = default;
};

// Where a frame came from, so that an answer goes back there.
struct MavlinkPeer {
    int link = -1;
    QHostAddress address;
    quint16 port = 0;
    QTcpSocket* socket = nullptr;  // TCP: the connection
    MavlinkSink sink() const { return {link, socket}; }
};

class MavlinkLinks : public QObject {
    Q_OBJECT
public:
    static constexpr int kMaxTcpClients = 16;
    static constexpr int kMaxUdpSenders = 64;
    static constexpr qint64 kMaxClientBacklog = 256 * 1024;
    static constexpr int kTcpQuietMs = 10000;
    static constexpr int kReplaySaveMs = 1000;

    struct Counters {
        uint64_t messagesIn = 0;
        uint64_t messagesOut = 0;
        uint64_t droppedCrc = 0;
        uint64_t droppedSigning = 0;
        uint64_t unknownMessages = 0;
        uint64_t mavlink1 = 0;
        uint64_t droppedOutput = 0;
        uint64_t closedQuiet = 0;
    };

    using Handler = std::function<void(const mavlink::Frame&, const MavlinkPeer&)>;
    using SinkClosed = std::function<void(const MavlinkSink&)>;

    explicit MavlinkLinks(QObject* parent = nullptr);
    ~MavlinkLinks() override;

    // Before open().
    void setSigningKey(const std::optional<mavlink::SigningKey>& key);
    void setBindAddress(const QHostAddress& address) { m_bind = address; }
    void setTcpQuietMs(int ms) { m_tcpQuietMs = ms; }
    void setReplayStateFile(const QString& path) { m_replayFile = path; }
    // Where each UDP link's local port is kept: a restarted station sends from the port it used
    // before, so a ground station that answers the first address it heard still reaches it.
    void setPortsStateFile(const QString& path) { m_portsFile = path; }
    void setHandler(Handler handler) { m_handler = std::move(handler); }
    // Called when a TCP client goes: whatever was kept for it ends with it.
    void setSinkClosed(SinkClosed closed) { m_sinkClosed = std::move(closed); }

    // Opens every endpoint; false (and why in *error) if one cannot be opened.
    bool open(const std::vector<MavlinkEndpoint>& endpoints, QString* error);
    void close();

    // To every sink for which skip(sink) is false.
    template <typename M, typename Skip>
    void broadcast(const M& msg, uint8_t sysid, uint8_t compid, Skip&& skip)
    {
        forEachSink([&](const MavlinkSink& sink, mavlink::Encoder& enc) {
            if (skip(sink))
                return;
            uint8_t buf[mavlink::kMaxFrameLen];
            sendRaw(sink, buf, enc.encode(msg, sysid, compid, buf));
        });
    }
    template <typename M>
    void broadcast(const M& msg, uint8_t sysid, uint8_t compid)
    {
        broadcast(msg, sysid, compid, [](const MavlinkSink&) { return false; });
    }
    // To one sink.
    template <typename M>
    void sendTo(const MavlinkSink& sink, const M& msg, uint8_t sysid, uint8_t compid)
    {
        mavlink::Encoder* enc = encoderOf(sink);
        if (!enc)
            return;
        uint8_t buf[mavlink::kMaxFrameLen];
        sendRaw(sink, buf, enc->encode(msg, sysid, compid, buf));
    }
    // To the one ground station a frame came from (UDP: its address, not the link's target).
    template <typename M>
    void reply(const MavlinkPeer& peer, const M& msg, uint8_t sysid, uint8_t compid)
    {
        mavlink::Encoder* enc = encoderOf(peer.sink());
        if (!enc)
            return;
        uint8_t buf[mavlink::kMaxFrameLen];
        sendToPeer(peer, buf, enc->encode(msg, sysid, compid, buf));
    }

    // Between beginBurst() and endBurst() UDP frames are queued and then written in as few system
    // calls as possible (a tick's streams for every vehicle); outside, each goes at once.
    void beginBurst() { m_burst = true; }
    void endBurst();

    const Counters& counters() const { return m_counters; }
    // [{"endpoint", "localPort", "clients"}] for the status.
    nlohmann::json linksJson() const;
    // The local port of link i (UDP: the socket's; TCP: the server's).
    quint16 localPort(int link) const;

private:
    struct Link;
    void forEachSink(const std::function<void(const MavlinkSink&, mavlink::Encoder&)>& f);
    mavlink::Encoder* encoderOf(const MavlinkSink& sink);
    void sendRaw(const MavlinkSink& sink, const uint8_t* data, size_t n);
    void sendToPeer(const MavlinkPeer& peer, const uint8_t* data, size_t n);
    void readUdp(int link, const OstDatagramSocket::Datagram* datagrams, int count);
    void acceptTcp(int link);
    // The number of frames handed on.
    size_t deliver(mavlink::FrameCutter& cutter, const uint8_t* data, size_t n, const MavlinkPeer& peer);
    void closeQuietClients();
    bool loadReplay(QString* error);
    void savePorts(nlohmann::json ports) const;
    void saveReplay();

    std::vector<std::unique_ptr<Link>> m_links;
    std::optional<mavlink::SigningKey> m_key;
    QHostAddress m_bind{QHostAddress::LocalHost};
    int m_tcpQuietMs = kTcpQuietMs;
    QString m_replayFile;
    QString m_portsFile;
    mavlink::ReplayGuard m_replay;
    bool m_replayDirty = false;
    QElapsedTimer m_replaySaved;
    QTimer m_housekeeping;
    Handler m_handler;
    SinkClosed m_sinkClosed;
    Counters m_counters;
    bool m_burst = false;
};
