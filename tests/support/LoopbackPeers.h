#pragma once
// Real peers on this machine for link tests: a UDP socket on 127.0.0.1 and a socat
// pseudo-terminal pair standing in for a serial cable.

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QUdpSocket>

#include <memory>

namespace testsupport {

// A UDP socket on 127.0.0.1 that records what it receives.
class UdpPeer : public QObject {
public:
    explicit UdpPeer(quint16 port = 0);
    quint16 port() const { return m_socket.localPort(); }
    QString address() const { return QStringLiteral("127.0.0.1:%1").arg(port()); }
    bool sendTo(const QByteArray& datagram, quint16 port);
    // Waits until at least n datagrams have arrived.
    bool waitForDatagrams(int n, int timeoutMs = 3000);
    QList<QByteArray> datagrams() const { return m_datagrams; }
    QList<quint16> senderPorts() const { return m_senderPorts; }

private:
    QUdpSocket m_socket;
    QList<QByteArray> m_datagrams;
    QList<quint16> m_senderPorts;
};

// `socat` joining two pseudo-terminals; end A is handed to the link under test, end B is the peer.
class SocatPty {
public:
    SocatPty();
    ~SocatPty();
    bool start(int timeoutMs = 5000);
    void stop();
    QString endA() const { return m_endA; }
    QString endB() const { return m_endB; }

private:
    QString m_endA;
    QString m_endB;
    std::unique_ptr<QProcess> m_process;
};

}  // namespace testsupport
