#include "MainLoopGate.h"

#include <chrono>

MainLoopGate& MainLoopGate::instance()
{
    static MainLoopGate gate;
    return gate;
}

void MainLoopGate::setOpen(bool open)
{
    std::unique_lock lock(m_mutex);
    m_open = open;
    if (!open)
        m_changed.wait(lock, [this] { return !m_workerInside; });
    m_changed.notify_all();
}

bool MainLoopGate::isOpen() const
{
    std::lock_guard lock(m_mutex);
    return m_open;
}

void MainLoopGate::beginEvent()
{
    // Marked even while closed: a gate opened during this event must not let a worker in before it ends.
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [this] { return !m_workerInside && (m_waiting == 0 || !m_open); });
    m_mainInside = true;
}

void MainLoopGate::endEvent()
{
    std::lock_guard lock(m_mutex);
    m_mainInside = false;
    if (m_waiting > 0)
        m_changed.notify_all();
}

bool MainLoopGate::enter(int timeoutMs)
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

void MainLoopGate::leave()
{
    std::lock_guard lock(m_mutex);
    m_workerInside = false;
    m_changed.notify_all();
}

uint64_t MainLoopGate::visits() const
{
    std::lock_guard lock(m_mutex);
    return m_visits;
}
