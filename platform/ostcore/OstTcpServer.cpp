#include "OstTcpServer.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <spdlog/spdlog.h>

namespace {

std::string peerText(const QTcpSocket* socket)
{
    return QStringLiteral("%1:%2").arg(socket->peerAddress().toString()).arg(socket->peerPort()).toStdString();
}

}  // namespace

OstTcpServer::OstTcpServer(QObject* parent)
    : QObject(parent)
    , m_server(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, &OstTcpServer::handleNewConnection);
}

OstTcpServer::~OstTcpServer()
{
    stopListen();
}

bool OstTcpServer::listen(const QHostAddress& address, quint16 port, int maxClients)
{
    if (m_server->isListening()) {
        spdlog::warn("<TcpServer> listen refused: already listening on port {}", m_server->serverPort());
        return false;
    }
    if (maxClients < 1) {
        spdlog::warn("<TcpServer> listen refused: max clients {} is below 1", maxClients);
        return false;
    }
    if (!m_server->listen(address, port)) {
        spdlog::error("<TcpServer> listen on {}:{} failed: {}", address.toString().toStdString(), port,
                      m_server->errorString().toStdString());
        return false;
    }
    m_maxClients = maxClients;
    m_listening = true;
    spdlog::info("<TcpServer> listening on {}:{}, max clients {}", address.toString().toStdString(),
                 m_server->serverPort(), maxClients);
    return true;
}

void OstTcpServer::stopListen()
{
    const bool wasListening = m_server->isListening();
    m_server->close();
    m_listening = false;
    const int dropped = int(m_clients.size());
    const auto clients = m_clients;
    for (QTcpSocket* client : clients)
        dropClient(client, true);
    if (wasListening)
        spdlog::info("<TcpServer> stopped listening, {} client(s) dropped", dropped);
}

quint16 OstTcpServer::serverPort() const
{
    return m_server->isListening() ? m_server->serverPort() : 0;
}

void OstTcpServer::broadcastData(const QByteArray& data)
{
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(
            this, [this, data] { sendToClients(data); }, Qt::QueuedConnection);
        return;
    }
    sendToClients(data);
}

void OstTcpServer::setMaxPendingBytesPerClient(qint64 bytes)
{
    if (bytes < 1)
        return;
    m_maxPendingBytes = bytes;
}

void OstTcpServer::handleNewConnection()
{
    while (QTcpSocket* client = m_server->nextPendingConnection()) {
        const std::string peer = peerText(client);
        if (m_clients.size() >= m_maxClients) {
            spdlog::warn("<TcpServer> refused client {}: limit of {} client(s) reached", peer, m_maxClients);
            client->abort();
            client->deleteLater();
            continue;
        }
        client->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        connect(client, &QTcpSocket::disconnected, this, [this, client, peer] {
            spdlog::info("<TcpServer> client {} disconnected", peer);
            dropClient(client, false);
        });
        // Clients only read; whatever they send is discarded so it cannot pile up.
        connect(client, &QTcpSocket::readyRead, this, [client] { client->skip(client->bytesAvailable()); });
        m_clients.append(client);
        spdlog::info("<TcpServer> client {} connected ({} of {})", peer, m_clients.size(), m_maxClients);
        updateClientCount();
    }
}

void OstTcpServer::sendToClients(const QByteArray& data)
{
    if (data.isEmpty() || m_clients.isEmpty())
        return;
    const auto clients = m_clients;
    for (QTcpSocket* client : clients) {
        // A client with nothing pending always takes the data, so one large broadcast does not
        // drop everybody; memory per client stays below the bound plus one broadcast.
        qint64 pending = client->bytesToWrite();
        if (pending > 0 && pending + data.size() > m_maxPendingBytes) {
            // Broadcasts can come faster than the event loop writes: hand what the kernel takes
            // now before judging the client, so only a reader that really stalls is dropped.
            client->flush();
            pending = client->bytesToWrite();
        }
        if (pending > 0 && pending + data.size() > m_maxPendingBytes) {
            spdlog::warn("<TcpServer> dropped client {}: {} bytes unsent, bound {}", peerText(client), pending,
                         m_maxPendingBytes);
            dropClient(client, true);
            continue;
        }
        if (client->write(data) != data.size()) {
            spdlog::error("<TcpServer> send to client {} failed: {}", peerText(client),
                          client->errorString().toStdString());
            dropClient(client, true);
        }
    }
}

void OstTcpServer::dropClient(QTcpSocket* client, bool abort)
{
    if (!m_clients.removeOne(client))
        return;
    // No more callbacks from this socket, in particular not disconnected() from abort().
    client->disconnect(this);
    if (abort)
        client->abort();
    client->deleteLater();
    updateClientCount();
}

void OstTcpServer::updateClientCount()
{
    const int count = int(m_clients.size());
    if (m_clientCount.exchange(count) != count)
        emit clientCountChanged(count);
}
