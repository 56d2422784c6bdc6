#include "GcsFleetHttpGuard.h"

#include <QDateTime>
#include <QTcpSocket>

#include <spdlog/spdlog.h>

#include <algorithm>

namespace {

using Head = GcsFleetHttpGuard::Head;

Head refused(int status, std::string reason)
{
    Head h;
    h.kind = Head::Kind::Refused;
    h.status = status;
    h.reason = std::move(reason);
    return h;
}

const char* statusText(int status)
{
    switch (status) {
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 413: return "Payload Too Large";
    case 421: return "Misdirected Request";
    case 431: return "Request Header Fields Too Large";
    case 503: return "Service Unavailable";
    default: return "Error";
    }
}

std::string peerOf(const QTcpSocket* socket)
{
    return socket->peerAddress().toString().toStdString() + ":" + std::to_string(socket->peerPort());
}

}  // namespace

std::string GcsFleetHttpGuard::quoted(const QByteArray& raw)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (const char c : raw) {
        const auto u = static_cast<unsigned char>(c);
        const std::string piece =
            (u >= 0x20 && u < 0x7f) ? std::string(1, c) : std::string{'\\', 'x', digits[u >> 4], digits[u & 15]};
        if (out.size() + piece.size() > kMaxQuotedChars)
            break;
        out += piece;
    }
    return out;
}

QString GcsFleetHttpGuard::rangeOf(const QHostAddress& address)
{
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped);
    if (mapped)
        return QHostAddress(v4 & 0xffffff00u).toString() + "/24";
    Q_IPV6ADDR v6 = address.toIPv6Address();
    std::fill(v6.c + 8, v6.c + 16, 0);
    return QHostAddress(v6).toString() + "/64";
}

qsizetype GcsFleetHttpGuard::headEnd(const QByteArray& buffered, qsizetype scanned)
{
    return buffered.indexOf("\r\n\r\n", std::max<qsizetype>(0, scanned - 3));
}

GcsFleetHttpGuard::RefusalLog::RefusalLog(std::function<qint64()> clockMs)
    : m_clockMs(std::move(clockMs))
{
}

void GcsFleetHttpGuard::RefusalLog::summarize(const std::string& peer, const Window& w) const
{
    if (w.suppressed > 0)
        spdlog::warn("<fleet-web> {} more refusals from {}", w.suppressed, peer);
}

void GcsFleetHttpGuard::RefusalLog::refused(const std::string& peer, const std::string& line)
{
    const qint64 now = m_clockMs();
    Window& w = m_windows.try_emplace(peer, Window{now}).first->second;
    if (now - w.startMs >= 1000) {
        summarize(peer, w);
        w = Window{now};
    }
    if (w.logged < kMaxLoggedRefusalsPerSecond) {
        ++w.logged;
        spdlog::warn("{}", line);
    } else {
        ++w.suppressed;
    }
}

bool GcsFleetHttpGuard::RefusalLog::flush()
{
    const qint64 now = m_clockMs();
    for (auto it = m_windows.begin(); it != m_windows.end();) {
        if (now - it->second.startMs < 1000) {
            ++it;
            continue;
        }
        summarize(it->first, it->second);
        it = m_windows.erase(it);
    }
    return !m_windows.empty();
}

Head GcsFleetHttpGuard::inspect(const QByteArray& buffered, const QList<QByteArray>& hosts)
{
    const qsizetype end = buffered.indexOf("\r\n\r\n");
    if (end < 0 && buffered.size() <= kMaxHeadBytes)
        return {};
    if (end < 0 || end + 4 > kMaxHeadBytes)
        return refused(431, "request head over " + std::to_string(kMaxHeadBytes) + " bytes");

    const QList<QByteArray> lines = buffered.left(end).split('\n');
    const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
    if (requestLine.size() != 3 || !requestLine[2].startsWith("HTTP/1.") || !requestLine[1].startsWith('/'))
        return refused(400, "malformed request line");
    QByteArray host, upgrade, origin, fetchSite;
    bool hostSeen = false;
    bool body = false;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray& line = lines[i];
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            return refused(400, "malformed header line");
        const QByteArray name = line.left(colon).trimmed().toLower();
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (name == "host") {
            if (hostSeen)
                return refused(400, "more than one Host header");
            hostSeen = true;
            host = value.toLower();
        } else if (name == "content-length") {
            body = body || value != "0";
        } else if (name == "transfer-encoding") {
            body = true;
        } else if (name == "upgrade") {
            upgrade = value.toLower();
        } else if (name == "origin") {
            origin = value.toLower();
        } else if (name == "sec-fetch-site") {
            fetchSite = value.toLower();
        }
    }
    if (requestLine[0] != "GET")
        return refused(405, "method " + quoted(requestLine[0]));
    if (body)
        return refused(413, "request with a body");
    if (!hosts.contains(host))
        return refused(421, "Host '" + quoted(host) + "' is not this station");

    Head head;
    const qsizetype query = requestLine[1].indexOf('?');
    head.path = query < 0 ? requestLine[1] : requestLine[1].left(query);
    head.kind = Head::Kind::Http;
    if (upgrade.isEmpty()) {
        // Browsers say so on a fetch from another site's page; the documents are not for it.
        if (fetchSite == "cross-site" && head.path.startsWith("/api/v1/"))
            return refused(403, "cross-site request of " + quoted(head.path));
        return head;
    }
    if (upgrade != "websocket")
        return refused(400, "upgrade to '" + quoted(upgrade) + "'");
    if (head.path != "/ws")
        return refused(404, "WebSocket upgrade of " + quoted(head.path));
    // The page's own origin only: the Host it was loaded from, port included, so neither another
    // port of this machine nor a sandboxed ("null") or origin-less client gets the stream.
    const bool hostHasPort = host.lastIndexOf(':') > host.lastIndexOf(']');
    if (!hostHasPort || origin != "http://" + host)
        return refused(403, "WebSocket from the page of '" + quoted(origin) + "'");
    head.kind = Head::Kind::WebSocket;
    return head;
}

