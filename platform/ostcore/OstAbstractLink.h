#pragma once
// A link to vehicles: opens asynchronously, delivers received bytes to a registered handler on
// the link's own thread, and accepts sends from any thread.
//
// Choices this library makes:
// - open() / open(config) always answer later, on the link's thread, with openLinkResp(ok);
//   every failure (missing device, port in use, wrong config type) is openLinkResp(false)
//   plus an error log line.
// - linkClosed() is emitted only when the link closes by itself (device unplugged, socket
//   error). A close() or stop() asked for by the caller emits nothing: the caller knows.
// - sendData() from a thread other than the link's hands the bytes to the link's thread with a
//   queued invocation (a QSerialPort written from a foreign thread silently sends nothing) and
//   returns whether the link is open; from the link's own thread it writes at once and returns
//   the write's outcome.
// - start() is a no-op kept for callers that prepare a link before opening it; stop() closes
//   the link like close().

#include "OstLinkAbstractConfig.h"

#include <QByteArray>
#include <QMutex>
#include <QObject>

#include <atomic>
#include <functional>
#include <memory>

class OstAbstractLink : public QObject {
    Q_OBJECT
public:
    using RecvdDataHandleFunc = std::function<void(QByteArray)>;

    explicit OstAbstractLink(QObject* parent = nullptr);
    ~OstAbstractLink() override;

    std::shared_ptr<OstLinkAbstractConfig> linkConfig() const;
    void setLinkConfig(std::shared_ptr<OstLinkAbstractConfig> config);

    virtual void start();
    virtual void open(std::shared_ptr<OstLinkAbstractConfig> config);
    virtual void open();
    virtual void close();
    virtual void registerRecvdDataHandleFunc(RecvdDataHandleFunc func);
    virtual void unregisterRecvdDataHandleFunc();
    virtual bool isOpen() const;
    virtual bool sendData(const QByteArray& data);
    virtual void stop();

signals:
    void openLinkResp(bool ok);
    void linkClosed();

protected:
    // Run on the link's thread.
    virtual bool doOpen() = 0;
    virtual void doClose() = 0;
    virtual bool doSend(const QByteArray& data) = 0;

    bool onLinkThread() const;
    void deliverData(const QByteArray& data);
    void setOpen(bool open) { m_open.store(open); }
    // The link failed while open: close and tell the owner.
    void closeAfterFailure(const QString& reason);

    mutable QMutex m_handlerMutex;

private:
    // Senders on other threads read the config to find destinations.
    mutable QMutex m_configMutex;
    std::shared_ptr<OstLinkAbstractConfig> m_config;
    RecvdDataHandleFunc m_dataHandler;
    std::atomic<bool> m_open{false};
};
