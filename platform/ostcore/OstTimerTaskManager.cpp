#include "OstTimerTaskManager.h"

#include <QTimer>

#include <spdlog/spdlog.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <exception>
#include <vector>

namespace {
// Process-wide, so a handle of one manager never matches a task of another.
std::atomic<quint64> g_nextTaskId{1};
}  // namespace

OstTimerTaskManager::OstTimerTaskManager(QObject* parent)
    : QThread(parent)
{
}

OstTimerTaskManager::~OstTimerTaskManager()
{
    // Destroying a running QThread aborts the process.
    if (isRunning()) {
        quit();
        wait();
    }
}

OstTimerTaskHandlePtr OstTimerTaskManager::addTask(std::function<void()> func, OstTimerTaskTrigger_t trigger)
{
    if (!func) {
        spdlog::warn("<TimerTask> addTask refused: empty callback");
        return nullptr;
    }
    if (trigger.intervalMs < 1 || trigger.firstDelayMs < 0 || trigger.runCount == 0 || trigger.runCount < -1) {
        spdlog::warn("<TimerTask> addTask refused: interval {} ms, first delay {} ms, run count {}", trigger.intervalMs,
                     trigger.firstDelayMs, trigger.runCount);
        return nullptr;
    }
    auto task = std::make_shared<Task>(Task{std::move(func), trigger, trigger.runCount});
    const quint64 taskId = g_nextTaskId.fetch_add(1);
    {
        std::lock_guard lock(m_mutex);
        m_tasks.emplace(taskId, std::move(task));
        scheduleStartLocked(taskId);
    }
    spdlog::debug("<TimerTask> task {} added: interval {} ms, run count {}", taskId, trigger.intervalMs,
                  trigger.runCount);
    return OstTimerTaskHandlePtr(new OstTimerTaskHandle(taskId));
}

bool OstTimerTaskManager::removeTask(const OstTimerTaskHandlePtr& handle)
{
    if (!handle)
        return false;
    const quint64 taskId = handle->taskId();
    // Declared before the lock: the callback's captures are released here, after the manager's
    // thread has let go of its copy, so on the caller's thread.
    TaskPtr removed;
    {
        std::unique_lock lock(m_mutex);
        auto it = m_tasks.find(taskId);
        if (it == m_tasks.end())
            return false;
        removed = std::move(it->second);
        m_tasks.erase(it);
        scheduleStopLocked(taskId);
        waitUntilNotRunningLocked(lock, taskId);
    }
    spdlog::debug("<TimerTask> task {} removed", taskId);
    return true;
}

void OstTimerTaskManager::clearTasks(bool waitForRunning)
{
    std::unordered_map<quint64, TaskPtr> removed;
    {
        std::unique_lock lock(m_mutex);
        removed.swap(m_tasks);
        for (const auto& entry : removed)
            scheduleStopLocked(entry.first);
        if (waitForRunning && m_runningTaskId != 0)
            waitUntilNotRunningLocked(lock, m_runningTaskId);
    }
    if (!removed.empty())
        spdlog::info("<TimerTask> cleared {} task(s)", removed.size());
}

bool OstTimerTaskManager::hasTask(const OstTimerTaskHandlePtr& handle) const
{
    if (!handle)
        return false;
    std::lock_guard lock(m_mutex);
    return m_tasks.count(handle->taskId()) != 0;
}

int OstTimerTaskManager::taskCount() const
{
    std::lock_guard lock(m_mutex);
    return int(m_tasks.size());
}

void OstTimerTaskManager::run()
{
    spdlog::info("<TimerTask> thread started");
    QObject context;
    std::vector<quint64> pending;
    {
        std::lock_guard lock(m_mutex);
        m_context = &context;
        pending.reserve(m_tasks.size());
        for (const auto& entry : m_tasks)
            pending.push_back(entry.first);
    }
    // A task added meanwhile is also armed by its queued call; arming is idempotent.
    for (quint64 taskId : pending)
        armTimer(taskId);

    exec();

    {
        std::lock_guard lock(m_mutex);
        m_context = nullptr;
    }
    // The timers are children of the context and die with it; pending queued calls die too.
    m_timers.clear();
    spdlog::info("<TimerTask> thread stopped");
}

