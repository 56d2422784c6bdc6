#pragma once
// Loss, corruption and latency on the simulator's link, in both directions, from a seeded
// random generator so a run can be repeated.
//
// Each frame draws the same three numbers (loss, corruption, bit position) whatever the
// probabilities, from a generator of its own direction: the fate of the n-th frame sent depends
// only on the seed and n, not on how received traffic interleaves with it.
//
// Corruption flips one bit in the data or check bytes, never in the head or the length: a
// corrupted length makes a receiver's frame cutter wait for up to 65535 bytes and go deaf. A
// flip that would create a new EB 90 pair is moved to the next candidate bit, for the same
// reason: the cutter resumes its head search inside a rejected frame.
//
// Latency delays every outgoing frame by the same time, so a FIFO keeps the order. Jitter adds
// 0..jitterMs more per chunk (drawn from a generator of its own, so the fates above stay what the
// seed makes them), never less than the chunk before waits: the order is kept, as on one link.
//
// Frames handed over together (one vehicle's telemetry answer) each draw their own fate, so the
// counters stay per frame and a loss of p drops a whole six-frame answer only with p^6; the
// survivors leave together as one chunk (one datagram or one write), delayed together.

#include <QByteArray>
#include <QList>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <deque>
#include <random>

class SimFaultInjector : public QObject {
    Q_OBJECT
public:
    enum class Direction { Incoming, Outgoing };

    struct Counters {
        quint64 frames = 0;
        quint64 dropped = 0;
        quint64 corrupted = 0;
    };

    SimFaultInjector(double loss, double corrupt, int latencyMs, quint64 seed, QObject* parent = nullptr);

    // Outgoing frame: dropped, or passed on (maybe corrupted, maybe delayed) through frameReady.
    void sendFrame(QByteArray frame);
    // Outgoing frames that travel together: the survivors, concatenated in order, reach
    // frameReady as one chunk; nothing is emitted when all are dropped.
    void sendFrames(const QList<QByteArray>& frames);
    // Incoming frame: false when it is lost; may flip a bit of `frame` in place.
    bool receiveFrame(QByteArray& frame);

    Counters counters(Direction direction) const;
    void setJitterMs(int jitterMs) { m_jitterMs = jitterMs; }

    // Outgoing frames still waiting for their latency to pass.
    int pendingCount() const { return int(m_pending.size()); }
    // Forgets the delayed frames (at stop); returns how many there were.
    int discardPending();

    // Flips the bit chosen by `random` among the data and check bits of a whole wire frame,
    // never creating a new EB 90 pair; returns the byte offset, or -1 when `frame` is shorter
    // than its length field says.
    static int flipBit(QByteArray& frame, quint64 random);

signals:
    // One frame, or the surviving frames of a sendFrames call, to be written as one chunk.
    void frameReady(const QByteArray& frame);

private slots:
    void handleLatencyTimeout();

private:
    struct Fate {
        bool drop = false;
        bool corrupt = false;
        quint64 bitChoice = 0;
    };
    Fate drawFate(Direction direction);
    // Loss and corruption of one outgoing frame; false when it is dropped.
    bool applyOutgoingFate(QByteArray& frame);
    void release(QByteArray chunk);
    void armTimer();

    double m_loss;
    double m_corrupt;
    int m_latencyMs;
    int m_jitterMs = 0;
    qint64 m_lastDueMs = 0;
    std::mt19937_64 m_rngIn;
    std::mt19937_64 m_rngOut;
    std::mt19937_64 m_rngJitter;
    Counters m_in;
    Counters m_out;

    struct Pending {
        qint64 dueMs;
        QByteArray frame;
    };
    std::deque<Pending> m_pending;
    QElapsedTimer m_clock;
    QTimer m_timer;
};
