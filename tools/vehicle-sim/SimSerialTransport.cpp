#include "SimSerialTransport.h"

#include <spdlog/spdlog.h>

SimSerialTransport::SimSerialTransport(QString path, qint32 baud, int lineRate, QObject* parent)
    : SimTransport(parent)
    , m_path(std::move(path))
    , m_lineRate(lineRate)
    , m_baud(baud)
{
    m_paceTimer.setInterval(2);
    m_paceTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_paceTimer, &QTimer::timeout, this, &SimSerialTransport::pace);
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
    if (!m_port.setBaudRate(m_baud) || !m_port.setDataBits(QSerialPort::Data8) ||
        !m_port.setParity(QSerialPort::NoParity) || !m_port.setStopBits(QSerialPort::OneStop) ||
        !m_port.setFlowControl(QSerialPort::NoFlowControl))
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
    if (m_lineRate > 0) {
        m_out.bytes += bytes;
        pace();
        return true;
    }
    if (m_port.write(bytes) == bytes.size())
        return true;
    spdlog::error("<VehicleSim> serial write to {} failed: {}", m_path.toStdString(),
                  m_port.errorString().toStdString());
    return false;
}

QString SimSerialTransport::describe() const
{
    return QStringLiteral("serial %1 at %2 baud").arg(m_path).arg(m_baud);
}

void SimSerialTransport::handleReadyRead()
{
    const QByteArray bytes = m_port.readAll();
    if (bytes.isEmpty())
        return;
    if (m_lineRate > 0) {
        m_in.bytes += bytes;
        pace();
        return;
    }
    emit bytesReceived(bytes, 0);
}

QByteArray SimSerialTransport::takeAllowed(PacedQueue& queue)
{
    if (queue.bytes.isEmpty())
        return {};
    // An idle line does not bank time: the clock restarts with the first byte after a pause.
    if (!queue.clock.isValid() || queue.clock.nsecsElapsed() * m_lineRate / 10 / 1000000000 > queue.sent + 64) {
        queue.clock.start();
        queue.sent = 0;
    }
    const qint64 allowed = queue.clock.nsecsElapsed() * m_lineRate / 10 / 1000000000 - queue.sent;
    if (allowed <= 0)
        return {};
    const QByteArray chunk = queue.bytes.left(allowed);
    queue.bytes.remove(0, chunk.size());
    queue.sent += chunk.size();
    return chunk;
}

void SimSerialTransport::pace()
{
    if (const QByteArray in = takeAllowed(m_in); !in.isEmpty())
        emit bytesReceived(in, 0);
    if (const QByteArray out = takeAllowed(m_out); !out.isEmpty() && m_port.isOpen() && m_port.write(out) != out.size())
        spdlog::error("<VehicleSim> serial write to {} failed: {}", m_path.toStdString(),
                      m_port.errorString().toStdString());
    const bool pending = !m_in.bytes.isEmpty() || !m_out.bytes.isEmpty();
    if (pending && !m_paceTimer.isActive())
        m_paceTimer.start();
    else if (!pending)
        m_paceTimer.stop();
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
