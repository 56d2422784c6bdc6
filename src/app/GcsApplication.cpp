#include "GcsApplication.h"

#include "GcsAppController.h"
#include "GcsServerConfig.h"
#include "GcsToolBox.h"
#include "VelmoraCore.h"
#include "automation/GcsCliIpcServer.h"

#include "OstDispatcher.h"
#include "OstMainThreadExecEvent.h"

#include <spdlog/spdlog.h>

namespace {
GcsApplication* g_app = nullptr;
}

GcsApplication* gcsApp()
{
    return g_app;
}

GcsApplication::GcsApplication(int& argc, char** argv)
    : QApplication(argc, argv)
{
    setOrganizationName(QStringLiteral("Halvorn"));
    setApplicationName(QStringLiteral("Gcs"));
    setApplicationVersion(QStringLiteral(VELMORA_VERSION));
    VelmoraCore::registerMetaTypes();
    GcsServerConfig::instance();
    connect(this, &QCoreApplication::aboutToQuit, this, &GcsApplication::handleAppAboutToQuit);
    g_app = this;
}

GcsApplication::~GcsApplication()
{
    release();
    if (g_app == this)
        g_app = nullptr;
    spdlog::debug("GcsApplication destroyed ------------");
}

void GcsApplication::init()
{
    OstDispatcher::getInstance();
}

QString GcsApplication::commProtocolVersion()
{
    return QStringLiteral("EB90-2.1");
}

void GcsApplication::setAppCtrler(GcsAppController* ctrl)
{
    m_toolBox = std::make_shared<GcsToolBox>(GcsServerConfig::instance(), nullptr);
    m_appCtrler = ctrl;
    spdlog::debug("<app> <startup> set app controller: {}", static_cast<const void*>(ctrl));
    if (ctrl) {
        if (ctrl->parent() != this)
            ctrl->setParent(this);
        ctrl->init(m_toolBox);
    }
}

void GcsApplication::startCliIpcServer()
{
    if (m_cliIpcServer) {
        spdlog::debug("<app> CLI IPC server start skipped (already running)");
        return;
    }
    auto server = std::make_unique<GcsCliIpcServer>(GcsCliServiceContext{m_appCtrler}, this);
    QString error;
    if (!server->start(&error)) {
        spdlog::error("<app> CLI IPC server failed to start: {}", error.toStdString());
        return;
    }
    m_cliIpcServer = std::move(server);
    spdlog::info("<app> CLI IPC server started on '{}'", GcsCliIpcServer::endpointName().toStdString());
}

void GcsApplication::stopCliIpcServer()
{
    if (!m_cliIpcServer) {
        spdlog::debug("<app> CLI IPC server stop skipped (already stopped)");
        return;
    }
    m_cliIpcServer.reset();
    spdlog::info("<app> CLI IPC server stopped");
}

void GcsApplication::release()
{
    if (m_released)
        return;
    m_released = true;
    if (m_appCtrler)
        m_appCtrler->release();
    if (m_toolBox)
        m_toolBox->release();
    OstDispatcher::destroyInstance();
}

bool GcsApplication::event(QEvent* e)
{
    if (e->type() == OstMainThreadExecEvent::MainThreadExecEvent) {
        static_cast<OstMainThreadExecEvent*>(e)->exec();
        return true;
    }
    return QApplication::event(e);
}

void GcsApplication::handleAppAboutToQuit()
{
    spdlog::info("<app> about to quit app");
    stopCliIpcServer();
    spdlog::info("<app> begin release all");
    release();
    spdlog::info("<app> end release all");
}
