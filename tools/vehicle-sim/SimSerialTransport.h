#pragma once
// A serial device (or a pseudo-terminal standing in for one) carrying the frames both ways.

#include "SimTransport.h"

#include <QSerialPort>

class SimSerialTransport : public SimTransport {
    Q_OBJECT
public:
    SimSerialTransport(QString path, qint32 baud, QObject* parent = nullptr);

    bool open(QString& error) override;
    void close() override;
    bool write(const QByteArray& bytes) override;
    QString describe() const override;

private slots:
    void handleReadyRead();
    void handleError(QSerialPort::SerialPortError error);

private:
    QString m_path;
    qint32 m_baud;
    QSerialPort m_port;
};
