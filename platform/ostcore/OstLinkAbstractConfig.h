#pragma once
// Configuration of one link. Link types keep their protocol values: 1 serial, 3 UDP.

#include <QObject>
#include <QString>

class OstLinkAbstractConfig : public QObject {
    Q_OBJECT
public:
    enum LinkType { Invalid = 0, Serial = 1, Udp = 3 };
    Q_ENUM(LinkType)

    explicit OstLinkAbstractConfig(QObject* parent = nullptr)
        : QObject(parent)
    {
    }

    virtual LinkType linkType() const = 0;
    // A text that names the endpoint, e.g. "serial:/dev/ttyUSB0" or "udp:14550".
    virtual QString linkKey() const = 0;
    // Takes the values of another config of the same type; a config of another type is ignored.
    virtual void copyFrom(const OstLinkAbstractConfig& other) = 0;
};
