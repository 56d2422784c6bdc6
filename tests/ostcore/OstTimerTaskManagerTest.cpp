#include "OstTimerTaskManager.h"

#include "LogCapture.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

using testsupport::LogCapture;
using testsupport::waitUntil;

namespace {

OstTimerTaskTrigger_t trigger(int intervalMs, int runCount, int firstDelayMs = 0)
{
    return OstTimerTaskTrigger_t{intervalMs, firstDelayMs, runCount, 1};
}

// Lets the manager's thread run `ticks` callbacks of a fresh task: a removed or finished task
// with a shorter interval would have run again by then.
bool letManagerTick(OstTimerTaskManager& mgr, int ticks)
{
    auto count = std::make_shared<std::atomic<int>>(0);
    auto handle = mgr.addTask([count] { ++*count; }, trigger(2, -1));
    const bool ok = waitUntil([&] { return *count >= ticks; });
    mgr.removeTask(handle);
    return ok;
}

}  // namespace

TEST(OstTimerTaskManagerTest, RunCountsAreExactAndCallbacksRunOnTheManagerThread)
{
    // Run count, first delay (ms), added before start().
    const std::tuple<int, int, bool> cases[] = {{1, 0, true}, {3, 0, false}, {5, 15, true}, {2, 15, false}};
    OstTimerTaskManager mgr;
    std::atomic<int> foreignThreadRuns{0};
    struct Added {
        int runCount;
        std::shared_ptr<std::atomic<int>> runs;
        OstTimerTaskHandlePtr handle;
    };
    std::vector<Added> added;
    for (const bool beforeStart : {true, false}) {
        if (!beforeStart)
            mgr.start();
        for (const auto& [runCount, firstDelayMs, early] : cases) {
            if (early != beforeStart)
                continue;
            auto n = std::make_shared<std::atomic<int>>(0);
            auto task = [n, &foreignThreadRuns, &mgr] {
                ++*n;
                if (QThread::currentThread() != &mgr)
                    ++foreignThreadRuns;
            };
            added.push_back({runCount, n, mgr.addTask(task, trigger(3, runCount, firstDelayMs))});
            ASSERT_TRUE(added.back().handle);
        }
    }
    ASSERT_TRUE(waitUntil([&] { return mgr.taskCount() == 0; }));
    ASSERT_TRUE(letManagerTick(mgr, 10));
    for (const auto& a : added) {
        EXPECT_EQ(*a.runs, a.runCount);
        EXPECT_FALSE(mgr.hasTask(a.handle));
        EXPECT_FALSE(mgr.removeTask(a.handle));
    }
    EXPECT_EQ(foreignThreadRuns.load(), 0);
    mgr.quit();
    EXPECT_TRUE(mgr.wait(5000));
}

TEST(OstTimerTaskManagerTest, InvalidTasksAreRefusedWithAWarning)
{
    const OstTimerTaskTrigger_t bad[] = {
        {0, 0, -1, 1}, {-5, 0, -1, 1}, {10, -1, -1, 1}, {10, 0, 0, 1}, {10, 0, -2, 1},
    };
    OstTimerTaskManager mgr;
    LogCapture::instance().clear();
    for (const auto& t : bad)
        EXPECT_EQ(mgr.addTask([] {}, t), nullptr) << t.intervalMs << " " << t.firstDelayMs << " " << t.runCount;
    EXPECT_EQ(mgr.addTask(nullptr, trigger(10, -1)), nullptr);
    EXPECT_EQ(mgr.taskCount(), 0);
    EXPECT_EQ(LogCapture::instance().countContaining(spdlog::level::warn, "<TimerTask> addTask refused"),
              int(std::size(bad)) + 1);
    EXPECT_FALSE(mgr.removeTask(nullptr));
}

// removeTask and clearTasks(true) from another thread return only after the running callback has
// returned, and the task never runs again.
TEST(OstTimerTaskManagerTest, RemovalFromAnotherThreadWaitsForTheRunningCallback)
{
    for (bool useClear : {false, true}) {
        SCOPED_TRACE(useClear ? "clearTasks(true)" : "removeTask");
        OstTimerTaskManager mgr;
        mgr.start();
        std::atomic<int> runs{0};
        std::atomic<bool> inside{false};
        std::atomic<bool> callbackDone{false};
        std::promise<void> release;
        std::shared_future<void> released = release.get_future().share();
        auto handle = mgr.addTask(
            [&] {
                if (++runs == 1) {
                    inside = true;
                    released.wait_for(std::chrono::seconds(10));
                    callbackDone = true;
                }
            },
            trigger(1, -1));
        ASSERT_TRUE(waitUntil([&] { return inside.load(); }));

        std::atomic<bool> removerReturned{false};
        std::atomic<bool> doneWhenRemoverReturned{false};
        std::thread remover([&] {
            if (useClear)
                mgr.clearTasks(true);
            else
                mgr.removeTask(handle);
            doneWhenRemoverReturned = callbackDone.load();
            removerReturned = true;
        });
        testsupport::pumpEvents(50);
        EXPECT_FALSE(removerReturned.load());
        release.set_value();
        EXPECT_TRUE(waitUntil([&] { return removerReturned.load(); }));
        remover.join();
        EXPECT_TRUE(doneWhenRemoverReturned.load());
        EXPECT_EQ(runs.load(), 1);
        ASSERT_TRUE(letManagerTick(mgr, 10));
        EXPECT_EQ(runs.load(), 1);
        EXPECT_EQ(mgr.taskCount(), 0);
        mgr.quit();
        EXPECT_TRUE(mgr.wait(5000));
    }
}

