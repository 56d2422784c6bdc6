#include "OstDatagramSocket.h"

#include "OstMainLoopGate.h"

#include <QElapsedTimer>
#include <QSocketNotifier>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#ifdef __linux__
#include <linux/sock_diag.h>
#endif
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace {

qint64 nowNs()
{
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// AF_INET6 sockets see IPv4 peers as ::ffff:a.b.c.d; callers see them as IPv4.
QHostAddress addressOf(const sockaddr_storage& from, quint16& port)
{
    if (from.ss_family == AF_INET) {
        const auto& in = reinterpret_cast<const sockaddr_in&>(from);
        port = ntohs(in.sin_port);
        return QHostAddress(ntohl(in.sin_addr.s_addr));
    }
    if (from.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(from);
        port = ntohs(in6.sin6_port);
        QHostAddress address(reinterpret_cast<const quint8*>(in6.sin6_addr.s6_addr));
        bool mapped = false;
        const quint32 v4 = address.toIPv4Address(&mapped);
        return mapped ? QHostAddress(v4) : address;
    }
    port = 0;
    return {};
}

bool sockaddrOf(const QHostAddress& host, quint16 port, bool v6Socket, sockaddr_storage& out, socklen_t& len)
{
    std::memset(&out, 0, sizeof out);
    bool isV4 = false;
    const quint32 v4 = host.toIPv4Address(&isV4);
    if (isV4 && !v6Socket) {
        auto& in = reinterpret_cast<sockaddr_in&>(out);
        in.sin_family = AF_INET;
        in.sin_port = htons(port);
        in.sin_addr.s_addr = htonl(v4);
        len = sizeof(sockaddr_in);
        return true;
    }
    if (!v6Socket)
        return false;  // an IPv6 peer on an IPv4 socket
    auto& in6 = reinterpret_cast<sockaddr_in6&>(out);
    in6.sin6_family = AF_INET6;
    in6.sin6_port = htons(port);
    if (isV4) {  // ::ffff:a.b.c.d
        in6.sin6_addr.s6_addr[10] = 0xff;
        in6.sin6_addr.s6_addr[11] = 0xff;
        const quint32 be = htonl(v4);
        std::memcpy(in6.sin6_addr.s6_addr + 12, &be, 4);
    } else {
        const Q_IPV6ADDR bytes = host.toIPv6Address();
        std::memcpy(in6.sin6_addr.s6_addr, bytes.c, 16);
    }
    len = sizeof(sockaddr_in6);
    return true;
}

bool gone(int error)
{
    return error == EBADF || error == ENOTSOCK || error == EINVAL;
}

}  // namespace

struct OstDatagramSocket::Buffers {
    char data[kReadBatch][kMaxDatagram];
    sockaddr_storage from[kReadBatch];
    iovec iov[kReadBatch];
#ifdef __linux__
    mmsghdr headers[kReadBatch];
#endif
    Datagram datagrams[kReadBatch];
};

static_assert(sizeof(sockaddr_storage) <= 128);

OstDatagramSocket::OstDatagramSocket(QObject* parent)
    : QObject(parent)
{
}

OstDatagramSocket::~OstDatagramSocket()
{
    close();
}

bool OstDatagramSocket::bind(const QHostAddress& address, quint16 port, const BindOptions& options)
{
    close();
    m_lastError.clear();
    const bool anyV6 = address == QHostAddress::Any || address == QHostAddress::AnyIPv6;
    m_v6 = anyV6 || address.protocol() == QAbstractSocket::IPv6Protocol;
    m_fd = ::socket(m_v6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_fd < 0) {
        m_lastError = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    const int on = 1;
    const int off = 0;
    if (options.shareAddress)
        ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (m_v6)
        ::setsockopt(m_fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    if (options.receiveBufferBytes > 0)
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &options.receiveBufferBytes, sizeof options.receiveBufferBytes);
    ::setsockopt(m_fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);

    sockaddr_storage local{};
    socklen_t len = 0;
    const QHostAddress bindAddress =
        anyV6 ? QHostAddress(QHostAddress::AnyIPv6)
              : (address == QHostAddress::AnyIPv4 ? QHostAddress(QHostAddress::AnyIPv4) : address);
    if (!sockaddrOf(bindAddress, port, m_v6, local, len) ||
        ::bind(m_fd, reinterpret_cast<sockaddr*>(&local), len) != 0) {
        m_lastError = QString::fromLocal8Bit(std::strerror(errno));
        ::close(m_fd);
        m_fd = -1;
        return false;
    }
    sockaddr_storage bound{};
    socklen_t boundLen = sizeof bound;
    ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&bound), &boundLen);
    addressOf(bound, m_localPort);

    m_in = std::make_unique<Buffers>();
    m_notifier = new QSocketNotifier(qintptr(m_fd), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &OstDatagramSocket::readTurn);
    return true;
}

