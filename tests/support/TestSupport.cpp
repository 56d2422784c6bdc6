#include "TestSupport.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTimer>
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

quint16 freeUdpPort()
{
    QUdpSocket s;
    s.bind(QHostAddress::LocalHost, 0);
    return s.localPort();
}

quint16 freeTcpPort()
{
    QTcpServer s;
    s.listen(QHostAddress::LocalHost, 0);
    return s.serverPort();
}

}  // namespace testsupport
