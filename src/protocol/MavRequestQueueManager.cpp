#include "MavRequestQueueManager.h"

#include "MavCmdTimeoutEvent.h"
#include "MavFrameHex.h"

#include <QCoreApplication>
#include <QDateTime>

#include <spdlog/spdlog.h>

#include <algorithm>
#include <chrono>

namespace {
constexpr int kTimeoutEventPriority = 101;
}

MavRequestQueueManager::MavRequestQueueManager(std::weak_ptr<MavRequestQueueOwner> vehicle, QObject* parent,
                                               Clock clock, int checkPeriodMs)
    : QObject(parent)
    , m_vehicle(std::move(vehicle))
    , m_vehicleRaw(m_vehicle.lock().get())
    , m_clock(clock ? std::move(clock) : Clock([] { return QDateTime::currentMSecsSinceEpoch(); }))
    , m_checkPeriodMs(checkPeriodMs)
{
}

MavRequestQueueManager::~MavRequestQueueManager()
{
    stopTimeoutCheck();
    std::lock_guard lock(m_mutex);
    for (auto* item : m_queue)
        delete item;
    m_queue.clear();
    spdlog::debug("MavRequestQueueManager destroyed -------------");
}

void MavRequestQueueManager::startTimeoutCheck()
{
    if (m_running.exchange(true))
        return;
    m_worker = std::thread([this] { workerLoop(); });
}

void MavRequestQueueManager::stopTimeoutCheck()
{
    {
        std::lock_guard lock(m_wakeMutex);
        m_running = false;
    }
    m_wake.notify_all();
    if (m_worker.joinable()) {
        if (m_worker.get_id() == std::this_thread::get_id())
            m_worker.detach();  // cannot happen: the worker owns no vehicle; never join ourselves
        else
            m_worker.join();
    }
}

void MavRequestQueueManager::workerLoop()
{
    while (m_running.load()) {
        runTimeoutCheck();
        std::unique_lock lock(m_wakeMutex);
        m_wake.wait_for(lock, std::chrono::milliseconds(m_checkPeriodMs), [this] { return !m_running.load(); });
    }
}

bool MavRequestQueueManager::appendCmdReq(std::shared_ptr<MavCmdRequestMessage> req, QObject* timeoutReceiver)
{
    if (!m_running.load() || !req)
        return false;
    std::lock_guard lock(m_mutex);
    for (const auto* item : m_queue) {
        if (item->req == req)
            return false;
    }
    auto* item = new MavCmdQueueItem;
    item->req = std::move(req);
    item->timeoutReceiver = timeoutReceiver;
    item->lastSendTimeMs = now();
    // Frame bytes are for tracing a link, not for the everyday log.
    if (spdlog::should_log(spdlog::level::trace)) {
        spdlog::trace("cmd req(seq = {}) append to queue, cmd: {}, frame : {}", item->req->seq, item->req->cmd,
                      MavFrameHex::frame(item->req->pframe));
    }
    m_queue.push_back(item);
    return true;
}

int MavRequestQueueManager::pendingCount() const
{
    std::lock_guard lock(m_mutex);
    return int(m_queue.size());
}

bool MavRequestQueueManager::cancelReq(const MavCmdRequestMessagePtr& req)
{
    if (!req) {
        spdlog::warn("<RequestQueue> cancel of a null request ignored");
        return false;
    }
    const auto& shown = req->childReqs.isEmpty() ? req : req->childReqs.first();
    return cancelIf([&](const MavCmdQueueItem* item) { return item->req == req; }, shown->cmd, shown->seq);
}

bool MavRequestQueueManager::cancelReq(uint8_t cmd, uint8_t seq)
{
    return cancelIf(
        [&](const MavCmdQueueItem* item) {
            // A chain parent has no frame of its own, so no (cmd, seq) of its own either.
            const bool own = item->req->pframe && item->req->cmd == cmd && item->req->seq == seq;
            const auto& current = currentReq(item);
            return own || (current->cmd == cmd && current->seq == seq);
        },
        cmd, seq);
}

bool MavRequestQueueManager::cancelIf(const std::function<bool(const MavCmdQueueItem*)>& match, uint8_t cmd,
                                      uint8_t seq)
{
    MavCmdQueueItem* removed = nullptr;
    {
        std::lock_guard lock(m_mutex);
        const auto it = std::find_if(m_queue.begin(), m_queue.end(), match);
        if (it != m_queue.end()) {
            removed = *it;
            m_queue.erase(it);
        }
    }
    if (!removed) {
        spdlog::info("<RequestQueue> cancel(cmd: {}, seq: {}) found no queued request", cmd, seq);
        return false;
    }
    spdlog::info("<RequestQueue> cancelled queued request, cmd: {}, seq: {}", cmd, seq);
    delete removed;
    return true;
}

const MavCmdRequestMessagePtr& MavRequestQueueManager::currentReq(const MavCmdQueueItem* item)
{
    return item->req->childReqs.isEmpty() ? item->req : item->req->childReqs.first();
}