GcsFleetHttpGuard::GcsFleetHttpGuard(QObject* parent)
    : QTcpServer(parent)
    , m_refusals([] { return QDateTime::currentMSecsSinceEpoch(); })
{
    m_acceptRetry.setInterval(kAcceptRetryMs);
    connect(&m_acceptRetry, &QTimer::timeout, this, [this] {
        if (isListening())
            resumeAccepting();
        m_acceptRetry.stop();
    });
    // QTcpServer pauses for good on an accept error other than a temporary one.
    connect(this, &QTcpServer::acceptError, this, [this](QAbstractSocket::SocketError error) {
        // One line per streak: the retry fails once a second while descriptors stay short.
        if (!m_acceptFailing)
            spdlog::error("<fleet-web> cannot accept connections ({}): {}; trying again every {} ms", int(error),
                          errorString().toStdString(), kAcceptRetryMs);
        m_acceptFailing = true;
        m_acceptRetry.start();
    });
    m_refusalFlush.setInterval(1000);
    connect(&m_refusalFlush, &QTimer::timeout, this, [this] {
        if (!m_refusals.flush())
            m_refusalFlush.stop();
    });
}

void GcsFleetHttpGuard::logRefusal(const QTcpSocket* socket, int status, const std::string& reason)
{
    m_refusals.refused(
        socket->peerAddress().toString().toStdString(),
        fmt::format("<fleet-web> refused {} {} from {}: {}", status, statusText(status), peerOf(socket), reason));
    if (!m_refusalFlush.isActive())
        m_refusalFlush.start();
}

void GcsFleetHttpGuard::refuse(QTcpSocket* socket, int status, const std::string& reason)
{
    logRefusal(socket, status, reason);
    const QByteArray text = QByteArray(statusText(status)) + "\n";
    socket->write("HTTP/1.1 " + QByteArray::number(status) + " " + statusText(status) +
                  "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " + QByteArray::number(text.size()) +
                  "\r\nContent-Security-Policy: " + kSecurityPolicy +
                  "\r\nX-Content-Type-Options: nosniff\r\nReferrer-Policy: no-referrer"
                  "\r\nConnection: close\r\n\r\n" +
                  text);
    socket->disconnectFromHost();
}

