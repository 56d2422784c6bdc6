#pragma once
// Serial link on QSerialPort (8N1, no flow control). See OstAbstractLink for the contract.

#include "OstAbstractLink.h"

class QSerialPort;

class OstSerialPortLink : public OstAbstractLink {
    Q_OBJECT
public:
    explicit OstSerialPortLink(QObject* parent = nullptr);
    ~OstSerialPortLink() override;

protected:
    bool doOpen() override;
    void doClose() override;
    bool doSend(const QByteArray& data) override;

private:
    void handleReadyRead();

    QSerialPort* m_port = nullptr;
};
