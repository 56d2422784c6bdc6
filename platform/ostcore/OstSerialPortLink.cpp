#include "OstSerialPortLink.h"

#include "OstSerialPortLinkConfig.h"

#include <QSerialPort>

#include <spdlog/spdlog.h>

OstSerialPortLink::OstSerialPortLink(QObject* parent)
    : OstAbstractLink(parent)
{
    m_port = new QSerialPort(this);
    connect(m_port, &QSerialPort::readyRead, this, &OstSerialPortLink::handleReadyRead);
    connect(m_port, &QSerialPort::errorOccurred, this, [this](QSerialPort::SerialPortError error) {
        // Only errors that end the device matter here; open failures are reported by doOpen.
        spdlog::debug("<Link> serial error {}: {}", int(error), m_port->errorString().toStdString());
        if (error == QSerialPort::ResourceError || error == QSerialPort::PermissionError)
            closeAfterFailure(m_port->errorString());
    });
}

OstSerialPortLink::~OstSerialPortLink()
{
    if (m_port->isOpen())
        m_port->close();
}

bool OstSerialPortLink::doOpen()
{
    auto config = std::dynamic_pointer_cast<OstSerialPortLinkConfig>(linkConfig());
    if (!config) {
        spdlog::error("<Link> serial open failed: no serial port config");
        return false;
    }
    if (m_port->isOpen())
        m_port->close();
    m_port->setPortName(config->portName());
    m_port->setBaudRate(config->baundrate());
    m_port->setDataBits(QSerialPort::Data8);
    m_port->setParity(QSerialPort::NoParity);
    m_port->setStopBits(QSerialPort::OneStop);
    m_port->setFlowControl(QSerialPort::NoFlowControl);
    if (!m_port->open(QIODevice::ReadWrite)) {
        spdlog::error("<Link> serial open failed: {} ({})", config->portName().toStdString(),
                      m_port->errorString().toStdString());
        m_port->clearError();
        return false;
    }
    spdlog::info("<Link> serial port opened: {} at {} baud", config->portName().toStdString(), config->baundrate());
    return true;
}

void OstSerialPortLink::doClose()
{
    if (m_port->isOpen()) {
        m_port->close();
        spdlog::info("<Link> serial port closed: {}", m_port->portName().toStdString());
    }
}

bool OstSerialPortLink::doSend(const QByteArray& data)
{
    if (!m_port->isOpen())
        return false;
    const qint64 written = m_port->write(data);
    if (written != data.size()) {
        spdlog::error("<Link> serial write failed: {}", m_port->errorString().toStdString());
        return false;
    }
    return true;
}

void OstSerialPortLink::handleReadyRead()
{
    const QByteArray data = m_port->readAll();
    if (!data.isEmpty())
        deliverData(data);
}