bool OstDatagramSocket::joinMulticastGroup(const QHostAddress& group)
{
    bool isV4 = false;
    const quint32 v4 = group.toIPv4Address(&isV4);
    if (m_fd < 0 || !isV4 || m_v6 || !group.isMulticast()) {
        m_lastError = QStringLiteral("not an IPv4 multicast group on an IPv4 socket");
        return false;
    }
    ip_mreqn request{};
    request.imr_multiaddr.s_addr = htonl(v4);
    request.imr_address.s_addr = htonl(INADDR_ANY);
    if (::setsockopt(m_fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request) != 0) {
        m_lastError = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    m_joined = group;
    return true;
}

void OstDatagramSocket::close()
{
    if (m_fd < 0)
        return;
    if (!m_joined.isNull()) {
        ip_mreqn request{};
        request.imr_multiaddr.s_addr = htonl(m_joined.toIPv4Address());
        ::setsockopt(m_fd, IPPROTO_IP, IP_DROP_MEMBERSHIP, &request, sizeof request);
        m_joined.clear();
    }
    delete m_notifier;
    m_notifier = nullptr;
    ::close(m_fd);
    m_fd = -1;
    m_localPort = 0;
    m_out.clear();
}

qint64 OstDatagramSocket::receiveLagMs() const
{
    const int fd = m_fd;
    if (fd < 0)
        return 0;
    // The oldest datagram still unread, peeked at: its age is how far behind the reader is.
    char byte = 0;
    iovec iov{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    if (::recvmsg(fd, &msg, MSG_PEEK | MSG_DONTWAIT) < 0)
        return 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
            timespec ts{};
            std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
            return std::max<qint64>(0, (nowNs() - (qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec)) / 1000000);
        }
    }
    return 0;
}

quint64 OstDatagramSocket::receiveDrops() const
{
#if defined(__linux__) && defined(SO_MEMINFO)
    const int fd = m_fd;
    uint32_t info[SK_MEMINFO_VARS] = {};
    socklen_t len = sizeof info;
    if (fd >= 0 && ::getsockopt(fd, SOL_SOCKET, SO_MEMINFO, info, &len) == 0 &&
        len > SK_MEMINFO_DROPS * sizeof(uint32_t))
        return info[SK_MEMINFO_DROPS];
#endif
    return 0;
}

bool OstDatagramSocket::failed(int error, const char* what)
{
    m_lastError = QStringLiteral("%1: %2").arg(QLatin1String(what), QString::fromLocal8Bit(std::strerror(error)));
    if (!gone(error))
        return false;
    const QString why = m_lastError;
    close();
    emit unusable(why);
    return true;
}

bool OstDatagramSocket::send(const char* data, int size, const QHostAddress& host, quint16 port)
{
    if (m_fd < 0) {
        m_lastError = QStringLiteral("not bound");
        return false;
    }
    sockaddr_storage to{};
    socklen_t len = 0;
    if (!sockaddrOf(host, port, m_v6, to, len)) {
        m_lastError = QStringLiteral("%1 cannot be reached from this socket").arg(host.toString());
        return false;
    }
    if (::sendto(m_fd, data, size_t(size), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&to), len) == size)
        return true;
    failed(errno, "send");
    return false;
}

void OstDatagramSocket::queue(const char* data, int size, const QHostAddress& host, quint16 port)
{
    Outgoing out;
    sockaddr_storage to{};
    socklen_t len = 0;
    if (!sockaddrOf(host, port, m_v6, to, len))
        return;
    std::memcpy(out.to.data(), &to, sizeof to);
    out.toLen = len;
    out.bytes.assign(data, data + size);
    m_out.push_back(std::move(out));
}

