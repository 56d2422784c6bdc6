#include "GcsFleetWebServer.h"

#include "OstMainLoopGate.h"

#include "GcsFleetHttpGuard.h"

#include "fleet/FleetReadModel.h"
#include "fleet/StationFleetSource.h"

#include <QAbstractHttpServer>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QNetworkInterface>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>
#include <QWebSocket>
#include <QWebSocketServer>

#include <spdlog/spdlog.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <unordered_map>
#include <vector>

#include <zlib.h>

#include <linux/sockios.h>
#include <netinet/in.h>
#include <linux/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

using nlohmann::json;

namespace {

constexpr qint64 kMaxIncomingMessageBytes = 4096;
// Large enough that a turn of a busy event loop moves a ten-thousand-vehicle tick (about 300 KB).
constexpr int kSendBufferBytes = 256 * 1024;
// Documents longer than this go in parts of at most kDocPartBytes, one sent whenever the
// client's unsent output is below kDocPartBytes: a viewer on a slow link takes a large route
// at its own pace, between ticks, instead of being dropped as a reader that stopped.
constexpr size_t kLargeDocBytes = 256 * 1024;
constexpr size_t kDocPartBytes = 64 * 1024;

// The text cut into pieces of at most `most` bytes, never inside a UTF-8 sequence.
std::vector<std::string> cutUtf8(const std::string& text, size_t most)
{
    std::vector<std::string> pieces;
    for (size_t at = 0; at < text.size();) {
        size_t end = std::min(text.size(), at + most);
        while (end < text.size() && end > at + 1 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
            --end;
        pieces.push_back(text.substr(at, end - at));
        at = end;
    }
    return pieces;
}

// The kernel's counters of one TCP connection (Linux).
struct TcpCounters {
    qint64 received = -1;  // bytes received in order since the connection began
    qint64 acked = -1;  // bytes the peer acknowledged
    qint64 unreadInKernel = 0;
    qint64 unsentInKernel = 0;
};

TcpCounters tcpCounters(qintptr descriptor)
{
    TcpCounters c;
    const int fd = int(descriptor);
    // Read twice: a segment that lands between the calls would skew the sum.
    for (int attempt = 0; attempt < 3; ++attempt) {
        tcp_info before{}, after{};
        socklen_t n1 = sizeof before, n2 = sizeof after;
        int inq = 0, outq = 0;
        if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &before, &n1) != 0 || ::ioctl(fd, SIOCINQ, &inq) != 0 ||
            ::ioctl(fd, SIOCOUTQ, &outq) != 0 || ::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &after, &n2) != 0)
            return {};
        if (before.tcpi_bytes_received == after.tcpi_bytes_received) {
            c.received = qint64(after.tcpi_bytes_received);
            c.acked = qint64(after.tcpi_bytes_acked);
            c.unreadInKernel = inq;
            c.unsentInKernel = outq;
            return c;
        }
    }
    return {};
}

// Counts the frames a WebSocket client sends by their headers, in the socket's buffer before the
// WebSocket reads them. Offsets are of the whole incoming stream, the handshake included.
class FrameMeter {
public:
    explicit FrameMeter(qint64 firstFrameAt)
        : m_next(firstFrameAt)
    {
    }
    // `buffered` starts at stream offset `at`. The frames whose headers are new in it, or -1 when
    // a header went by unseen or a frame claims an absurd length (the caller closes the client).
    int count(const QByteArray& buffered, qint64 at)
    {
        if (m_next < at)
            return -1;
        int frames = 0;
        const auto* bytes = reinterpret_cast<const unsigned char*>(buffered.constData());
        for (;;) {
            const qint64 rel = m_next - at;
            if (rel + 2 > buffered.size())
                return frames;
            const unsigned char* b = bytes + rel;
            qint64 length = b[1] & 0x7f;
            qint64 head = 2;
            if (length >= 126) {
                head = length == 126 ? 4 : 10;
                if (rel + head > buffered.size())
                    return frames;
                length = 0;
                for (qint64 i = 2; i < head; ++i)
                    length = (length << 8) | b[i];
                if (length > (1 << 20))
                    return -1;
            }
            m_next += head + ((b[1] & 0x80) ? 4 : 0) + length;
            ++frames;
        }
    }

private:
    qint64 m_next;
};

// How much of the buffer the meter looks at: more than this in one read is a flood anyway.
constexpr qint64 kMostMeteredBytes = 256 * 1024;

// A client's snapshot (megabytes with ten thousand vehicles) is not data it failed to read: its
// unsent bytes are not counted against the limit, and while it is being sent, ticks queued behind
// it may reach its size again (a client that takes it at any pace gets the ticks of that time;
// one slower than that cannot follow the fleet). Kept on the TCP socket, which both checks see.
constexpr const char* kSnapshotLeft = "velmoraSnapshotLeft";
constexpr const char* kSnapshotSize = "velmoraSnapshotSize";
// Set while ticks are held back from a client that fell behind (see send()).
constexpr const char* kBehind = "velmoraBehind";