bool MavRequestQueueManager::ackAccepted(const MavCmdQueueItem* item, const _MavPFrame_t& ack) const
{
    const auto& current = currentReq(item);
    switch (current->ackCheckType) {
    case NoCheck: return true;
    case CheckDataLen: return ack.data.size() == item->req->expectedDataLen;
    case CheckResult: return !ack.data.empty() && ack.data[0] == current->expectedResult;
    }
    return false;
}

void MavRequestQueueManager::handleMavPFrame(MavPFramePtr pframe, OstAbstractLink* link)
{
    if (!pframe)
        return;
    auto vehicle = m_vehicle.lock();
    if (!vehicle || pframe->tx_id != uint8_t(vehicle->vehicleId()))
        return;
    if (m_nonAckCmds.contains(pframe->cmd))
        return;
    if (spdlog::should_log(spdlog::level::debug))
        spdlog::trace("recv ack protocol(seq = {}) frame: {}", pframe->seq, MavFrameHex::frame(pframe));

    MavCmdRequestMessagePtr outcome;
    bool deliver = false;
    {
        std::lock_guard lock(m_mutex);
        auto it = std::find_if(m_queue.begin(), m_queue.end(), [&](const MavCmdQueueItem* item) {
            const auto& current = currentReq(item);
            return current->cmd == pframe->cmd && current->seq == pframe->seq;
        });
        if (it == m_queue.end()) {
            // The firmware final ack answers no request of its own; its owner still wants it.
            deliver = pframe->cmd == MavCmd::FirmwareFinalAck;
        } else {
            MavCmdQueueItem* item = *it;
            m_queue.erase(it);
            if (!item->ackCounted) {
                vehicle->markAckReceivedForStats();
                item->ackCounted = true;
            }
            const bool accepted = ackAccepted(item, *pframe);
            const auto& current = currentReq(item);
            if (!accepted && current->maxResendCount != 0 && item->resendCount < current->maxResendCount) {
                ++item->resendCount;
                item->lastSendTimeMs = now();
                m_queue.push_back(item);
                spdlog::debug("resend {} of seq {}, cmd 0x{:02X}", item->resendCount, current->seq, current->cmd);
                if (spdlog::should_log(spdlog::level::trace))
                    spdlog::trace("resent frame: {}", MavFrameHex::frame(current->pframe));
                vehicle->sendMavPFrame(current->pframe);
                return;
            }
            deliver = true;
            if (item->req->childReqs.isEmpty()) {
                outcome = item->req;
                delete item;
            } else {
                item->req->childReqs.removeFirst();
                if (!accepted || item->req->childReqs.isEmpty()) {
                    outcome = item->req;
                    delete item;
                } else {
                    item->resendCount = 0;
                    item->lastSendTimeMs = now();
                    m_queue.push_back(item);
                    if (vehicle->sendMavPFrame(item->req->childReqs.first()->pframe)) {
                        vehicle->markAckExpectedForStats();
                        item->ackCounted = false;
                    }
                    deliver = false;
                }
            }
        }
    }
    if (deliver)
        emit mavPFrameReceived(pframe, link, outcome);
}

void MavRequestQueueManager::runTimeoutCheck()
{
    MavRequestQueueOwner* vehicle = m_vehicle.expired() ? nullptr : m_vehicleRaw;
    std::lock_guard lock(m_mutex);
    std::vector<MavCmdQueueItem*> kept;
    kept.reserve(m_queue.size());
    for (auto* item : m_queue) {
        if (!checkCmdTimeout(item, vehicle))
            kept.push_back(item);
    }
    m_queue.swap(kept);
}

void MavRequestQueueManager::abortAll()
{
    std::vector<MavCmdQueueItem*> items;
    {
        std::lock_guard lock(m_mutex);
        items.swap(m_queue);
    }
    if (!items.empty())
        spdlog::info("<RequestQueue> {} queued request(s) end without an answer: the vehicle left", items.size());
    for (auto* item : items) {
        if (item->timeoutReceiver && item->req)
            QCoreApplication::postEvent(item->timeoutReceiver.data(), new MavCmdTimeoutEvent(item->req),
                                        kTimeoutEventPriority);
        delete item;
    }
}

bool MavRequestQueueManager::checkCmdTimeout(MavCmdQueueItem* item, MavRequestQueueOwner* vehicle)
{
    const auto& req = item->req;
    if (!req || req->timeoutMs == 0)
        return false;
    if (now() - item->lastSendTimeMs < int64_t(req->timeoutMs))
        return false;
    const auto& current = currentReq(item);
    if (req->maxResendCount != 0 && item->resendCount < req->maxResendCount) {
        item->lastSendTimeMs = now();
        ++item->resendCount;
        if (vehicle)
            vehicle->sendMavPFrame(current->pframe);
        return false;
    }
    spdlog::warn("no answer to cmd 0x{:02X} (seq {}) after its resends", current->cmd, current->seq);
    if (spdlog::should_log(spdlog::level::trace))
        spdlog::trace("unanswered frame: {}", MavFrameHex::frame(current->pframe));
    if (!item->ackCounted && vehicle)
        vehicle->markAckLostForStats();
    if (item->timeoutReceiver)
        QCoreApplication::postEvent(item->timeoutReceiver.data(), new MavCmdTimeoutEvent(req), kTimeoutEventPriority);
    delete item;
    return true;
}