int OstDatagramSocket::flush()
{
    std::vector<Outgoing> out;
    out.swap(m_out);
    int sent = 0;
    size_t next = 0;
    while (next < out.size() && m_fd >= 0) {
#ifdef __linux__
        mmsghdr headers[kBatch];
        iovec iov[kBatch];
        const size_t n = std::min(out.size() - next, size_t(kBatch));
        for (size_t i = 0; i < n; ++i) {
            Outgoing& o = out[next + i];
            iov[i] = {o.bytes.data(), o.bytes.size()};
            headers[i] = {};
            headers[i].msg_hdr.msg_name = o.to.data();
            headers[i].msg_hdr.msg_namelen = o.toLen;
            headers[i].msg_hdr.msg_iov = &iov[i];
            headers[i].msg_hdr.msg_iovlen = 1;
        }
        const int done = ::sendmmsg(m_fd, headers, unsigned(n), MSG_NOSIGNAL);
        if (done < 0) {
            if (failed(errno, "send"))
                return sent;
            ++next;  // the first one failed; the others still go
            continue;
        }
        sent += done;
        next += size_t(done);
#else
        Outgoing& o = out[next++];
        if (::sendto(m_fd, o.bytes.data(), o.bytes.size(), 0, reinterpret_cast<sockaddr*>(o.to.data()), o.toLen) ==
            ssize_t(o.bytes.size()))
            ++sent;
        else if (failed(errno, "send"))
            return sent;
#endif
    }
    return sent;
}

void OstDatagramSocket::readTurn()
{
    QElapsedTimer took;
    took.start();
    for (int turn = 0; turn < kBatchesPerTurn && m_fd >= 0 && took.elapsed() < kTurnBudgetMs; ++turn) {
        Buffers& b = *m_in;
        int count = 0;
#ifdef __linux__
        for (int i = 0; i < kReadBatch; ++i) {
            b.iov[i] = {b.data[i], size_t(kMaxDatagram)};
            b.headers[i] = {};
            b.headers[i].msg_hdr.msg_name = &b.from[i];
            b.headers[i].msg_hdr.msg_namelen = sizeof(sockaddr_storage);
            b.headers[i].msg_hdr.msg_iov = &b.iov[i];
            b.headers[i].msg_hdr.msg_iovlen = 1;
        }
        count = ::recvmmsg(m_fd, b.headers, kReadBatch, MSG_DONTWAIT, nullptr);
        if (count < 0) {
            const int error = errno;
            if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR)
                return;
            if (!failed(error, "receive"))
                emit passingError(m_lastError);
            return;
        }
#else
        for (; count < kReadBatch; ++count) {
            socklen_t len = sizeof(sockaddr_storage);
            const ssize_t n = ::recvfrom(m_fd, b.data[count], kMaxDatagram, MSG_DONTWAIT,
                                         reinterpret_cast<sockaddr*>(&b.from[count]), &len);
            if (n < 0)
                break;
            b.iov[count].iov_len = size_t(n);
        }
#endif
        QHostAddress lastAddress;
        sockaddr_storage lastFrom{};
        quint16 lastPort = 0;
        for (int i = 0; i < count; ++i) {
            Datagram& d = b.datagrams[i];
            d.data = b.data[i];
#ifdef __linux__
            d.size = int(b.headers[i].msg_len);
            if (b.headers[i].msg_hdr.msg_flags & MSG_TRUNC)
                ++m_truncated;
#else
            d.size = int(b.iov[i].iov_len);
#endif
            // Most datagrams come from the sender of the one before: one address object for them.
            if (i == 0 || std::memcmp(&b.from[i], &lastFrom, sizeof lastFrom) != 0) {
                lastFrom = b.from[i];
                lastAddress = addressOf(b.from[i], lastPort);
            }
            d.sender = lastAddress;
            d.senderPort = lastPort;
        }
        if (count > 0 && m_receiver) {
            const Receiver receiver = m_receiver;  // it may be replaced from inside
            receiver(b.datagrams, count);
        }
        if (count < kReadBatch || m_fd < 0)
            return;  // emptied
        OstMainLoopGate::instance().pass();  // a batch is delivered whole: a waiting read goes now
    }
}