// More unsent than `limit` (beyond the snapshot) while the kernel holds a full queue for the
// client: it does not take what it is sent as fast as it comes. A backlog while the kernel's
// queue has room is this process being late (a busy machine), not the client.
bool fallingBehind(const QAbstractSocket* socket, qint64 limit)
{
    const qint64 left = socket->property(kSnapshotLeft).toLongLong();
    const qint64 grace = left > 0 ? socket->property(kSnapshotSize).toLongLong() : 0;
    if (socket->bytesToWrite() - left - grace <= limit)
        return false;
    const TcpCounters c = tcpCounters(socket->socketDescriptor());
    return c.received < 0 || c.unsentInKernel >= kSendBufferBytes / 2;
}

struct Answer {
    QHttpServerResponder::StatusCode status = QHttpServerResponder::StatusCode::NotFound;
    QByteArray type = "text/plain; charset=utf-8";
    QByteArray body = "Not Found\n";
    QByteArray etag;  // files only: kept by the browser and revalidated
    bool gzipped = false;
};

// What a request asks beyond its path.
struct Ask {
    QByteArray path;
    bool opsAllowed = false;  // made to an address the operations endpoints answer on
    bool gzip = false;  // Accept-Encoding names gzip
    QByteArray ifNoneMatch;
};

// A page file as served: its bytes, gzipped once at start when that saves something, and an
// entity tag from its content.
struct StaticFile {
    QByteArray type;
    QByteArray body;
    QByteArray gzipped;  // empty: served as is
    QByteArray etag;
};

