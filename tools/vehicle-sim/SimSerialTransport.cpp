#include "SimSerialTransport.h"

#include <spdlog/spdlog.h>

SimSerialTransport::SimSerialTransport(QString path, qint32 baud, QObject* parent)
    : SimTransport(parent), m_path(std::move(path)), m_baud(baud)
{
    connect(&m_port, &QSerialPort::readyRead, this, &SimSerialTransport::handleReadyRead);
    connect(&m_port, &QSerialPort::errorOccurred, this, &SimSerialTransport::handleError);
}

bool SimSerialTransport::open(QString& error)
{
    m_port.setPortName(m_path);
    if (!m_port.open(QIODevice::ReadWrite)) {
        error = QStringLiteral("cannot open serial device %1: %2").arg(m_path, m_port.errorString());
        return false;
    }
    // Pseudo-terminals refuse some line settings; the bytes still flow, so only warn.
    if (!m_port.setBaudRate(m_baud) || !m_port.setDataBits(QSerialPort::Data8) || !m_port.setParity(QSerialPort::NoParity)
        || !m_port.setStopBits(QSerialPort::OneStop) || !m_port.setFlowControl(QSerialPort::NoFlowControl))
        spdlog::warn("<VehicleSim> serial device {} refused a line setting: {}", m_path.toStdString(),
                     m_port.errorString().toStdString());
    m_port.clearError();
    return true;
}

void SimSerialTransport::close()
{
    if (m_port.isOpen())
        m_port.close();
}

bool SimSerialTransport::write(const QByteArray& bytes)
{
    if (!m_port.isOpen())
        return false;
    if (m_port.write(bytes) == bytes.size())
        return true;
    spdlog::error("<VehicleSim> serial write to {} failed: {}", m_path.toStdString(), m_port.errorString().toStdString());
    return false;
}

QString SimSerialTransport::describe() const
{
    return QStringLiteral("serial %1 at %2 baud").arg(m_path).arg(m_baud);
}

void SimSerialTransport::handleReadyRead()
{
    const QByteArray bytes = m_port.readAll();
    if (!bytes.isEmpty())
        emit bytesReceived(bytes, 0);
}

void SimSerialTransport::handleError(QSerialPort::SerialPortError error)
{
    if (error != QSerialPort::ResourceError)
        return;
    const QString text = QStringLiteral("serial device %1 failed: %2").arg(m_path, m_port.errorString());
    spdlog::error("<VehicleSim> {}", text.toStdString());
    m_port.close();
    emit failed(text);
}