// Many quick add/remove rounds against a 1 ms task: a callback never outlives removeTask().
TEST(OstTimerTaskManagerTest, RemovedTaskNeverRunsAfterRemoveReturns)
{
    OstTimerTaskManager mgr;
    mgr.start();
    std::atomic<bool> failed{false};
    std::thread worker([&] {
        for (int round = 0; round < 30 && !failed; ++round) {
            auto active = std::make_shared<std::atomic<int>>(0);
            auto runs = std::make_shared<std::atomic<int>>(0);
            auto handle = mgr.addTask(
                [active, runs] {
                    ++*active;
                    ++*runs;
                    // A callback that does some work widens the window a premature return hits.
                    const auto busyUntil = std::chrono::steady_clock::now() + std::chrono::microseconds(300);
                    while (std::chrono::steady_clock::now() < busyUntil) {
                    }
                    --*active;
                },
                trigger(1, -1));
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            // Busy-waiting on an atomic, not sleeping: this thread has no event loop to pump.
            while (*runs < 2 && std::chrono::steady_clock::now() < deadline)
                std::this_thread::yield();
            mgr.removeTask(handle);
            const int runsAtRemoval = *runs;
            if (*active != 0 || runsAtRemoval < 2)
                failed = true;
            if (*runs != runsAtRemoval)
                failed = true;
        }
    });
    worker.join();
    EXPECT_FALSE(failed.load());
    EXPECT_EQ(mgr.taskCount(), 0);
    mgr.quit();
    EXPECT_TRUE(mgr.wait(5000));
}

TEST(OstTimerTaskManagerTest, CallbacksMayRemoveAndClearFromInside)
{
    OstTimerTaskManager mgr;
    std::atomic<int> selfRemovingRuns{0};
    std::atomic<int> clearingRuns{0};
    std::atomic<int> bystanderRuns{0};
    OstTimerTaskHandlePtr selfHandle;
    // Added before start(), so the handle is stored before the first run reads it.
    selfHandle = mgr.addTask(
        [&] {
            if (++selfRemovingRuns == 3) {
                EXPECT_TRUE(mgr.removeTask(selfHandle));
            }
        },
        trigger(2, -1));
    mgr.addTask([&] { ++bystanderRuns; }, trigger(2, -1));
    mgr.start();
    ASSERT_TRUE(waitUntil([&] { return !mgr.hasTask(selfHandle); }));
    ASSERT_TRUE(letManagerTick(mgr, 10));
    EXPECT_EQ(selfRemovingRuns.load(), 3);
    EXPECT_EQ(mgr.taskCount(), 1);

    mgr.addTask(
        [&] {
            ++clearingRuns;
            mgr.clearTasks(true);
        },
        trigger(2, -1));
    ASSERT_TRUE(waitUntil([&] { return mgr.taskCount() == 0; }));
    const int bystanderAtClear = bystanderRuns.load();
    ASSERT_TRUE(letManagerTick(mgr, 10));
    EXPECT_EQ(clearingRuns.load(), 1);
    EXPECT_EQ(bystanderRuns.load(), bystanderAtClear);
    mgr.quit();
    EXPECT_TRUE(mgr.wait(5000));
}

// The shutdown sequence of the application: clear, quit, wait 500 ms. Tasks left registered
// resume when the thread is started again.
TEST(OstTimerTaskManagerTest, QuitStopsTheThreadAndRestartResumesTasks)
{
    OstTimerTaskManager mgr;
    std::atomic<int> runs{0};
    mgr.addTask([&] { ++runs; }, trigger(2, -1));
    mgr.start();
    ASSERT_TRUE(waitUntil([&] { return runs >= 3; }));

    mgr.quit();
    ASSERT_TRUE(mgr.wait(500));
    EXPECT_TRUE(mgr.isFinished());
    const int runsWhenStopped = runs.load();
    EXPECT_EQ(mgr.taskCount(), 1);

    mgr.start();
    ASSERT_TRUE(waitUntil([&] { return runs >= runsWhenStopped + 3; }));

    mgr.clearTasks(true);
    mgr.quit();
    ASSERT_TRUE(mgr.wait(500));
    EXPECT_FALSE(mgr.isRunning());
    EXPECT_EQ(mgr.taskCount(), 0);
}

TEST(OstTimerTaskManagerTest, DestroyingARunningManagerStopsItsThread)
{
    std::atomic<int> runs{0};
    {
        OstTimerTaskManager mgr;
        mgr.addTask([&] { ++runs; }, trigger(1, -1));
        mgr.start();
        ASSERT_TRUE(waitUntil([&] { return runs >= 2; }));
    }
    const int runsAfterDestruction = runs.load();
    testsupport::pumpEvents(30);
    EXPECT_EQ(runs.load(), runsAfterDestruction);
}