QByteArray gzip(const QByteArray& in)
{
    z_stream z{};
    // 15 + 16: a gzip wrapper, which every browser takes as Content-Encoding gzip (qCompress
    // writes a zlib stream behind a length prefix).
    if (deflateInit2(&z, 9, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return {};
    QByteArray out(qsizetype(deflateBound(&z, uLong(in.size()))), Qt::Uninitialized);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    z.avail_in = uInt(in.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = uInt(out.size());
    const int rc = deflate(&z, Z_FINISH);
    out.resize(qsizetype(z.total_out));
    deflateEnd(&z);
    return rc == Z_STREAM_END ? out : QByteArray();
}

bool listsGzip(const QByteArray& acceptEncoding)
{
    for (const QByteArray& item : acceptEncoding.split(',')) {
        const QList<QByteArray> parts = item.split(';');
        if (parts.first().trimmed().toLower() != "gzip")
            continue;
        // "gzip;q=0" refuses it
        const QByteArray q = parts.size() > 1 ? parts[1].trimmed() : QByteArray("q=1");
        return !q.startsWith("q=") || q.mid(2).toDouble() > 0.0;
    }
    return false;
}

// The HTTP side: one answer per connection, then the connection closes (see the guard's header).
class FleetHttpServer : public QAbstractHttpServer {
public:
    FleetHttpServer(std::function<Answer(const Ask&)> route, QByteArray policy, GcsFleetHttpGuard* guard,
                    QHostAddress opsAddress, QObject* parent)
        : QAbstractHttpServer(parent)
        , m_route(std::move(route))
        , m_policy(std::move(policy))
        , m_guard(guard)
        , m_opsAddress(std::move(opsAddress))
    {
    }

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override
    {
        if (socket->property("fleetAnswered").toBool()) {
            socket->abort();  // a second request on a connection that is closing
            return true;
        }
        socket->setProperty("fleetAnswered", true);
        Answer answer;
        if (request.method() == QHttpServerRequest::Method::Get) {
            const QHostAddress local = socket->localAddress();
            const bool anyAddress = m_opsAddress == QHostAddress::Any || m_opsAddress == QHostAddress::AnyIPv4 ||
                                    m_opsAddress == QHostAddress::AnyIPv6;
            const bool ops =
                local.isLoopback() || (!m_opsAddress.isNull() &&
                                       (anyAddress || m_opsAddress.isEqual(local, QHostAddress::TolerantConversion)));
            answer = m_route({request.url().path(QUrl::FullyEncoded).toUtf8(), ops,
                              listsGzip(request.value("Accept-Encoding")), request.value("If-None-Match")});
        } else {
            answer = {
                QHttpServerResponder::StatusCode::MethodNotAllowed, answer.type, "Method Not Allowed\n", {}, false};
        }
        if (answer.status != QHttpServerResponder::StatusCode::Ok &&
            answer.status != QHttpServerResponder::StatusCode::NotModified &&
            answer.status != QHttpServerResponder::StatusCode::ServiceUnavailable)
            m_guard->logRefusal(socket, int(answer.status),
                                GcsFleetHttpGuard::quoted(request.url().path(QUrl::FullyEncoded).toUtf8()));
        {
            std::vector<std::pair<QByteArray, QByteArray>> headers{{"Content-Type", answer.type},
                                                                   {"Content-Security-Policy", m_policy},
                                                                   {"X-Content-Type-Options", "nosniff"},
                                                                   {"Referrer-Policy", "no-referrer"},
                                                                   {"Connection", "close"}};
            if (answer.etag.isEmpty()) {
                headers.emplace_back("Cache-Control", "no-store");
            } else {
                // Files change only with the station: the browser keeps them and asks again with
                // the tag, which costs a 304 and no body.
                headers.emplace_back("Cache-Control", "no-cache");
                headers.emplace_back("ETag", answer.etag);
                headers.emplace_back("Vary", "Accept-Encoding");
            }
            if (answer.gzipped)
                headers.emplace_back("Content-Encoding", "gzip");
            headers.emplace_back("Content-Length", QByteArray::number(answer.body.size()));
            auto responder = makeResponder(request, socket);
            responder.writeStatusLine(answer.status);
            for (const auto& [name, value] : headers)
                responder.writeHeader(name, value);
            responder.writeBody(answer.body);
        }
        socket->disconnectFromHost();
        return true;
    }

    void missingHandler(const QHttpServerRequest&, QTcpSocket* socket) override { socket->abort(); }

private:
    std::function<Answer(const Ask&)> m_route;
    QByteArray m_policy;
    GcsFleetHttpGuard* m_guard;  // this server's child once bound
    QHostAddress m_opsAddress;
};

// The scheme and host of a tile URL template as a CSP source: "{s}." in front becomes "*.", any
// other placeholder or odd character in the host leaves the scheme alone. A relative template is
// covered by 'self'.
QByteArray tileSource(const QString& mapTiles)
{
    const QByteArray t = mapTiles.toUtf8();
    const qsizetype sep = t.indexOf("://");
    if (sep < 0)
        return {};
    const QByteArray scheme = t.left(sep).toLower();
    if (scheme != "http" && scheme != "https")
        return {};
    QByteArray host = t.mid(sep + 3);
    host = host.left(std::min(host.indexOf('/') < 0 ? host.size() : host.indexOf('/'),
                              host.indexOf('?') < 0 ? host.size() : host.indexOf('?')));
    if (host.startsWith('{') && host.indexOf("}.") > 0)
        host = "*" + host.mid(host.indexOf("}.") + 1);
    const bool plain = !host.isEmpty() && std::all_of(host.begin(), host.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || std::strchr(".-:[]*", c);
    }) && host.lastIndexOf('*') <= 0;
    return plain ? scheme + "://" + host : scheme + ":";
}

QByteArray securityPolicy(const QString& mapTiles)
{
    // data: images: the page's empty favicon (it spares a 404 for /favicon.ico). The one style
    // attribute allowed is the one dygraphs' legend sets to measure an em.
    return QByteArray(GcsFleetHttpGuard::kSecurityPolicy) +
           "; style-src 'self' 'unsafe-hashes' 'sha256-MJyOH6fkfzWPCLv2CfAAYjOtxkqoLBYZsmiMyy1D4sc='" +
           ("; img-src 'self' data: " + tileSource(mapTiles)).trimmed();
}

QByteArray mimeOf(const QString& name)
{
    if (name.endsWith(".html"))
        return "text/html; charset=utf-8";
    if (name.endsWith(".js"))
        return "text/javascript; charset=utf-8";
    if (name.endsWith(".css"))
        return "text/css; charset=utf-8";
    if (name.endsWith(".png"))
        return "image/png";
    return "application/octet-stream";
}

}  // namespace

struct GcsFleetWebServer::Private {
    GcsFleetWebServer* q;
    std::shared_ptr<FleetPageSource> source;
    Options options;
    GcsFleetHttpGuard* guard = nullptr;
    FleetHttpServer* http = nullptr;
    QWebSocketServer* ws = nullptr;
    QList<QWebSocket*> clients;
    // The TCP socket under each client (for the kernel's counters), and its progress.
    struct Watch {
        QPointer<QTcpSocket> tcp;
        qint64 acked = -1;
        qint64 progressMs = 0;
        bool behind = false;  // ticks held back until its unsent output drains (send())
        uint64_t behindFrom = 0;  // the first tick held back
    };
    std::unordered_map<QWebSocket*, Watch> watches;
    std::map<std::pair<QString, quint16>, QPointer<QTcpSocket>> upgrading;  // by peer address and port
    // Parts of large documents not yet sent to each client: (document key, message).
    std::unordered_map<QWebSocket*, std::deque<std::pair<std::string, std::string>>> pendingParts;
    uint64_t docVersion = 0;
    QTimer timer;
    std::map<QByteArray, StaticFile> staticFiles;  // request path -> file

    // Each vehicle as the clients have it after the last tick (or the first client's snapshot).
    struct Sent {
        json v;  // V without linkStats
        json linkStats;  // as last sent
        uint64_t seenTick = 0;
        uint64_t linkSentTick = 0;
        uint64_t stamp = 0;  // the source's, of what was sent; 0: compare at the next tick
    };
    std::unordered_map<std::string, Sent> sentVehicles;  // by vehicleKey
    std::map<std::string, std::string> sentDocs;  // "alerts", "route", "zones", "link", "stations"
    uint64_t tickCount = 0;
    std::string lastSnapshot;  // a joining client's, for the others joining before the next tick
    std::vector<std::string> lastSnapshotLarge;
    uint64_t snapshotTick = 0;
    uint64_t routeSeen = 0;
    uint64_t zonesSeen = 0;
    bool stampsSeen = false;

    Private(GcsFleetWebServer* owner, std::shared_ptr<FleetPageSource> s, Options o)
        : q(owner)
        , source(std::move(s))
        , options(std::move(o))
    {
    }

    void addStaticFile(const QByteArray& path, const QString& resource)
    {
        QFile f(resource);
        if (!f.open(QIODevice::ReadOnly)) {
            spdlog::warn("<fleet-web> page file {} is missing", resource.toStdString());
            return;
        }
        StaticFile file{mimeOf(resource), f.readAll(), {}, {}};
        file.etag = '"' + QCryptographicHash::hash(file.body, QCryptographicHash::Sha256).toHex().left(20) + '"';
        if (!file.type.startsWith("image/")) {
            QByteArray packed = gzip(file.body);
            if (!packed.isEmpty() && packed.size() < file.body.size())
                file.gzipped = std::move(packed);
        }
        staticFiles[path] = std::move(file);
    }

    void collectStaticFiles()
    {
        addStaticFile("/", QStringLiteral(":/web/index.html"));
        for (const char* name :
             {"fleet.js", "fleet.css", "leaflet.js", "leaflet.css", "dygraph.min.js", "dygraph.min.css"})
            addStaticFile(QByteArray("/static/") + name, QStringLiteral(":/web/") + name);
        for (const QString& image : QDir(QStringLiteral(":/web/images")).entryList(QDir::Files))
            addStaticFile("/static/images/" + image.toUtf8(), QStringLiteral(":/web/images/") + image);
    }

    Answer route(const Ask& ask)
    {
        const QByteArray& path = ask.path;
        static const std::map<QByteArray, json (FleetPageSource::*)()> docs = {
            {"/api/v1/fleet", &FleetPageSource::fleet},
            {"/api/v1/alerts", &FleetPageSource::alerts},
            {"/api/v1/routes/active", &FleetPageSource::activeRoute},
            {"/api/v1/zones", &FleetPageSource::zones},
            {"/api/v1/link", &FleetPageSource::link},
            {"/api/v1/stations", &FleetPageSource::stations},
        };
        if (ask.opsAllowed) {
            if (path == "/metrics" && options.metrics)
                return {QHttpServerResponder::StatusCode::Ok,
                        "text/plain; version=0.0.4; charset=utf-8",
                        QByteArray::fromStdString(options.metrics()),
                        {},
                        false};
            const auto& check = path == "/healthz" ? options.health : path == "/readyz" ? options.readiness : nullptr;
            if (check) {
                const auto [ok, body] = check();
                return {ok ? QHttpServerResponder::StatusCode::Ok
                           : QHttpServerResponder::StatusCode::ServiceUnavailable,
                        "application/json",
                        QByteArray::fromStdString(body.dump()),
                        {},
                        false};
            }
        }
        if (const auto doc = docs.find(path); doc != docs.end()) {
            json body = (source.get()->*doc->second)();
            // A station has no station list: that path is as unknown as any other there.
            if (!body.is_null())
                return {QHttpServerResponder::StatusCode::Ok,
                        "application/json",
                        QByteArray::fromStdString(body.dump()),
                        {},
                        false};
        }
        if (const auto found = staticFiles.find(path); found != staticFiles.end()) {
            const StaticFile& file = found->second;
            if (ask.ifNoneMatch == file.etag)
                return {QHttpServerResponder::StatusCode::NotModified, file.type, {}, file.etag, false};
            const bool packed = ask.gzip && !file.gzipped.isEmpty();
            return {QHttpServerResponder::StatusCode::Ok, file.type, packed ? file.gzipped : file.body, file.etag,
                    packed};
        }
        return {};
    }

    QList<QByteArray> allowedHosts(quint16 port) const
    {
        QList<QHostAddress> addresses{options.address, QHostAddress(QHostAddress::LocalHost)};
        if (options.address == QHostAddress::Any || options.address == QHostAddress::AnyIPv4 ||
            options.address == QHostAddress::AnyIPv6)
            addresses += QNetworkInterface::allAddresses();
        QList<QByteArray> names{"localhost"};
        for (const auto& a : addresses) {
            const QString text = a.toString().toLower();
            names << (a.protocol() == QAbstractSocket::IPv6Protocol ? "[" + text + "]" : text).toUtf8();
        }
        QList<QByteArray> hosts;
        for (const auto& n : names)
            hosts << n << n + ":" + QByteArray::number(port);
        return hosts;
    }

    // ---- WebSocket clients ----

    void handleUpgrade(QTcpSocket* socket)
    {
        const QHostAddress peer = socket->peerAddress();
        const QString range = GcsFleetHttpGuard::rangeOf(peer);
        const auto fromPeer = std::count_if(clients.begin(), clients.end(),
                                            [&](const QWebSocket* c) { return c->peerAddress() == peer; });
        const auto fromRange = std::count_if(clients.begin(), clients.end(), [&](const QWebSocket* c) {
            return GcsFleetHttpGuard::rangeOf(c->peerAddress()) == range;
        });
        std::string full;
        if (clients.size() >= kMaxClients)
            full = "already " + std::to_string(kMaxClients) + " WebSocket clients";
        else if (fromPeer >= options.perPeer)
            full = "already " + std::to_string(options.perPeer) + " WebSocket clients from this peer";
        else if (fromRange >= 2 * options.perPeer)
            full = "already " + std::to_string(2 * options.perPeer) + " WebSocket clients from " + range.toStdString();
        if (!full.empty()) {
            guard->refuse(socket, 503, full);
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            return;
        }
        socket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, kSendBufferBytes);
        // Connected before the WebSocket's own: it sees each read first.
        const QByteArray head = socket->peek(GcsFleetHttpGuard::kMaxHeadBytes + 4);
        auto meter = std::make_shared<FrameMeter>(head.indexOf("\r\n\r\n") + 4);
        auto window = std::make_shared<std::pair<qint64, int>>(0, 0);  // start, frames
        QObject::connect(socket, &QTcpSocket::readyRead, q, [socket, meter, window] {
            const TcpCounters c = tcpCounters(socket->socketDescriptor());
            const qint64 buffered = socket->bytesAvailable();
            const qint64 at = c.received < 0 ? -1 : c.received - c.unreadInKernel - buffered;
            const int frames = at < 0 ? -1 : meter->count(socket->peek(std::min(buffered, kMostMeteredBytes)), at);
            const qint64 now = QDateTime::currentMSecsSinceEpoch();
            if (now - window->first >= 1000)
                *window = {now, 0};
            window->second += std::max(frames, 0);
            if (frames >= 0 && window->second <= kMostIncomingFramesPerSecond)
                return;
            spdlog::warn("<fleet-web> closed WebSocket client {}: {}", socket->peerAddress().toString().toStdString(),
                         frames < 0 ? "its frames cannot be followed"
                                    : "more than " + std::to_string(kMostIncomingFramesPerSecond) +
                                          " frames (pings) in a second");
            socket->abort();
        });
        // After the WebSocket has read (and answered pings): a client over its unsent limit goes at once.
        QObject::connect(
            socket, &QTcpSocket::readyRead, q,
            [socket = QPointer<QTcpSocket>(socket), limit = options.maxPendingOutputBytes] {
                // Held-back ticks are not queued: what a client that fell behind has unsent is its pongs.
                if (socket && !socket->property(kBehind).toBool() && fallingBehind(socket, limit)) {
                    spdlog::warn("<fleet-web> dropped client {}: {} bytes unsent after a read",
                                 socket->peerAddress().toString().toStdString(), socket->bytesToWrite());
                    socket->abort();
                }
            },
            Qt::QueuedConnection);
        std::erase_if(upgrading, [](const auto& entry) { return entry.second.isNull(); });
        upgrading[{peer.toString(), socket->peerPort()}] = socket;
        socket->setParent(nullptr);  // the WebSocket server owns it from here
        ws->handleConnection(socket);
        emit socket->readyRead();
    }

    // Closes the clients that have taken none of their output for stalledReaderMs.
    void closeStalledReaders()
    {
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        for (QWebSocket* client : QList<QWebSocket*>(clients)) {
            Watch& w = watches[client];
            const TcpCounters c = w.tcp ? tcpCounters(w.tcp->socketDescriptor()) : TcpCounters{};
            const bool idle = c.unsentInKernel == 0 && client->bytesToWrite() == 0;
            if (c.acked < 0 || idle || c.acked != w.acked || !w.progressMs) {
                w.acked = c.acked;
                w.progressMs = now;
                continue;
            }
            if (now - w.progressMs < options.stalledReaderMs)
                continue;
            spdlog::warn("<fleet-web> dropped client {}: it took nothing for {} ms",
                         client->peerAddress().toString().toStdString(), now - w.progressMs);
            client->abort();
            removeClient(client);
        }
    }

    void handleNewClients()
    {
        while (QWebSocket* client = ws->nextPendingConnection()) {
            if (clients.size() >= kMaxClients) {
                spdlog::warn("<fleet-web> refused WebSocket client {}: already {} clients",
                             client->peerAddress().toString().toStdString(), kMaxClients);
                // 1013: try again later
                client->close(QWebSocketProtocol::CloseCode(1013), QStringLiteral("too many clients"));
                client->deleteLater();
                continue;
            }
            watches[client].tcp = upgrading[{client->peerAddress().toString(), client->peerPort()}];
            upgrading.erase({client->peerAddress().toString(), client->peerPort()});
            client->setMaxAllowedIncomingMessageSize(kMaxIncomingMessageBytes);
            client->setMaxAllowedIncomingFrameSize(kMaxIncomingMessageBytes);
            QObject::connect(client, &QWebSocket::disconnected, q, [this, client] { removeClient(client); });
            QObject::connect(client, &QWebSocket::bytesWritten, q, [this, client] {
                catchUp(client);
                pumpParts(client);
            });
            // The socket's own count: the WebSocket's signal may come more than once for the same bytes.
            QTcpSocket* tcp = watches[client].tcp;
            if (tcp)
                QObject::connect(tcp, &QTcpSocket::bytesWritten, tcp, [tcp](qint64 written) {
                    tcp->setProperty(kSnapshotLeft,
                                     std::max<qint64>(0, tcp->property(kSnapshotLeft).toLongLong() - written));
                });
            const bool first = clients.isEmpty();
            clients.append(client);
            spdlog::info("<fleet-web> client {} connected, {} now", client->peerAddress().toString().toStdString(),
                         clients.size());
            sendSnapshot(client, first);
            if (first)
                timer.start();
            emit q->clientCountChanged(int(clients.size()));
        }
    }

    // The whole fleet to one client (on joining, and to catch up), its large documents after it.
    void sendSnapshot(QWebSocket* client, bool seed)
    {
        std::vector<std::string> large;
        const QString text = QString::fromStdString(snapshot(seed, &large));
        if (QTcpSocket* tcp = watches[client].tcp) {
            tcp->setProperty(kSnapshotLeft, qint64(text.size()));
            tcp->setProperty(kSnapshotSize, qint64(text.size()));
        }
        client->sendTextMessage(text);
        // The page starts documents over at a snapshot: their parts go again, whole.
        for (const std::string& key : large)
            queueParts(client, key, sentDocs[key]);
    }

    // A client that fell behind and has taken what it had: the fleet as it is now, then ticks again.
    void catchUp(QWebSocket* client)
    {
        const auto w = watches.find(client);
        if (w == watches.end() || !w->second.behind || client->bytesToWrite() >= qint64(kDocPartBytes))
            return;
        w->second.behind = false;
        if (w->second.tcp)
            w->second.tcp->setProperty(kBehind, false);
        spdlog::debug("<fleet-web> client {} caught up: a snapshot in place of {} ticks",
                      client->peerAddress().toString().toStdString(), tickCount - w->second.behindFrom);
        sendSnapshot(client, false);
    }

    void removeClient(QWebSocket* client)
    {
        if (!clients.removeOne(client))
            return;
        pendingParts.erase(client);
        watches.erase(client);
        client->deleteLater();
        spdlog::info("<fleet-web> client {} left, {} now", client->peerAddress().toString().toStdString(),
                     clients.size());
        if (clients.isEmpty())
            timer.stop();
        emit q->clientCountChanged(int(clients.size()));
    }

    // Queues a large document for one client, in place of unsent parts of its older version
    // (the page drops a version it has not completed when parts of a newer one come).
    void queueParts(QWebSocket* client, const std::string& key, const std::string& text)
    {
        auto& queue = pendingParts[client];
        queue.erase(std::remove_if(queue.begin(), queue.end(), [&](const auto& p) { return p.first == key; }),
                    queue.end());
        const auto pieces = cutUtf8(text, kDocPartBytes);
        const uint64_t version = ++docVersion;
        for (size_t i = 0; i < pieces.size(); ++i)
            queue.emplace_back(key, json({{"type", "part"},
                                          {"key", key},
                                          {"version", version},
                                          {"index", i},
                                          {"count", pieces.size()},
                                          {"data", pieces[i]}})
                                        .dump());
        pumpParts(client);
    }

    void pumpParts(QWebSocket* client)
    {
        const auto it = pendingParts.find(client);
        if (it == pendingParts.end())
            return;
        while (!it->second.empty() && client->bytesToWrite() < qint64(kDocPartBytes)) {
            client->sendTextMessage(QString::fromStdString(it->second.front().second));
            it->second.pop_front();
        }
        if (it->second.empty())
            pendingParts.erase(it);
    }

    // A tick to every client that takes them as fast as they come. One that does not (a slow
    // machine or link: more than the limit unsent) gets no more ticks until it has taken what it
    // has, then a snapshot: it follows the fleet at its own pace, never further behind than that,
    // and the station holds at most the limit and one tick for it. One that takes nothing at all
    // is closed by closeStalledReaders.
    void send(const QString& text)
    {
        for (QWebSocket* client : QList<QWebSocket*>(clients)) {
            Watch& w = watches[client];
            if (w.behind)
                continue;
            // Tick data only: a document part in the buffer (at most two, with JSON escapes) is
            // the client's slow link, not ticks piling up.
            const qint64 limit = options.maxPendingOutputBytes + 2 * qint64(kDocPartBytes);
            if (w.tcp ? fallingBehind(w.tcp, limit) : client->bytesToWrite() > limit) {
                w.behind = true;
                w.behindFrom = tickCount;
                if (w.tcp)
                    w.tcp->setProperty(kBehind, true);
                spdlog::info("<fleet-web> client {} fell behind ({} bytes unsent): ticks held back until it "
                             "has taken them, then a snapshot",
                             client->peerAddress().toString().toStdString(), client->bytesToWrite());
                continue;
            }
            client->sendTextMessage(text);
        }
    }

    // ---- documents ----

    // The snapshot. The first client's becomes what later ticks compare with; a later client
    // gets what the others were sent, so that the next tick's changes apply to it as well.
    // Keys of the documents too large for it go to *large: they follow in parts.
    std::string snapshot(bool seed, std::vector<std::string>* large)
    {
        // Clients that join between two ticks get the same one: with ten thousand vehicles it
        // takes a tenth of a second to build.
        if (!seed && snapshotTick == tickCount && !lastSnapshot.empty()) {
            *large = lastSnapshotLarge;
            return lastSnapshot;
        }
        lastSnapshot.clear();
        json fleet = source->fleet();
        json docs = {{"alerts", source->alerts()},
                     {"route", source->activeRoute()},
                     {"zones", source->zones()},
                     {"link", source->link()}};
        if (json stations = source->stations(); !stations.is_null())
            docs["stations"] = std::move(stations);
        if (seed) {
            sentVehicles.clear();
            for (json v : fleet["vehicles"]) {
                json link = std::move(v["linkStats"]);
                v.erase("linkStats");
                std::string key = v["key"].get<std::string>();
                sentVehicles[std::move(key)] = {std::move(v), std::move(link), tickCount, tickCount};
            }
            for (const auto& [key, doc] : docs.items())
                sentDocs[key] = doc.dump();
        }
        if (!seed) {
            // A vehicle that joined since the last tick is not there yet: the next tick has it whole.
            for (json& v : fleet["vehicles"]) {
                if (const auto sent = sentVehicles.find(v["key"].get<std::string>()); sent != sentVehicles.end()) {
                    v = sent->second.v;
                    v["linkStats"] = sent->second.linkStats;
                }
            }
            for (auto& [key, doc] : docs.items()) {
                if (const auto sent = sentDocs.find(key);
                    sent != sentDocs.end() && sent->second.size() <= kLargeDocBytes)
                    doc = json::parse(sent->second);
            }
        }
        for (const auto& [key, text] : sentDocs) {
            if (text.size() > kLargeDocBytes && docs.contains(key)) {
                docs.erase(key);
                large->push_back(key);
            }
        }
        json message = {{"type", "snapshot"},
                        {"time", FleetReadModel::nowMs()},
                        {"fleet", std::move(fleet)},
                        {"config", {{"rateHz", options.rateHz}, {"mapTiles", options.mapTiles.toStdString()}}}};
        message.update(docs);
        std::string text = message.dump();
        if (!seed) {
            lastSnapshot = text;
            lastSnapshotLarge = *large;
            snapshotTick = tickCount;
        }
        return text;
    }

    // Appends ,"key":doc when the document's text changed since it was last sent.
    void addIfChanged(std::string& message, const char* key, const json& doc)
    {
        std::string text = doc.dump();
        std::string& sent = sentDocs[key];
        if (text == sent)
            return;
        sent = std::move(text);
        if (sent.size() > kLargeDocBytes) {
            for (QWebSocket* client : clients)
                queueParts(client, key, sent);
            return;
        }
        message += ",\"" + std::string(key) + "\":" + sent;
    }

    void tick()
    {
        if (clients.isEmpty())
            return;
        ++tickCount;
        if (tickCount % uint64_t(options.rateHz) == 0)
            closeStalledReaders();
        std::string changed;
        const uint64_t second = uint64_t(options.rateHz);
        // A vehicle still at the stamp it was sent with comes unbuilt (v null): nothing to compare.
        auto all = source->vehiclesSince([this](const std::string& key) {
            const auto it = sentVehicles.find(key);
            return it == sentVehicles.end() ? uint64_t(0) : it->second.stamp;
        });
        for (auto& [vehicleKey, now, link, stamp] : all) {
            OstMainLoopGate::instance().pass();
            const auto [it, joined] = sentVehicles.try_emplace(vehicleKey);
            Sent& sent = it->second;
            sent.seenTick = tickCount;
            if (!joined && now.is_null())
                continue;
            json entry = json::object();
            if (joined) {
                entry = now;
                entry["linkStats"] = link;
                sent = {std::move(now), std::move(link), tickCount, tickCount, stamp};
            } else {
                // Numbers are rounded as shown, so jitter below that does not count as a change.
                for (auto& [key, value] : now.items()) {
                    json& old = sent.v[key];
                    if (old != value)
                        entry[key] = old = std::move(value);
                }
                // Link counters move at every telemetry request: they go at most once a second,
                // whatever else changed.
                sent.stamp = stamp;
                if (link != sent.linkStats && tickCount - sent.linkSentTick >= second) {
                    entry["linkStats"] = link;
                    sent.linkStats = std::move(link);
                    sent.linkSentTick = tickCount;
                } else if (link != sent.linkStats) {
                    sent.stamp = 0;  // counters held back: not yet as the stamp says they are
                }
                if (entry.empty())
                    continue;
                entry["key"] = it->first;
                entry["vehicleId"] = sent.v["vehicleId"];
            }
            if (!changed.empty())
                changed += ',';
            changed += entry.dump();
        }
        std::string removed;
        for (auto it = sentVehicles.begin(); it != sentVehicles.end();) {
            if (it->second.seenTick == tickCount) {
                ++it;
                continue;
            }
            removed += (removed.empty() ? "" : ",") + json(it->first).dump();
            it = sentVehicles.erase(it);
        }
        std::string message = "{\"type\":\"tick\",\"time\":" + std::to_string(FleetReadModel::nowMs()) +
                              ",\"vehicles\":[" + changed + "],\"removed\":[" + removed + "]";
        addIfChanged(message, "alerts", source->alerts());
        addIfChanged(message, "link", source->link());
        if (json stations = source->stations(); !stations.is_null())
            addIfChanged(message, "stations", stations);
        // Route and zone sets can be large: rebuilt when replaced, else once a second.
        const bool everySecond = tickCount % second == 0;
        const uint64_t route = source->routeStamp();
        if (everySecond || !stampsSeen || route != routeSeen) {
            routeSeen = route;
            addIfChanged(message, "route", source->activeRoute());
        }
        const uint64_t zones = source->zonesStamp();
        if (everySecond || !stampsSeen || zones != zonesSeen) {
            zonesSeen = zones;
            addIfChanged(message, "zones", source->zones());
        }
        stampsSeen = true;
        message += '}';
        send(QString::fromStdString(message));
    }
};

