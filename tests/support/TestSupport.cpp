#include "TestSupport.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTimer>
#include <QRandomGenerator>
#include <QUdpSocket>
#include <QUuid>

namespace testsupport {

bool waitUntil(const std::function<bool()>& cond, int timeoutMs)
{
    if (cond())
        return true;
    // The timer guarantees WaitForMoreEvents wakes up even when nothing else is posted.
    QTimer tick;
    tick.setInterval(5);
    tick.start();
    QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        if (cond())
            return true;
    }
    return cond();
}

void pumpEvents(int ms)
{
    waitUntil([] { return false; }, ms);
}

QString tempRoot()
{
    static const QString root = [] {
        QString base = qEnvironmentVariable("VELMORA_TEST_ROOT");
        if (base.isEmpty())
            base = QDir::tempPath() + "/velmora-test-" + QUuid::createUuid().toString(QUuid::WithoutBraces);
        QDir().mkpath(base);
        return base;
    }();
    return root;
}

QString makeTempDir(const QString& name)
{
    const QString path = tempRoot() + "/" + name + "-" + QUuid::createUuid().toString(QUuid::Id128).left(8);
    QDir().mkpath(path);
    return path;
}

namespace {

// A free port below Linux's ephemeral range (32768-60999): a port the kernel hands out there can
// be taken by any socket of a parallel test between this check and the caller's own bind.
template <typename Bind>
quint16 freePortBelowEphemeral(Bind bindable)
{
    for (int attempt = 0; attempt < 200; ++attempt) {
        const auto port = quint16(20000 + QRandomGenerator::global()->bounded(12000));
        if (bindable(port))
            return port;
    }
    return 0;
}

}  // namespace

quint16 freeUdpPort()
{
    return freePortBelowEphemeral([](quint16 port) {
        QUdpSocket s;
        return s.bind(QHostAddress::AnyIPv4, port);
    });
}

quint16 freeTcpPort()
{
    return freePortBelowEphemeral([](quint16 port) {
        QTcpServer s;
        return s.listen(QHostAddress::AnyIPv4, port);
    });
}

}  // namespace testsupport
