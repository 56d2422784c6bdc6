#pragma once
// Serial link settings. Frames are 8 data bits, no parity, one stop bit, no flow control.

#include "OstLinkAbstractConfig.h"

class OstSerialPortLinkConfig : public OstLinkAbstractConfig {
    Q_OBJECT
public:
    explicit OstSerialPortLinkConfig(QObject* parent = nullptr)
        : OstLinkAbstractConfig(parent)
    {
    }
    OstSerialPortLinkConfig(const QString& portName, int baudrate, QObject* parent = nullptr)
        : OstLinkAbstractConfig(parent)
        , m_portName(portName)
        , m_baudrate(baudrate)
    {
    }

    LinkType linkType() const override { return Serial; }
    QString linkKey() const override { return QStringLiteral("serial:") + m_portName; }
    void copyFrom(const OstLinkAbstractConfig& other) override
    {
        if (auto* o = qobject_cast<const OstSerialPortLinkConfig*>(&other)) {
            m_portName = o->m_portName;
            m_baudrate = o->m_baudrate;
        }
    }

    QString portName() const { return m_portName; }
    void setPortName(const QString& name) { m_portName = name; }
    // The historical spelling is kept: callers use it.
    int baundrate() const { return m_baudrate; }
    void setBaudrate(int baudrate) { m_baudrate = baudrate; }

private:
    QString m_portName;
    int m_baudrate = 115200;
};
