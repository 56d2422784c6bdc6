#pragma once
// The simulator's side of the link: where its bytes go and where the station's come from.

#include <QByteArray>
#include <QObject>
#include <QString>

class SimTransport : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~SimTransport() override;

    // Opens the device or binds the sockets; on failure returns false and sets `error`.
    virtual bool open(QString& error) = 0;
    virtual void close() = 0;
    // Sends one chunk (a datagram, or a write to the device); false when it could not be handed on.
    virtual bool write(const QByteArray& bytes) = 0;
    // Human-readable endpoint(s), for the start-up line.
    virtual QString describe() const = 0;

signals:
    // `channel` tells apart independent byte streams (e.g. two receiving sockets); each is cut
    // into frames on its own.
    void bytesReceived(const QByteArray& bytes, int channel);
    // The transport stopped working (device gone); the simulator cannot continue on it.
    void failed(const QString& error);
};