GcsFleetWebServer::GcsFleetWebServer(std::shared_ptr<FleetPageSource> source, Options options, QObject* parent)
    : QObject(parent)
    , d(std::make_unique<Private>(this, std::move(source), std::move(options)))
{
}

GcsFleetWebServer::~GcsFleetWebServer()
{
    stop();
}

bool GcsFleetWebServer::start(QString* error)
{
    auto fail = [&](const QString& why) {
        spdlog::error("<fleet-web> not started: {}", why.toStdString());
        if (error)
            *error = why;
        return false;
    };
    if (isListening())
        return true;
    if (!d->source)
        return fail(QStringLiteral("no fleet to serve"));
    if (d->options.rateHz < kMinRateHz || d->options.rateHz > kMaxRateHz)
        return fail(
            QStringLiteral("rate %1 Hz is outside %2-%3").arg(d->options.rateHz).arg(kMinRateHz).arg(kMaxRateHz));
    if (d->options.address.isNull())
        return fail(QStringLiteral("no bind address"));
    if (d->options.perPeer < 1 || d->options.answerDeadlineMs < 1 || d->options.stalledReaderMs < 1)
        return fail(
            QStringLiteral("the per-peer share, the answer deadline and the stalled reader time must be positive"));

    d->collectStaticFiles();
    d->guard = new GcsFleetHttpGuard(this);
    if (!d->guard->listen(d->options.address, d->options.port)) {
        const QString why = QStringLiteral("cannot listen on %1 port %2: %3")
                                .arg(d->options.address.toString())
                                .arg(d->options.port)
                                .arg(d->guard->errorString());
        delete d->guard;
        d->guard = nullptr;
        return fail(why);
    }
    d->guard->setAllowedHosts(d->allowedHosts(d->guard->serverPort()));
    d->guard->setPerPeerLimit(d->options.perPeer);
    d->guard->setAnswerDeadlineMs(d->options.answerDeadlineMs);
    d->http = new FleetHttpServer([this](const Ask& ask) { return d->route(ask); }, securityPolicy(d->options.mapTiles),
                                  d->guard, d->options.opsAddress, this);
    d->http->bind(d->guard);  // the guard becomes the HTTP server's child
    d->ws = new QWebSocketServer(QStringLiteral("velmora-station"), QWebSocketServer::NonSecureMode, this);
    connect(d->guard, &GcsFleetHttpGuard::upgradeRequested, this, [this](QTcpSocket* s) { d->handleUpgrade(s); });
    connect(d->ws, &QWebSocketServer::newConnection, this, [this] { d->handleNewClients(); });
    connect(d->ws, &QWebSocketServer::serverError, this, [](QWebSocketProtocol::CloseCode code) {
        spdlog::warn("<fleet-web> refused a WebSocket handshake: close code {}", int(code));
    });
    d->timer.setParent(this);  // names its owner in the main loop's stall log
    d->timer.setInterval(1000 / d->options.rateHz);
    connect(&d->timer, &QTimer::timeout, this, [this] { d->tick(); });

    if (!d->options.address.isLoopback())
        spdlog::warn("<fleet-web> listening on {}, not loopback: the fleet page has no authentication, anyone who "
                     "reaches this address sees the fleet",
                     d->options.address.toString().toStdString());
    spdlog::info("<fleet-web> serving {} at {} Hz", pageUrl().toStdString(), d->options.rateHz);
    return true;
}

