#pragma once
// A TCP server that copies every broadcast to all of its clients. Clients only read.
//
// listen(), stopListen() and the setter are called on the server's thread; broadcastData(),
// isListening() and clientCount() may be called from any thread (a broadcast from elsewhere is
// handed to the server's thread and sent there, in call order).
//
// A client that connects while maxClients are connected is closed at once. A client whose unsent
// output would pass maxPendingBytesPerClient() is dropped, so a reader that stalls cannot make
// the server's memory grow; the other clients are unaffected.

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>

#include <atomic>

class QTcpServer;
class QTcpSocket;

class OstTcpServer : public QObject {
    Q_OBJECT
public:
    static constexpr qint64 DefaultMaxPendingBytesPerClient = 4 * 1024 * 1024;

    explicit OstTcpServer(QObject* parent = nullptr);
    ~OstTcpServer() override;

    // False (logged) when already listening, when maxClients < 1 or when the port cannot be bound.
    bool listen(const QHostAddress& address, quint16 port, int maxClients);
    // Closes the listening socket and drops every client.
    void stopListen();
    bool isListening() const { return m_listening.load(); }
    int clientCount() const { return m_clientCount.load(); }
    // The bound port, useful after listening on port 0; 0 when not listening.
    quint16 serverPort() const;

    void broadcastData(const QByteArray& data);

    // Values below 1 are ignored.
    void setMaxPendingBytesPerClient(qint64 bytes);
    qint64 maxPendingBytesPerClient() const { return m_maxPendingBytes; }

signals:
    void clientCountChanged(int count);

private slots:
    void handleNewConnection();

private:
    void sendToClients(const QByteArray& data);
    void dropClient(QTcpSocket* client, bool abort);
    void updateClientCount();

    QTcpServer* m_server;
    QList<QTcpSocket*> m_clients;
    int m_maxClients = 0;
    qint64 m_maxPendingBytes = DefaultMaxPendingBytesPerClient;
    std::atomic<bool> m_listening{false};
    std::atomic<int> m_clientCount{0};
};
