#pragma once
// Where a link manager hands the bytes its links receive. The protocol layer registers the one
// factory at load time, so the link layer never names the protocol processor it feeds.
//
// The handlers run on the links' thread.

#include <QByteArray>
#include <QString>

class MavProtocolProcesser;
class OstAbstractLink;
class QObject;

class GcsLinkDataSink {
public:
    virtual ~GcsLinkDataSink() = default;

    virtual void handleSerialLinkData(const QByteArray& data, OstAbstractLink* link) = 0;
    virtual void handleUdpLinkData(const QString& address, const QByteArray& data, OstAbstractLink* link) = 0;
    virtual MavProtocolProcesser* mavProtocolProcesser() = 0;

    // The factory returns a sink that is a child of parent. Without a registered factory,
    // create() returns null: the link manager then drops what it receives.
    using Factory = GcsLinkDataSink* (*)(QObject* parent);
    static void setFactory(Factory factory);
    static GcsLinkDataSink* create(QObject* parent);
};