void GcsFleetWebServer::stop()
{
    if (!d->guard)
        return;
    d->timer.stop();
    for (QWebSocket* client : QList<QWebSocket*>(d->clients)) {
        client->disconnect(this);
        client->abort();
        delete client;
    }
    d->clients.clear();
    d->guard->close();
    delete d->http;  // and the guard, its child
    d->http = nullptr;
    d->guard = nullptr;
    delete d->ws;
    d->ws = nullptr;
    d->sentVehicles.clear();
    d->sentDocs.clear();
    d->lastSnapshot.clear();
    d->stampsSeen = false;
    spdlog::info("<fleet-web> stopped");
}

bool GcsFleetWebServer::isListening() const
{
    return d->guard && d->guard->isListening();
}

QHostAddress GcsFleetWebServer::address() const
{
    return d->options.address;
}

quint16 GcsFleetWebServer::port() const
{
    return d->guard ? d->guard->serverPort() : 0;
}

QString GcsFleetWebServer::pageUrl() const
{
    const QString host = d->options.address.protocol() == QAbstractSocket::IPv6Protocol
                             ? "[" + d->options.address.toString() + "]"
                             : d->options.address.toString();
    return QStringLiteral("http://%1:%2/").arg(host).arg(port());
}

int GcsFleetWebServer::clientCount() const
{
    return int(d->clients.size());
}

bool GcsFleetWebServer::setClientLimits(int rateHz, int perPeer, QString* error)
{
    if (rateHz < kMinRateHz || rateHz > kMaxRateHz || perPeer < 1) {
        if (error)
            *error = QStringLiteral("rate %1 Hz or per-peer share %2 out of range").arg(rateHz).arg(perPeer);
        return false;
    }
    d->options.rateHz = rateHz;
    d->options.perPeer = perPeer;
    d->timer.setInterval(1000 / rateHz);
    if (d->guard)
        d->guard->setPerPeerLimit(perPeer);
    spdlog::info("<fleet-web> {} Hz, {} connections per peer", rateHz, perPeer);
    return true;
}
