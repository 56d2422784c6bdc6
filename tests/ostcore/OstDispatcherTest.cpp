#include "OstDispatcher.h"

#include "LogCapture.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QThread>

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

using testsupport::LogCapture;
using testsupport::waitUntil;

TEST(OstDispatcherTest, CallablesFromAnotherThreadRunOnTheMainThreadInOrder)
{
    OstDispatcher* dispatcher = OstDispatcher::getInstance();

    QThread* const mainThread = QCoreApplication::instance()->thread();
    std::vector<int> order;  // touched on the main thread only
    int offMainThread = 0;
    std::thread poster([&] {
        for (int i = 0; i < 100; ++i) {
            EXPECT_TRUE(dispatcher->runOnMainThread([&, i] {
                if (QThread::currentThread() != mainThread)
                    ++offMainThread;
                order.push_back(i);
            }));
        }
    });
    poster.join();
    ASSERT_TRUE(waitUntil([&] { return order.size() == 100; }));
    EXPECT_EQ(offMainThread, 0);
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));

    // Posted from the main thread too: it runs later, not inside the call.
    bool ran = false;
    ASSERT_TRUE(dispatcher->runOnMainThread([&] { ran = true; }));
    EXPECT_FALSE(ran);
    EXPECT_TRUE(waitUntil([&] { return ran; }));

    LogCapture::instance().clear();
    EXPECT_FALSE(dispatcher->runOnMainThread(nullptr));
    EXPECT_EQ(LogCapture::instance().count(spdlog::level::warn, "<Dispatcher> refused an empty callable"), 1);

    OstDispatcher::destroyInstance();
    OstDispatcher::destroyInstance();
    EXPECT_NE(OstDispatcher::getInstance(), nullptr);
    OstDispatcher::destroyInstance();
}
