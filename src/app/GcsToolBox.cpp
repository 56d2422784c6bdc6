#include "GcsToolBox.h"

#include "GcsAppController.h"
#include "GcsRequestDefaultDataQuery.h"
#include "GcsServerConfig.h"
#include "telemetry/MavTeleDataItemBox.h"

#include "GcsHttp.h"
#include "OstTimerTaskManager.h"

#include <spdlog/spdlog.h>

GcsToolBox::GcsToolBox(GcsServerConfig* config, QObject* parent)
    : QObject(parent)
    , m_timerTaskMgr(std::make_shared<OstTimerTaskManager>(nullptr))
    , m_teleDataItemBox(std::make_shared<MavTeleDataItemBox>(nullptr))
    , m_http(std::make_shared<GcsHttp>(config ? config->httpBaseUrl() : QString(), nullptr))
{
}

GcsToolBox::~GcsToolBox()
{
    release();
}

void GcsToolBox::initWith(GcsAppController* ctrl)
{
    if (ctrl) {
        spdlog::debug("<toolbox> init");
        m_teleDataItemBox->setCustomNameFieldsConfigManager(ctrl->customNameFieldsConfigMgr());
        m_requestDefaultDataQuery = std::make_shared<GcsRequestDefaultDataQuery>(ctrl->loginMgr());
        m_http->setRequestDefaultDataQuery(m_requestDefaultDataQuery);
        m_http->start();
    }
    if (!m_timerTaskMgr->isRunning())
        m_timerTaskMgr->start();
}

void GcsToolBox::release()
{
    if (m_timerTaskMgr && m_timerTaskMgr->isRunning()) {
        m_timerTaskMgr->clearTasks(true);
        m_timerTaskMgr->quit();
        m_timerTaskMgr->wait(500);
    }
    if (m_http)
        m_http->stop();
}
