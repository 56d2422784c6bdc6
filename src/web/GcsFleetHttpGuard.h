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
//   WebSocket Origin present and not http://<allowed host>     403 (another site's page)
// A connection that has not sent a complete head within kHeadTimeoutMs is closed (logged), and
// more than kMaxWaitingHeads such connections at once get 503.
// Only the first request of a connection is looked at: the HTTP server behind answers with
// "Connection: close" and closes, so a kept-alive connection never carries an unchecked one.

#include <QByteArray>
#include <QList>
#include <QTcpServer>

#include <string>

class QTcpSocket;

class GcsFleetHttpGuard : public QTcpServer {
    Q_OBJECT
public:
    static constexpr qint64 kMaxHeadBytes = 16 * 1024;
    static constexpr int kHeadTimeoutMs = 10000;
    static constexpr int kMaxWaitingHeads = 64;

    // What a request head asks for, or why it is refused.
    struct Head {
        enum class Kind { Incomplete, Http, WebSocket, Refused };
        Kind kind = Kind::Incomplete;
        int status = 0;      // Refused
        std::string reason;  // Refused
        QByteArray path;     // without the query
    };
    // hosts: lower-case Host values accepted, each with and without ":port".
    static Head inspect(const QByteArray& buffered, const QList<QByteArray>& hosts);

    explicit GcsFleetHttpGuard(QObject* parent = nullptr);

    void setAllowedHosts(const QList<QByteArray>& hosts) { m_hosts = hosts; }
    // Answers `status` with a short text body, closes and logs why.
    static void refuse(QTcpSocket* socket, int status, const std::string& reason);

signals:
    // A checked WebSocket upgrade of /ws; the socket still holds the handshake, unread. The
    // receiver takes it over (or refuses it) before returning.
    void upgradeRequested(QTcpSocket* socket);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    void inspectSocket(QTcpSocket* socket);
    void release(QTcpSocket* socket);

    QList<QByteArray> m_hosts;
    int m_waiting = 0;
};
