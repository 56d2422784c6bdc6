#pragma once
// The listening socket of the fleet page. It reads nothing itself: it peeks at each
// connection's request head and only a head that passes every check goes on, a plain GET to the
// HTTP server bound to it (addPendingConnection) and a WebSocket upgrade of /ws to whoever
// listens to upgradeRequested. Main thread only.
//
// Why a guard: QtHttpServer 6.4 buffers a request of any size (head and body) before a handler
// sees it and has no hook to look at the Host header or the path of a WebSocket upgrade first.
// Peeking leaves the bytes in the socket, so the server behind reads the request unchanged.
//
// Checks, in this order; a refusal answers the status, closes the connection and logs one line:
//   head over kMaxHeadBytes (or no complete head by then)      431
//   request line not "METHOD TARGET HTTP/1.x", header garbled  400
//   a method other than GET                                    405
//   a body (Content-Length other than 0, Transfer-Encoding)    413
//   Host missing or not one of allowedHosts                    421 (DNS rebinding)
//   Upgrade other than a WebSocket of /ws                      404 (other path), 400 (other protocol)
//   /api/v1/ GET with "Sec-Fetch-Site: cross-site"               403 (another site's page)
//   WebSocket Origin not exactly "http://" + Host (with port)   403 (another site's page; a
//                                                               missing or "null" Origin too)
// A connection that has not sent a complete head within kHeadTimeoutMs is closed (logged).
//
// Connection budget: every connection counts from its accept until it closes, against a total
// (kMaxConnections), a share per peer address (perPeerLimit(), kMaxConnectionsPerPeer by
// default) and a share per address range (rangeOf(): a /24 for IPv4, a /64 for IPv6; twice the
// peer's share), so a few machines of one network cannot take every slot. When a budget is
// full, the oldest connection of that budget still sending its request head is closed to make
// room (a half-sent head is the cheap way to hold a slot); when none is, the new one is
// answered 503 at once. A WebSocket leaves the budget when it is
// handed on (the server caps its clients itself). An HTTP answer not fully written within
// kAnswerDeadlineMs (a setting) of the head closes the connection: a peer that asks for a large file and
// never reads (a tiny receive window) cannot pin an answer and a descriptor for ever. So one peer
// holds at most 8 descriptors, for at most 20 s each, whatever it opens. Each connection's kernel
// send buffer is kSendBufferBytes, so unread answers cost bounded kernel memory too.
// Only the first request of a connection is looked at: the HTTP server behind answers with
// "Connection: close" and closes, so a kept-alive connection never carries an unchecked one.
//
// Each readyRead scans only the bytes new since the last one (and 3 before, for a split
// "\r\n\r\n"), so a head sent a byte at a time costs linear scanning; the head is parsed once,
// when complete. Peeking still copies the buffered bytes (at most 16 KiB): QIODevice can only
// peek from the start.
//
// A non-temporary accept error (out of descriptors) pauses QTcpServer for good; the guard
// resumes accepting kAcceptRetryMs later, and again until it works, so the page comes back once
// descriptors are free.
//
// Refusal log lines quote request bytes through quoted() (control and non-ASCII bytes as \xHH,
// at most kMaxQuotedChars), and RefusalLog writes at most kMaxLoggedRefusalsPerSecond of them per
// peer address in each second, then one "N more refusals from PEER" line when that second ends:
// a flood of bad requests cannot flood the log. Refusals carry the same security headers as the
// HTTP server's answers (kSecurityPolicy, nosniff, no-referrer).

#include <QByteArray>
#include <QList>
#include <QString>
#include <QTcpServer>
#include <QTimer>

#include <algorithm>

#include <functional>
#include <map>
#include <string>

class QTcpSocket;

