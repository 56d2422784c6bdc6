#pragma once
// Lets another thread run a short piece of main-thread work between two of the main loop's events,
// instead of waiting behind everything the loop has to deliver. On a busy station the loop's turn
// is long (datagram turns, the page, bridge and publisher ticks), while a read of the models takes
// a millisecond: an operator's read should wait for the event in progress, not for the whole turn.
//
// The main thread marks each outermost event it delivers (GcsApplication::notify). While the gate
// is open, a thread that enter()s waits until the event in progress ends; the main thread starts
// its next event only after that thread leave()s, so the two never run at once and the worker sees
// the models exactly as between two events. A waiting worker goes before the next event.
//
// Choices:
// - Closed until the owner opens it from inside the running loop: setup code before exec() and
//   teardown after it run outside any event, and no worker may run beside them. Closing waits for
//   a worker inside to leave.
// - enter() waits at most its timeout and then says no: an event that holds the loop that long (a
//   nested loop, a modal wait, a stall) is not waited out; the caller queues its work instead.
// - Long events call pass() where the models are whole, so a worker waits for a piece of an
//   event, not for the whole of a tick over 253 vehicles.
// - What a worker may do inside: read, and build its answer. Nothing that needs the main thread
//   (a blocking queued call, starting a timer of a main-thread object) and nothing that outlives
//   the visit: every copy of a model object it took is dropped before leave().

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

class OstMainLoopGate {
public:
    static OstMainLoopGate& instance();

    // ---- main thread ----
    void setOpen(bool open);
    bool isOpen() const;
    // Around each outermost event: begin waits for a worker inside, and lets waiting ones in first.
    void beginEvent();
    void endEvent();
    // A safe point inside a long event (a tick over every vehicle, a turn of datagrams), where
    // the models are whole: a worker waiting is let in now instead of at the event's end. Costs
    // one atomic read when nobody waits; does nothing outside an event marked by beginEvent.
    void pass();

    // ---- any other thread ----
    bool enter(int timeoutMs);
    void leave();

    // Workers let in since start (tests and metrics).
    uint64_t visits() const;

    class Visit {
    public:
        Visit(OstMainLoopGate& gate, int timeoutMs)
            : m_gate(gate)
            , m_in(gate.enter(timeoutMs))
        {
        }
        ~Visit()
        {
            if (m_in)
                m_gate.leave();
        }
        explicit operator bool() const { return m_in; }
        Visit(const Visit&) = delete;
        Visit& operator=(const Visit&) = delete;

    private:
        OstMainLoopGate& m_gate;
        bool m_in;
    };

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_open = false;
    bool m_mainInside = false;
    bool m_workerInside = false;
    std::atomic<int> m_waiting{0};  // changed under m_mutex; read without it by pass()
    std::thread::id m_mainThread;
    uint64_t m_visits = 0;
};