void GcsFleetHttpGuard::incomingConnection(qintptr descriptor)
{
    if (m_acceptFailing) {
        m_acceptFailing = false;
        spdlog::info("<fleet-web> accepting connections again");
    }
    auto* socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        spdlog::warn("<fleet-web> cannot take a connection: {}", socket->errorString().toStdString());
        delete socket;
        return;
    }
    // Until it is handed on, the connection is this guard's to close and delete.
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    const QString peer = socket->peerAddress().toString();
    const QString range = rangeOf(socket->peerAddress());
    auto full = [&] {
        if (m_open >= kMaxConnections)
            return "already " + std::to_string(kMaxConnections) + " connections";
        if (m_openByPeer[peer] >= m_perPeerLimit)
            return "already " + std::to_string(m_perPeerLimit) + " connections from this peer";
        if (m_openByRange[range] >= perRangeLimit())
            return "already " + std::to_string(perRangeLimit()) + " connections from " + range.toStdString();
        return std::string();
    };
    // Room is made in the shared budgets that are full: any head for the total, one of the range
    // for the range's. A peer over its own share is refused: it holds its 8 already.
    for (std::string why = full(); !why.empty(); why = full()) {
        const bool total = m_open >= kMaxConnections;
        const bool peerFull = m_openByPeer[peer] >= m_perPeerLimit;
        if (!peerFull && evictOldestWaiting([&](const QTcpSocket* s) {
                return total || s->property("fleetRange").toString() == range;
            }))
            continue;
        if (m_openByPeer[peer] == 0)
            m_openByPeer.erase(peer);
        if (m_openByRange[range] == 0)
            m_openByRange.erase(range);
        refuse(socket, 503, why);
        // A refusal is a few hundred bytes; a peer that does not take them is not waited for.
        QTimer::singleShot(1000, socket, &QTcpSocket::abort);
        return;
    }
    // A fixed kernel send buffer: a peer that does not read holds 64 KiB of kernel memory, not the
    // several MiB autotuning grows to, and the rest of its answer waits where the deadline sees it.
    socket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, kSendBufferBytes);
    ++m_open;
    ++m_openByPeer[peer];
    ++m_openByRange[range];
    socket->setProperty("fleetPeer", peer);
    socket->setProperty("fleetRange", range);
    connect(socket, &QObject::destroyed, this, [this, peer, range, socket] {
        m_waiting.removeOne(socket);
        --m_open;
        if (--m_openByPeer[peer] <= 0)
            m_openByPeer.erase(peer);
        if (--m_openByRange[range] <= 0)
            m_openByRange.erase(range);
    });
    socket->setProperty("fleetWaiting", true);
    m_waiting.append(socket);
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] { inspectSocket(socket); });
    QTimer::singleShot(kHeadTimeoutMs, socket, [this, socket] {
        if (!socket->property("fleetWaiting").toBool())
            return;
        spdlog::warn("<fleet-web> closed {}: no complete request within {} ms", peerOf(socket), kHeadTimeoutMs);
        release(socket);
        socket->abort();
    });
}

// Hands the socket's place in the budget back now (a WebSocket, counted by the server instead).
void GcsFleetHttpGuard::leaveBudget(QTcpSocket* socket)
{
    if (!disconnect(socket, &QObject::destroyed, this, nullptr))
        return;
    m_waiting.removeOne(socket);
    --m_open;
    const QString peer = socket->property("fleetPeer").toString();
    if (--m_openByPeer[peer] <= 0)
        m_openByPeer.erase(peer);
    const QString range = socket->property("fleetRange").toString();
    if (--m_openByRange[range] <= 0)
        m_openByRange.erase(range);
}

bool GcsFleetHttpGuard::evictOldestWaiting(const std::function<bool(const QTcpSocket*)>& pick)
{
    const auto it = std::find_if(m_waiting.begin(), m_waiting.end(), pick);
    if (it == m_waiting.end())
        return false;
    QTcpSocket* oldest = *it;
    spdlog::warn("<fleet-web> closed {}: its request head was the oldest unfinished one and the budget was full",
                 peerOf(oldest));
    release(oldest);
    oldest->abort();
    // Its place goes back now, not when the deferred delete runs.
    leaveBudget(oldest);
    oldest->deleteLater();
    return true;
}

// Stops watching the socket (it is answered or handed on); the waiting count drops at once.
void GcsFleetHttpGuard::release(QTcpSocket* socket)
{
    if (!socket->property("fleetWaiting").toBool())
        return;
    socket->setProperty("fleetWaiting", false);
    m_waiting.removeOne(socket);
    disconnect(socket, &QTcpSocket::readyRead, this, nullptr);
}

void GcsFleetHttpGuard::inspectSocket(QTcpSocket* socket)
{
    const qint64 size = std::min<qint64>(socket->bytesAvailable(), kMaxHeadBytes + 4);
    const qsizetype scanned = socket->property("fleetScanned").toLongLong();
    m_peeked.resize(size);
    m_peeked.resize(std::max<qint64>(0, socket->peek(m_peeked.data(), size)));
    if (headEnd(m_peeked, scanned) < 0 && m_peeked.size() <= kMaxHeadBytes) {
        socket->setProperty("fleetScanned", qint64(m_peeked.size()));
        return;
    }
    const Head head = inspect(m_peeked, m_hosts);
    switch (head.kind) {
    case Head::Kind::Incomplete: return;  // not reached: the head is complete or too long
    case Head::Kind::Refused:
        release(socket);
        refuse(socket, head.status, head.reason);
        return;
    case Head::Kind::WebSocket:
        release(socket);
        leaveBudget(socket);
        disconnect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        emit upgradeRequested(socket);
        return;
    case Head::Kind::Http:
        release(socket);
        disconnect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        // The HTTP server takes pending connections from this server; the bytes are unread,
        // so it is told to read once it has the socket.
        QTimer::singleShot(m_answerDeadlineMs, socket, [socket, ms = m_answerDeadlineMs] {
            if (socket->state() == QAbstractSocket::UnconnectedState)
                return;
            spdlog::warn("<fleet-web> closed {}: answer not taken within {} ms", peerOf(socket), ms);
            socket->abort();
        });
        addPendingConnection(socket);
        emit newConnection();
        QMetaObject::invokeMethod(socket, &QTcpSocket::readyRead, Qt::QueuedConnection);
        return;
    }
}
