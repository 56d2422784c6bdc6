#pragma once
// Runs callables on the main thread: each one is posted to the application object as an
// OstMainThreadExecEvent, and the application's event() executes it. Callables posted from one
// thread run in the order they were posted. An application whose event() does not handle the
// event type never runs them.
//
// getInstance() and destroyInstance() are safe from any thread; destroy the instance only after
// the threads that used it have stopped (callables already posted still run).

#include <functional>

class OstDispatcher {
public:
    static OstDispatcher* getInstance();
    static void destroyInstance();

    // Always posts, even from the main thread, so the caller never re-enters itself. False
    // (logged) for an empty callable or when no application object exists.
    bool runOnMainThread(std::function<void()> func);

private:
    OstDispatcher() = default;
    ~OstDispatcher() = default;
};
