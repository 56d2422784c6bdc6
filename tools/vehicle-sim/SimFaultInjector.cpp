#include "SimFaultInjector.h"

#include "MavProtoDefs.h"

#include <spdlog/spdlog.h>

namespace {

// Uniform in [0, 1) from the top 53 bits; the standard distributions differ between libraries.
double unitInterval(quint64 r)
{
    return double(r >> 11) * (1.0 / 9007199254740992.0);
}

bool makesHead(const QByteArray& frame, qsizetype at, char value, qsizetype end)
{
    const auto head0 = char(MAVPROTO_HEAD0);
    const auto head1 = char(MAVPROTO_HEAD1);
    if (value == head0 && at + 1 < end && frame[at + 1] == head1)
        return true;
    return value == head1 && frame[at - 1] == head0;
}

}  // namespace

SimFaultInjector::SimFaultInjector(double loss, double corrupt, int latencyMs, quint64 seed, QObject* parent)
    : QObject(parent)
    , m_loss(loss)
    , m_corrupt(corrupt)
    , m_latencyMs(latencyMs)
    , m_rngIn(seed)
    , m_rngOut(seed ^ 0x9E3779B97F4A7C15ULL)
    , m_rngJitter(seed ^ 0x2545F4914F6CDD1DULL)
{
    m_clock.start();
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &SimFaultInjector::handleLatencyTimeout);
}

SimFaultInjector::Fate SimFaultInjector::drawFate(Direction direction)
{
    auto& rng = direction == Direction::Incoming ? m_rngIn : m_rngOut;
    Fate fate;
    fate.drop = unitInterval(rng()) < m_loss;
    fate.corrupt = unitInterval(rng()) < m_corrupt;
    fate.bitChoice = rng();
    return fate;
}

int SimFaultInjector::flipBit(QByteArray& frame, quint64 random)
{
    if (frame.size() < qsizetype(MAVPROTO_FRAME_OVERHEAD))
        return -1;
    const qsizetype dataLen = qsizetype(quint8(frame[6])) | (qsizetype(quint8(frame[7])) << 8);
    const qsizetype end = dataLen + MAVPROTO_FRAME_OVERHEAD;
    if (frame.size() < end)
        return -1;
    const qsizetype first = MAVPROTO_HEADER_SIZE;
    const quint64 bits = quint64(end - first) * 8;
    for (quint64 i = 0; i < bits; ++i) {
        const quint64 candidate = (random + i) % bits;
        const qsizetype at = first + qsizetype(candidate / 8);
        const char value = char(quint8(frame[at]) ^ quint8(1u << (candidate % 8)));
        if (makesHead(frame, at, value, end))
            continue;
        frame[at] = value;
        return int(at);
    }
    return -1;  // unreachable: at most two of a byte's eight flips can make a head
}

bool SimFaultInjector::applyOutgoingFate(QByteArray& frame)
{
    const Fate fate = drawFate(Direction::Outgoing);
    ++m_out.frames;
    if (fate.drop) {
        ++m_out.dropped;
        spdlog::debug("<VehicleSim> fault: dropped outgoing frame cmd=0x{:02x} seq={}",
                      frame.size() > 5 ? quint8(frame[5]) : 0, frame.size() > 4 ? quint8(frame[4]) : 0);
        return false;
    }
    if (fate.corrupt) {
        const int at = flipBit(frame, fate.bitChoice);
        if (at >= 0) {
            ++m_out.corrupted;
            spdlog::debug("<VehicleSim> fault: corrupted outgoing frame at byte {}", at);
        }
    }
    return true;
}

void SimFaultInjector::sendFrame(QByteArray frame)
{
    if (applyOutgoingFate(frame))
        release(std::move(frame));
}

void SimFaultInjector::sendFrames(const QList<QByteArray>& frames)
{
    QByteArray chunk;
    for (QByteArray frame : frames) {
        if (applyOutgoingFate(frame))
            chunk += frame;
    }
    if (!chunk.isEmpty())
        release(std::move(chunk));
}

void SimFaultInjector::release(QByteArray chunk)
{
    if (m_latencyMs <= 0 && m_jitterMs <= 0) {
        emit frameReady(chunk);
        return;
    }
    qint64 due = m_clock.elapsed() + m_latencyMs;
    if (m_jitterMs > 0)
        due += qint64(m_rngJitter() % quint64(m_jitterMs + 1));
    m_lastDueMs = std::max(m_lastDueMs, due);
    m_pending.push_back({m_lastDueMs, std::move(chunk)});
    if (!m_timer.isActive())
        armTimer();
}

bool SimFaultInjector::receiveFrame(QByteArray& frame)
{
    const Fate fate = drawFate(Direction::Incoming);
    ++m_in.frames;
    if (fate.drop) {
        ++m_in.dropped;
        spdlog::debug("<VehicleSim> fault: dropped incoming frame");
        return false;
    }
    if (fate.corrupt && flipBit(frame, fate.bitChoice) >= 0) {
        ++m_in.corrupted;
        spdlog::debug("<VehicleSim> fault: corrupted incoming frame");
    }
    return true;
}

SimFaultInjector::Counters SimFaultInjector::counters(Direction direction) const
{
    return direction == Direction::Incoming ? m_in : m_out;
}

int SimFaultInjector::discardPending()
{
    const int n = pendingCount();
    m_pending.clear();
    m_timer.stop();
    return n;
}

void SimFaultInjector::armTimer()
{
    if (m_pending.empty())
        return;
    const qint64 wait = m_pending.front().dueMs - m_clock.elapsed();
    m_timer.start(int(std::max<qint64>(0, wait)));
}

void SimFaultInjector::handleLatencyTimeout()
{
    const qint64 now = m_clock.elapsed();
    while (!m_pending.empty() && m_pending.front().dueMs <= now) {
        const QByteArray frame = std::move(m_pending.front().frame);
        m_pending.pop_front();
        emit frameReady(frame);
    }
    armTimer();
}
