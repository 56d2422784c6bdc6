#pragma once
// A serial device (or a pseudo-terminal standing in for one) carrying the frames both ways.
//
// With a line rate (bits per second, 10 bits a byte) the bytes are paced each way as a real
// line at that rate would carry them: a pseudo-terminal ignores the baud rate and would
// otherwise pass bytes as fast as memory. 0 passes them unpaced.

#include "SimTransport.h"

#include <QElapsedTimer>
#include <QSerialPort>
#include <QTimer>

class SimSerialTransport : public SimTransport {
    Q_OBJECT
public:
    SimSerialTransport(QString path, qint32 baud, int lineRate = 0, QObject* parent = nullptr);

    bool open(QString& error) override;
    void close() override;
    bool write(const QByteArray& bytes) override;
    QString describe() const override;

private slots:
    void handleReadyRead();
    void handleError(QSerialPort::SerialPortError error);

private:
    // Bytes of `queue` a line at m_lineRate may have carried since `clock` started, less `sent`.
    struct PacedQueue {
        QByteArray bytes;
        QElapsedTimer clock;
        qint64 sent = 0;
    };
    QByteArray takeAllowed(PacedQueue& queue);
    void pace();

    QString m_path;
    int m_lineRate = 0;
    PacedQueue m_in;
    PacedQueue m_out;
    QTimer m_paceTimer;
    qint32 m_baud;
    QSerialPort m_port;
};