void OstTimerTaskManager::scheduleStartLocked(quint64 taskId)
{
    if (m_context)
        QMetaObject::invokeMethod(
            m_context, [this, taskId] { armTimer(taskId); }, Qt::QueuedConnection);
}

void OstTimerTaskManager::scheduleStopLocked(quint64 taskId)
{
    if (m_context)
        QMetaObject::invokeMethod(
            m_context, [this, taskId] { disarmTimer(taskId); }, Qt::QueuedConnection);
}

void OstTimerTaskManager::armTimer(quint64 taskId)
{
    if (!m_context || m_timers.contains(taskId))
        return;
    OstTimerTaskTrigger_t trigger;
    {
        std::lock_guard lock(m_mutex);
        auto it = m_tasks.find(taskId);
        if (it == m_tasks.end())
            return;
        trigger = it->second->trigger;
    }
    auto* timer = new QTimer(m_context);
    timer->setTimerType(trigger.precision == 0 ? Qt::CoarseTimer : Qt::PreciseTimer);
    // The first period carries the extra delay; handleTimeout() switches to the plain interval.
    timer->setInterval(int(std::min<qint64>(qint64(trigger.intervalMs) + trigger.firstDelayMs, INT_MAX)));
    connect(timer, &QTimer::timeout, timer, [this, taskId] { handleTimeout(taskId); });
    m_timers.insert(taskId, timer);
    timer->start();
}

void OstTimerTaskManager::disarmTimer(quint64 taskId)
{
    QTimer* timer = m_timers.take(taskId);
    if (!timer)
        return;
    timer->stop();
    // Possibly called from inside this timer's own timeout.
    timer->deleteLater();
}

void OstTimerTaskManager::handleTimeout(quint64 taskId)
{
    TaskPtr task;
    {
        std::lock_guard lock(m_mutex);
        auto it = m_tasks.find(taskId);
        if (it != m_tasks.end()) {
            task = it->second;
            m_runningTaskId = taskId;
        }
    }
    if (!task) {
        disarmTimer(taskId);
        return;
    }
    if (QTimer* timer = m_timers.value(taskId); timer && timer->interval() != task->trigger.intervalMs)
        timer->setInterval(task->trigger.intervalMs);

    try {
        task->func();
    } catch (const std::exception& e) {
        spdlog::error("<TimerTask> task {} threw: {}", taskId, e.what());
    } catch (...) {
        spdlog::error("<TimerTask> task {} threw an unknown exception", taskId);
    }

    // runsLeft is only touched on this thread.
    const bool countedOut = task->runsLeft > 0 && --task->runsLeft == 0;
    // Let go of the callback before announcing the end of the run, so that a remover waiting on
    // another thread holds the last reference.
    task.reset();
    TaskPtr finished;
    {
        std::lock_guard lock(m_mutex);
        m_runningTaskId = 0;
        if (countedOut) {
            auto it = m_tasks.find(taskId);
            if (it != m_tasks.end()) {
                finished = std::move(it->second);
                m_tasks.erase(it);
            }
        }
    }
    m_idle.notify_all();
    if (finished) {
        disarmTimer(taskId);
        spdlog::debug("<TimerTask> task {} finished its runs", taskId);
    }
}

void OstTimerTaskManager::waitUntilNotRunningLocked(std::unique_lock<std::mutex>& lock, quint64 taskId)
{
    // From inside a callback the running task is the caller itself.
    if (QThread::currentThread() == this)
        return;
    m_idle.wait(lock, [this, taskId] { return m_runningTaskId != taskId; });
}
