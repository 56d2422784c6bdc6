#include "GcsFleetHttpGuard.h"

#include <QTcpSocket>
#include <QTimer>

#include <spdlog/spdlog.h>

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
    QByteArray host, upgrade, origin;
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
        }
    }
    if (requestLine[0] != "GET")
        return refused(405, "method " + requestLine[0].left(32).toStdString());
    if (body)
        return refused(413, "request with a body");
    if (!hosts.contains(host))
        return refused(421, "Host '" + host.left(100).toStdString() + "' is not this station");

    Head head;
    const qsizetype query = requestLine[1].indexOf('?');
    head.path = query < 0 ? requestLine[1] : requestLine[1].left(query);
    head.kind = Head::Kind::Http;
    if (upgrade.isEmpty())
        return head;
    if (upgrade != "websocket")
        return refused(400, "upgrade to '" + upgrade.left(32).toStdString() + "'");
    if (head.path != "/ws")
        return refused(404, "WebSocket upgrade of " + head.path.left(100).toStdString());
    if (!origin.isEmpty() && !(origin.startsWith("http://") && hosts.contains(origin.mid(7))))
        return refused(403, "WebSocket from the page of " + origin.left(100).toStdString());
    head.kind = Head::Kind::WebSocket;
    return head;
}

GcsFleetHttpGuard::GcsFleetHttpGuard(QObject* parent)
    : QTcpServer(parent)
{
}

void GcsFleetHttpGuard::refuse(QTcpSocket* socket, int status, const std::string& reason)
{
    spdlog::warn("<fleet-web> refused {} {} from {}: {}", status, statusText(status), peerOf(socket), reason);
    const QByteArray text = QByteArray(statusText(status)) + "\n";
    socket->write("HTTP/1.1 " + QByteArray::number(status) + " " + statusText(status) +
                  "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " +
                  QByteArray::number(text.size()) + "\r\nConnection: close\r\n\r\n" + text);
    socket->disconnectFromHost();
}

void GcsFleetHttpGuard::incomingConnection(qintptr descriptor)
{
    auto* socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        spdlog::warn("<fleet-web> cannot take a connection: {}", socket->errorString().toStdString());
        delete socket;
        return;
    }
    // Until it is handed on, the connection is this guard's to close and delete.
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    if (m_waiting >= kMaxWaitingHeads) {
        refuse(socket, 503, "too many connections still sending their request");
        return;
    }
    ++m_waiting;
    socket->setProperty("fleetWaiting", true);
    connect(socket, &QObject::destroyed, this, [this] { --m_waiting; });
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] { inspectSocket(socket); });
    QTimer::singleShot(kHeadTimeoutMs, socket, [this, socket] {
        if (!socket->property("fleetWaiting").toBool())
            return;
        spdlog::warn("<fleet-web> closed {}: no complete request within {} ms", peerOf(socket), kHeadTimeoutMs);
        release(socket);
        socket->abort();
    });
}

// Stops watching the socket (it is answered or handed on); the waiting count drops at once.
void GcsFleetHttpGuard::release(QTcpSocket* socket)
{
    if (!socket->property("fleetWaiting").toBool())
        return;
    socket->setProperty("fleetWaiting", false);
    disconnect(socket, &QTcpSocket::readyRead, this, nullptr);
    disconnect(socket, &QObject::destroyed, this, nullptr);
    --m_waiting;
}

void GcsFleetHttpGuard::inspectSocket(QTcpSocket* socket)
{
    const Head head = inspect(socket->peek(kMaxHeadBytes + 4), m_hosts);
    switch (head.kind) {
    case Head::Kind::Incomplete:
        return;
    case Head::Kind::Refused:
        release(socket);
        refuse(socket, head.status, head.reason);
        return;
    case Head::Kind::WebSocket:
        release(socket);
        disconnect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        emit upgradeRequested(socket);
        return;
    case Head::Kind::Http:
        release(socket);
        disconnect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        // The HTTP server takes pending connections from this server; the bytes are unread,
        // so it is told to read once it has the socket.
        addPendingConnection(socket);
        emit newConnection();
        QMetaObject::invokeMethod(socket, &QTcpSocket::readyRead, Qt::QueuedConnection);
        return;
    }
}
