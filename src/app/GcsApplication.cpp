#include "GcsApplication.h"

#include "GcsAppController.h"
#include "GcsServerConfig.h"
#include "GcsToolBox.h"
#include "VelmoraCore.h"
#include "automation/GcsCliIpcServer.h"
#include "OstMainLoopGate.h"

#include "OstDispatcher.h"
#include "OstMainThreadExecEvent.h"

#include <QScopeGuard>
#include <QThread>

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
    bool ok = false;
    const int stallMs = qEnvironmentVariableIntValue("VELMORA_STALL_MS", &ok);
    if (ok && stallMs >= 0)
        setStallThresholdMs(stallMs);
    m_sinceStart.start();
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

bool GcsApplication::notify(QObject* receiver, QEvent* e)
{
    // Only the outermost delivery on the main thread: nested sends are part of its time.
    if (m_deliveryDepth > 0 || QThread::currentThread() != thread())
        return QApplication::notify(receiver, e);
    // A worker let in between events (OstMainLoopGate) has left before this event begins.
    OstMainLoopGate& gate = OstMainLoopGate::instance();
    gate.beginEvent();
    const auto between = qScopeGuard([&] { gate.endEvent(); });
    // The receiver may delete itself while handling the event: what names it is taken before.
    // A timer or socket notifier says little by itself; its parent is the object that works.
    const bool timed = m_stallThresholdNs > 0;
    const int type = int(e->type());
    const QMetaObject* receiverClass = timed && receiver ? receiver->metaObject() : nullptr;
    const QObject* parent = timed && receiver ? receiver->parent() : nullptr;
    const QMetaObject* parentClass = parent ? parent->metaObject() : nullptr;
    QElapsedTimer timer;
    timer.start();
    bool handled = false;
    {
        ++m_deliveryDepth;
        const auto outer = qScopeGuard([this] { --m_deliveryDepth; });
        handled = QApplication::notify(receiver, e);
    }
    const qint64 took = timer.nsecsElapsed();
    if (!timed || took < m_stallThresholdNs)
        return handled;
    ++m_stalls.count;
    m_stalls.longestSeconds = std::max(m_stalls.longestSeconds, double(took) / 1e9);
    const qint64 now = m_sinceStart.nsecsElapsed();
    if (m_stalls.count > 1 && now - m_lastStallLogNs < 1000000000) {
        ++m_stallsNotLogged;
        return handled;
    }
    m_lastStallLogNs = now;
    spdlog::warn("<app> main loop held {} ms by event {} to {}{}{} ({} more over {} ms since the last line)",
                 took / 1000000, type, receiverClass ? receiverClass->className() : "?", parentClass ? " of " : "",
                 parentClass ? parentClass->className() : "", m_stallsNotLogged, m_stallThresholdNs / 1000000);
    m_stallsNotLogged = 0;
    return handled;
}

int GcsApplication::runLoop()
{
    // From here until the loop ends the main thread runs only inside events, so a worker may run
    // between them; before and after, setup and teardown code runs outside any event.
    OstMainLoopGate::instance().setOpen(true);
    const int rc = exec();
    OstMainLoopGate::instance().setOpen(false);
    return rc;
}

void GcsApplication::handleAppAboutToQuit()
{
    spdlog::info("<app> about to quit app");
    OstMainLoopGate::instance().setOpen(false);  // teardown runs outside events from here
    stopCliIpcServer();
    spdlog::info("<app> begin release all");
    release();
    spdlog::info("<app> end release all");
}
