#include "GcsPeriodicTask.h"

#include "OstTimerTaskManager.h"

bool GcsPeriodicTask::start(const std::shared_ptr<OstTimerTaskManager>& manager, int intervalMs,
                            std::function<void()> tick)
{
    stop();
    if (!manager)
        return false;
    m_handle = manager->addTask(std::move(tick), OstTimerTaskTrigger_t{intervalMs, 0, -1, 1});
    if (m_handle)
        m_manager = manager;
    return isRunning();
}

void GcsPeriodicTask::stop()
{
    if (!m_handle)
        return;
    // A manager that is gone took its tasks with it.
    if (auto manager = m_manager.lock())
        manager->removeTask(m_handle);
    m_handle.reset();
    m_manager.reset();
}
