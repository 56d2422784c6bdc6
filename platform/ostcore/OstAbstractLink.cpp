#include "OstAbstractLink.h"

#include <QThread>

#include <spdlog/spdlog.h>

OstAbstractLink::OstAbstractLink(QObject* parent)
    : QObject(parent)
{
}

OstAbstractLink::~OstAbstractLink() = default;

std::shared_ptr<OstLinkAbstractConfig> OstAbstractLink::linkConfig() const
{
    QMutexLocker lock(&m_configMutex);
    return m_config;
}

void OstAbstractLink::setLinkConfig(std::shared_ptr<OstLinkAbstractConfig> config)
{
    QMutexLocker lock(&m_configMutex);
    m_config = std::move(config);
}

void OstAbstractLink::start()
{
}

void OstAbstractLink::open(std::shared_ptr<OstLinkAbstractConfig> config)
{
    setLinkConfig(std::move(config));
    open();
}

void OstAbstractLink::open()
{
    // Always answered on a later turn of the link's event loop, so a caller can connect to
    // openLinkResp after calling open().
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (isOpen())
                doClose();
            const bool ok = doOpen();
            setOpen(ok);
            emit openLinkResp(ok);
        },
        Qt::QueuedConnection);
}

void OstAbstractLink::close()
{
    if (!onLinkThread()) {
        QMetaObject::invokeMethod(
            this, [this] { close(); }, Qt::QueuedConnection);
        return;
    }
    if (!isOpen())
        return;
    doClose();
    setOpen(false);
}

void OstAbstractLink::stop()
{
    close();
}

void OstAbstractLink::registerRecvdDataHandleFunc(RecvdDataHandleFunc func)
{
    QMutexLocker lock(&m_handlerMutex);
    m_dataHandler = std::move(func);
}

void OstAbstractLink::unregisterRecvdDataHandleFunc()
{
    QMutexLocker lock(&m_handlerMutex);
    m_dataHandler = nullptr;
}

bool OstAbstractLink::isOpen() const
{
    return m_open.load();
}

bool OstAbstractLink::sendData(const QByteArray& data)
{
    if (!isOpen())
        return false;
    if (!onLinkThread()) {
        QMetaObject::invokeMethod(
            this,
            [this, data] {
                if (isOpen())
                    doSend(data);
            },
            Qt::QueuedConnection);
        return true;
    }
    return doSend(data);
}

bool OstAbstractLink::onLinkThread() const
{
    return QThread::currentThread() == thread();
}

void OstAbstractLink::deliverData(const QByteArray& data)
{
    RecvdDataHandleFunc handler;
    {
        QMutexLocker lock(&m_handlerMutex);
        handler = m_dataHandler;
    }
    if (handler)
        handler(data);
}

void OstAbstractLink::closeAfterFailure(const QString& reason)
{
    if (!isOpen())
        return;
    spdlog::warn("<Link> link closed: {}", reason.toStdString());
    doClose();
    setOpen(false);
    emit linkClosed();
}