class GcsFleetHttpGuard : public QTcpServer {
    Q_OBJECT
public:
    static constexpr qint64 kMaxHeadBytes = 16 * 1024;
    static constexpr int kHeadTimeoutMs = 10000;
    static constexpr int kMaxConnections = 64;
    static constexpr int kMaxConnectionsPerPeer = 8;
    static constexpr int kAcceptRetryMs = 1000;
    static constexpr int kAnswerDeadlineMs = 10000;
    static constexpr int kSendBufferBytes = 64 * 1024;
    static constexpr int kMaxLoggedRefusalsPerSecond = 10;
    static constexpr size_t kMaxQuotedChars = 256;
    static constexpr const char* kSecurityPolicy =
        "default-src 'self'; script-src 'self'; object-src 'none'; frame-ancestors 'none'; base-uri 'none'; "
        "form-action 'none'";

    // Request bytes as a log line may quote them: printable ASCII as is, other bytes as \xHH, cut
    // to kMaxQuotedChars characters.
    static std::string quoted(const QByteArray& raw);
    // The address range a peer counts in: "a.b.c.0/24", or the first 64 bits of an IPv6 address
    // ("/64"); an IPv4-mapped IPv6 address is its IPv4 one.
    static QString rangeOf(const QHostAddress& address);
    // Index of the head's "\r\n\r\n" looking only from scanned - 3 on; -1 when not there yet.
    static qsizetype headEnd(const QByteArray& buffered, qsizetype scanned);

    // Rate limit of refusal log lines per peer; the clock is injectable for tests.
    class RefusalLog {
    public:
        explicit RefusalLog(std::function<qint64()> clockMs);
        void refused(const std::string& peer, const std::string& line);
        // Logs the summary of each second that has ended; false when no peer is being watched.
        bool flush();

    private:
        struct Window {
            qint64 startMs = 0;
            int logged = 0;
            int suppressed = 0;
        };
        void summarize(const std::string& peer, const Window& w) const;
        std::function<qint64()> m_clockMs;
        std::map<std::string, Window> m_windows;
    };

    // What a request head asks for, or why it is refused.
    struct Head {
        enum class Kind { Incomplete, Http, WebSocket, Refused };
        Kind kind = Kind::Incomplete;
        int status = 0;  // Refused
        std::string reason;  // Refused
        QByteArray path;  // without the query
    };
    // hosts: lower-case Host values accepted, each with and without ":port".
    static Head inspect(const QByteArray& buffered, const QList<QByteArray>& hosts);

    explicit GcsFleetHttpGuard(QObject* parent = nullptr);

    void setAllowedHosts(const QList<QByteArray>& hosts) { m_hosts = hosts; }
    void setPerPeerLimit(int limit) { m_perPeerLimit = std::max(1, limit); }
    int perRangeLimit() const { return 2 * m_perPeerLimit; }
    void setAnswerDeadlineMs(int ms) { m_answerDeadlineMs = std::max(1, ms); }
    int perPeerLimit() const { return m_perPeerLimit; }
    // Connections counted in the budget now (all peers).
    int openConnections() const { return m_open; }
    // Answers `status` with a short text body, closes and logs why (rate-limited).
    void refuse(QTcpSocket* socket, int status, const std::string& reason);
    // One refusal line for the socket's peer, through the rate limit.
    void logRefusal(const QTcpSocket* socket, int status, const std::string& reason);

signals:
    // A checked WebSocket upgrade of /ws; the socket still holds the handshake, unread. The
    // receiver takes it over (or refuses it) before returning.
    void upgradeRequested(QTcpSocket* socket);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    void inspectSocket(QTcpSocket* socket);
    void release(QTcpSocket* socket);
    void leaveBudget(QTcpSocket* socket);
    // Closes the oldest connection still sending its head among those `pick` accepts; false when none.
    bool evictOldestWaiting(const std::function<bool(const QTcpSocket*)>& pick);

    QList<QByteArray> m_hosts;
    int m_perPeerLimit = kMaxConnectionsPerPeer;
    int m_answerDeadlineMs = kAnswerDeadlineMs;
    int m_open = 0;
    std::map<QString, int> m_openByPeer;
    std::map<QString, int> m_openByRange;
    QList<QTcpSocket*> m_waiting;  // still sending their heads, oldest first
    QTimer m_acceptRetry;
    bool m_acceptFailing = false;
    QByteArray m_peeked;  // reused: a head a byte at a time would allocate at each byte
    RefusalLog m_refusals;
    QTimer m_refusalFlush;
};
