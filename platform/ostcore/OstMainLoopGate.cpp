#include "OstMainLoopGate.h"

#include <chrono>

OstMainLoopGate& OstMainLoopGate::instance()
{
    static OstMainLoopGate gate;
    return gate;
}

void OstMainLoopGate::setOpen(bool open)
{
    std::unique_lock lock(m_mutex);
    m_open = open;
    if (!open)
        m_changed.wait(lock, [this] { return !m_workerInside; });
    m_changed.notify_all();
}

bool OstMainLoopGate::isOpen() const
{
    std::lock_guard lock(m_mutex);
    return m_open;
}

void OstMainLoopGate::beginEvent()
{
    // Marked even while closed: a gate opened during this event must not let a worker in before it ends.
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [this] { return !m_workerInside && (m_waiting == 0 || !m_open); });
    m_mainInside = true;
    m_mainThread = std::this_thread::get_id();
}

void OstMainLoopGate::pass()
{
    if (m_waiting.load(std::memory_order_relaxed) == 0)
        return;
    std::unique_lock lock(m_mutex);
    if (!m_open || !m_mainInside || m_mainThread != std::this_thread::get_id() || m_waiting == 0)
        return;
    m_mainInside = false;
    m_changed.notify_all();
    m_changed.wait(lock, [this] { return !m_workerInside && (m_waiting == 0 || !m_open); });
    m_mainInside = true;
}

void OstMainLoopGate::endEvent()
{
    std::lock_guard lock(m_mutex);
    m_mainInside = false;
    if (m_waiting > 0)
        m_changed.notify_all();
}

bool OstMainLoopGate::enter(int timeoutMs)
{
    std::unique_lock lock(m_mutex);
    ++m_waiting;
    // A closed gate answers at once: nobody is going to open it for this caller.
    m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                       [this] { return !m_open || (!m_mainInside && !m_workerInside); });
    const bool in = m_open && !m_mainInside && !m_workerInside;
    --m_waiting;
    if (in) {
        m_workerInside = true;
        ++m_visits;
    } else {
        m_changed.notify_all();  // the main thread may be waiting for this one to go first
    }
    return in;
}

void OstMainLoopGate::leave()
{
    std::lock_guard lock(m_mutex);
    m_workerInside = false;
    m_changed.notify_all();
}

uint64_t OstMainLoopGate::visits() const
{
    std::lock_guard lock(m_mutex);
    return m_visits;
}
