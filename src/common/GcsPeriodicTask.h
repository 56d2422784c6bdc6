#pragma once
// A repeating task on the shared timer task manager, removed when stopped or destroyed.
//
// stop() returns only when the tick is not running and will not run again (the manager's removal
// guarantee), so an owner that stops its task first may then tear down what the tick uses. The
// destructor stops too, but an owner whose tick touches its own members should stop explicitly
// at the top of its destructor: members go away before this one does.
//
// Not thread-safe: start, stop and isRunning belong to the owner's thread, never to the tick.

#include <functional>
#include <memory>

class OstTimerTaskHandle;
class OstTimerTaskManager;

class GcsPeriodicTask {
public:
    GcsPeriodicTask() = default;
    ~GcsPeriodicTask() { stop(); }
    GcsPeriodicTask(const GcsPeriodicTask&) = delete;
    GcsPeriodicTask& operator=(const GcsPeriodicTask&) = delete;

    // Runs tick every intervalMs on the manager's thread, replacing a task already started.
    // False when there is no manager or it refuses the task (it logs why).
    bool start(const std::shared_ptr<OstTimerTaskManager>& manager, int intervalMs, std::function<void()> tick);
    void stop();
    bool isRunning() const { return m_handle != nullptr; }

private:
    std::weak_ptr<OstTimerTaskManager> m_manager;
    std::shared_ptr<OstTimerTaskHandle> m_handle;
};
