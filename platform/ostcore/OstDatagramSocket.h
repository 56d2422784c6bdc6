#pragma once
// A bound UDP socket read and written in batches, for links that carry many small datagrams.
//
// Reading: when the descriptor turns readable, system calls of up to kReadBatch datagrams each
// (recvmmsg on Linux, one recvfrom per datagram elsewhere) are handed to the receiver, batch after
// batch, until the socket is empty, kBatchesPerTurn batches were read or the turn has taken
// kTurnBudgetMs; then the event loop serves everything else before the next turn. A socket that
// always has more to read therefore costs other work (a CLI request, a timer) at most one turn of
// waiting, not the whole backlog; and the bound is one of time, because what a datagram costs
// ranges from a few microseconds to milliseconds (a vehicle heard for the first time joins the
// fleet), and on a slow machine or under a sanitizer all of them cost several times more.
//
// The kernel stamps each datagram as it takes it in (SO_TIMESTAMPNS), so receiveLagMs() tells how
// far behind its own socket the process is: the age of the oldest datagram still unread, 0 when
// none waits. While it is behind, a peer's silence is not proven: its datagrams may be waiting.
//
// Writing: send() writes at once (one system call); queue() and flush() write a burst in one
// sendmmsg per kBatch datagrams. Errors that leave the socket usable (an ICMP port unreachable
// while a peer is off, a full buffer, a network without a route) are passing: they come back as
// the call's result and lastError(). Errors that mean there is no socket any more (the descriptor
// was closed or replaced) emit unusable() once.
//
// Datagrams larger than kMaxDatagram are cut there and counted (truncated()); no protocol this
// socket carries sends one that large.

#include <QHostAddress>
#include <QObject>
#include <QString>

#include <array>
#include <functional>
#include <memory>
#include <vector>

class QSocketNotifier;

class OstDatagramSocket : public QObject {
    Q_OBJECT
public:
    static constexpr int kBatch = 64;  // datagrams per sendmmsg
    static constexpr int kReadBatch = 16;
    static constexpr int kBatchesPerTurn = 16;
    static constexpr int kTurnBudgetMs = 10;
    static constexpr int kMaxDatagram = 8192;

    struct Datagram {
        const char* data = nullptr;
        int size = 0;
        QHostAddress sender;  // IPv4 senders as IPv4, never "::ffff:a.b.c.d"
        quint16 senderPort = 0;
    };
    // A batch: valid only during the call.
    using Receiver = std::function<void(const Datagram* datagrams, int count)>;

    explicit OstDatagramSocket(QObject* parent = nullptr);
    ~OstDatagramSocket() override;
    OstDatagramSocket(const OstDatagramSocket&) = delete;
    OstDatagramSocket& operator=(const OstDatagramSocket&) = delete;

    struct BindOptions {
        bool shareAddress = false;  // several sockets on one port (multicast)
        int receiveBufferBytes = 0;  // 0: the system's default
    };
    // AnyIPv4 binds 0.0.0.0 (an IPv4 socket), AnyIPv6 and Any bind [::] (dual stack).
    bool bind(const QHostAddress& address, quint16 port, const BindOptions& options);
    bool joinMulticastGroup(const QHostAddress& group);
    void close();

    bool isBound() const { return m_fd >= 0; }
    int descriptor() const { return m_fd; }
    quint16 localPort() const { return m_localPort; }
    QString lastError() const { return m_lastError; }
    qint64 receiveLagMs() const;  // any thread: one peek at the socket
    // Datagrams the kernel dropped because the receive buffer was full (the reader fell that far
    // behind), since bind; Linux (SO_MEMINFO), 0 elsewhere. Any thread.
    quint64 receiveDrops() const;
    quint64 truncated() const { return m_truncated; }

    void setReceiver(Receiver receiver) { m_receiver = std::move(receiver); }

    bool send(const char* data, int size, const QHostAddress& host, quint16 port);
    void queue(const char* data, int size, const QHostAddress& host, quint16 port);
    int queued() const { return int(m_out.size()); }
    // Writes what is queued; the number written (the rest is dropped, with lastError()).
    int flush();

signals:
    // The descriptor no longer answers as a socket; the socket is closed after this.
    void unusable(const QString& why);
    // A passing error on reading (an ICMP error reported through the socket).
    void passingError(const QString& why);

private:
    void readTurn();
    bool failed(int error, const char* what);

    int m_fd = -1;
    bool m_v6 = false;
    quint16 m_localPort = 0;
    QSocketNotifier* m_notifier = nullptr;
    Receiver m_receiver;
    QString m_lastError;
    quint64 m_truncated = 0;
    QHostAddress m_joined;

    struct Buffers;
    std::unique_ptr<Buffers> m_in;
    struct Outgoing {
        std::vector<char> bytes;
        std::array<char, 128> to{};  // a sockaddr_storage
        unsigned toLen = 0;
    };
    std::vector<Outgoing> m_out;
};
