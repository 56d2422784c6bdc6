#pragma once
// A thread that runs repeating tasks on timers of its own event loop.
//
// Tasks may be added, removed and cleared from any thread, before or after start(). Callbacks run
// on the manager's thread, one at a time. quit() ends the event loop; tasks that were not removed
// stay registered and get new timers when the thread is started again.
//
// Removal guarantee: once removeTask() or clearTasks(true) returns, the removed callback is not
// running and never runs again. Called from inside a callback they do not wait (the running
// callback is the caller itself) and the guarantee holds from the moment that callback returns.
// A removed callback is released on the remover's thread; one that used up its run count, or was
// cleared with clearTasks(false) while running, is released on the manager's thread.
// A callback must not block on the thread that removes it (e.g. a blocking queued call into the
// main thread while the main thread calls removeTask()): the two would wait for each other.

#include <QHash>
#include <QThread>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>

class QObject;
class QTimer;

struct OstTimerTaskTrigger_t {
    int32_t intervalMs = 1000;  // period, > 0
    int32_t firstDelayMs = 0;  // extra delay before the first run (first run at firstDelayMs + intervalMs)
    int32_t runCount = -1;  // runs before the task removes itself; -1 = until removed
    int32_t precision = 1;  // 1 = precise timer; 0 = coarse (may drift by ~5% to save wake-ups)
};

// Identifies one task of a manager; only the manager creates it.
class OstTimerTaskHandle {
public:
    quint64 taskId() const { return m_taskId; }

private:
    friend class OstTimerTaskManager;
    explicit OstTimerTaskHandle(quint64 taskId)
        : m_taskId(taskId)
    {
    }
    quint64 m_taskId;
};
using OstTimerTaskHandlePtr = std::shared_ptr<OstTimerTaskHandle>;

class OstTimerTaskManager : public QThread {
    Q_OBJECT
public:
    explicit OstTimerTaskManager(QObject* parent = nullptr);
    ~OstTimerTaskManager() override;

    // Returns null (and logs a warning) for an empty callback, an interval below 1 ms, a negative
    // first delay or a run count that is neither -1 nor positive.
    OstTimerTaskHandlePtr addTask(std::function<void()> func, OstTimerTaskTrigger_t trigger);
    // True when the task existed. A task that used up its run count is already gone.
    bool removeTask(const OstTimerTaskHandlePtr& handle);
    // Removes every task. waitForRunning = true also waits for a callback that is running on the
    // manager's thread to return (skipped when called from that thread); false returns at once,
    // and such a callback may still be finishing.
    void clearTasks(bool waitForRunning);

    bool hasTask(const OstTimerTaskHandlePtr& handle) const;
    int taskCount() const;

protected:
    void run() override;

private:
    struct Task {
        std::function<void()> func;
        OstTimerTaskTrigger_t trigger;
        int32_t runsLeft;
    };
    using TaskPtr = std::shared_ptr<Task>;

    // Called with m_mutex held: creates the task's timer on the manager's thread when it runs.
    void scheduleStartLocked(quint64 taskId);
    void scheduleStopLocked(quint64 taskId);
    // Manager's thread only.
    void armTimer(quint64 taskId);
    void disarmTimer(quint64 taskId);
    void handleTimeout(quint64 taskId);
    void waitUntilNotRunningLocked(std::unique_lock<std::mutex>& lock, quint64 taskId);

    mutable std::mutex m_mutex;
    std::condition_variable m_idle;
    std::unordered_map<quint64, TaskPtr> m_tasks;
    quint64 m_runningTaskId = 0;  // 0 = no callback running
    QObject* m_context = nullptr;  // lives in the manager's thread while run() executes

    QHash<quint64, QTimer*> m_timers;  // manager's thread only
};
