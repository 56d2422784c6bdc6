#include "OstDispatcher.h"

#include "OstMainThreadExecEvent.h"

#include <QCoreApplication>

#include <spdlog/spdlog.h>

#include <mutex>

namespace {
std::mutex g_instanceMutex;
OstDispatcher* g_instance = nullptr;
}  // namespace

OstDispatcher* OstDispatcher::getInstance()
{
    std::lock_guard lock(g_instanceMutex);
    if (!g_instance) {
        g_instance = new OstDispatcher;
        spdlog::debug("<Dispatcher> created");
    }
    return g_instance;
}

void OstDispatcher::destroyInstance()
{
    std::lock_guard lock(g_instanceMutex);
    if (!g_instance)
        return;
    delete g_instance;
    g_instance = nullptr;
    spdlog::debug("<Dispatcher> destroyed");
}

bool OstDispatcher::runOnMainThread(std::function<void()> func)
{
    if (!func) {
        spdlog::warn("<Dispatcher> refused an empty callable");
        return false;
    }
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) {
        spdlog::warn("<Dispatcher> no application object, callable dropped");
        return false;
    }
    QCoreApplication::postEvent(app, new OstMainThreadExecEvent(std::move(func)));
    return true;
}
