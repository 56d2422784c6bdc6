#include "TelemetryTcpForwardService.h"

#include "TelemetryFrameTranslator.h"
#include "settings/GcsSettings.h"
#include "protocol/MavProtocolProcesser.h"

#include "OstTcpServer.h"

#include <QHostAddress>

#include <spdlog/spdlog.h>

TelemetryTcpForwardService::TelemetryTcpForwardService(QObject* parent)
    : QObject(parent)
{
    m_server = new OstTcpServer(this);
}

void TelemetryTcpForwardService::setFrameTranslator(const std::shared_ptr<TelemetryFrameTranslator>& translator)
{
    m_translator = translator;
}

void TelemetryTcpForwardService::attachProtocolProcesser(MavProtocolProcesser* processer)
{
    if (!processer || processer == m_processer)
        return;
    if (m_processer)
        disconnect(m_processer, nullptr, this, nullptr);
    m_processer = processer;
    updateProcesserConnection();
}

void TelemetryTcpForwardService::updateProcesserConnection()
{
    if (!m_processer)
        return;
    if (m_server->isListening())
        connect(m_processer, &MavProtocolProcesser::originPFrameDataReceived, this,
                &TelemetryTcpForwardService::onOriginPFrameData, Qt::UniqueConnection);
    else
        disconnect(m_processer, nullptr, this, nullptr);
}

void TelemetryTcpForwardService::startFromSettings()
{
    auto* settings = GcsSettings::getInstance();
    if (!settings->telemetryTcpForwardEnabled() || m_server->isListening())
        return;
    const int port = settings->telemetryTcpForwardPort();
    const int maxClients = settings->telemetryTcpForwardMaxClients();
    m_server->listen(QHostAddress::AnyIPv4, quint16(port), maxClients);
    spdlog::info("TelemetryTcpForwardService starting on port {} maxClients={}", port, maxClients);
    updateProcesserConnection();
}

void TelemetryTcpForwardService::applyFromSettings()
{
    if (!GcsSettings::getInstance()->telemetryTcpForwardEnabled())
        stop();
    else if (!m_server->isListening())
        startFromSettings();
}

void TelemetryTcpForwardService::stop()
{
    m_server->stopListen();
    updateProcesserConnection();
}

void TelemetryTcpForwardService::onOriginPFrameData(std::shared_ptr<QByteArray> frame, OstAbstractLink* link)
{
    // The client count is tested first so that an idle service costs one call per frame.
    if (!frame || m_server->clientCount() == 0)
        return;
    auto translator = m_translator.lock();
    if (!translator)
        return;
    if (auto bytes = translator->translate(*frame, link))
        m_server->broadcastData(*bytes);
}
