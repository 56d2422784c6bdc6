#include "LoopbackPeers.h"

#include "TestSupport.h"

#include <QFileInfo>
#include <QNetworkDatagram>

namespace testsupport {

UdpPeer::UdpPeer(quint16 port)
{
    m_socket.bind(QHostAddress::LocalHost, port);
    connect(&m_socket, &QUdpSocket::readyRead, this, [this] {
        while (m_socket.hasPendingDatagrams()) {
            const QNetworkDatagram d = m_socket.receiveDatagram();
            m_datagrams.append(d.data());
            m_senderPorts.append(quint16(d.senderPort()));
        }
    });
}

bool UdpPeer::sendTo(const QByteArray& datagram, quint16 port)
{
    return m_socket.writeDatagram(datagram, QHostAddress::LocalHost, port) == datagram.size();
}

bool UdpPeer::waitForDatagrams(int n, int timeoutMs)
{
    return waitUntil([&] { return m_datagrams.size() >= n; }, timeoutMs);
}

SocatPty::SocatPty()
{
    const QString dir = makeTempDir("pty");
    m_endA = dir + "/ttyA";
    m_endB = dir + "/ttyB";
}

SocatPty::~SocatPty()
{
    stop();
}

bool SocatPty::start(int timeoutMs)
{
    m_process = std::make_unique<QProcess>();
    m_process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process->start("socat", {"pty,raw,echo=0,link=" + m_endA, "pty,raw,echo=0,link=" + m_endB});
    if (!m_process->waitForStarted(timeoutMs))
        return false;
    return waitUntil([&] { return QFileInfo::exists(m_endA) && QFileInfo::exists(m_endB); }, timeoutMs);
}

void SocatPty::stop()
{
    if (m_process && m_process->state() != QProcess::NotRunning) {
        m_process->terminate();
        if (!m_process->waitForFinished(2000)) {
            m_process->kill();
            m_process->waitForFinished(2000);
        }
    }
    m_process.reset();
}

}  // namespace testsupport
