#pragma once
// The per-vehicle queue of acknowledged command requests.
//
// Acknowledgements are matched by command byte and sequence number, judged by the request's
// check type, resent within the request's budget, and chains of child requests are sent frame by
// frame; the owner sees one outcome per top-level request (signal) or one time-out (a posted
// MavCmdTimeoutEvent, priority 101). A worker thread checks time-outs every check period; its
// pause is a condition-variable wait, so stopTimeoutCheck() returns at once.
//
// The clock and check period are constructor parameters so tests can run the resend cycle on a
// fake clock and drive checks with runTimeoutCheck().
//
// The worker never owns its vehicle: it uses it through a plain pointer while the weak reference
// says it exists, and the vehicle stops (joins) the worker before its members go away. So the
// vehicle is never destroyed on the worker, with or without an application object.
//
// The vehicle is seen only through MavRequestQueueOwner.
//
// cancelReq removes a queued request (the owner gave up on it, or its first send failed): it is
// not resent, an acknowledgement arriving for it afterwards matches nothing (not counted, no
// signal) and no time-out event is posted. It counts as neither answered nor lost. It takes the
// queue mutex, so it may be called from any thread while the worker runs.

#include "MavCmdRequestMessage.h"
#include "MavRequestQueueOwner.h"

#include <QObject>
#include <QPointer>
#include <QSet>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class OstAbstractLink;

struct MavCmdQueueItem {
    MavCmdRequestMessagePtr req;
    QPointer<QObject> timeoutReceiver;
    int64_t lastSendTimeMs = 0;
    uint8_t resendCount = 0;
    bool ackCounted = false;
};

class MavRequestQueueManager : public QObject {
    Q_OBJECT
public:
    using Clock = std::function<int64_t()>;

    MavRequestQueueManager(std::weak_ptr<MavRequestQueueOwner> vehicle, QObject* parent = nullptr, Clock clock = {},
                           int checkPeriodMs = 500);
    ~MavRequestQueueManager() override;

    void startTimeoutCheck();
    void stopTimeoutCheck();
    bool isRunning() const { return m_running.load(); }

    bool appendCmdReq(std::shared_ptr<MavCmdRequestMessage> req, QObject* timeoutReceiver);
    int pendingCount() const;
    // Removes the queued request that is `req`; false when it is not queued (never was, already
    // answered or timed out).
    bool cancelReq(const MavCmdRequestMessagePtr& req);
    // Removes the queued request whose own (cmd, seq), or its current chain child's, is the one
    // given; false when none matches.
    bool cancelReq(uint8_t cmd, uint8_t seq);

    // One pass of the worker's check; also what tests call after moving a fake clock.
    void runTimeoutCheck();
    // Ends every queued request with a time-out event (the link is gone); main thread, worker stopped.
    void abortAll();

public slots:
    void handleMavPFrame(MavPFramePtr pframe, OstAbstractLink* link);

signals:
    void mavPFrameReceived(MavPFramePtr pframe, OstAbstractLink* link, std::shared_ptr<MavCmdRequestMessage> req);

private:
    void workerLoop();
    bool checkCmdTimeout(MavCmdQueueItem* item, MavRequestQueueOwner* vehicle);
    static const MavCmdRequestMessagePtr& currentReq(const MavCmdQueueItem* item);
    bool cancelIf(const std::function<bool(const MavCmdQueueItem*)>& match, uint8_t cmd, uint8_t seq);
    bool ackAccepted(const MavCmdQueueItem* item, const _MavPFrame_t& ack) const;
    int64_t now() const { return m_clock(); }

    std::vector<MavCmdQueueItem*> m_queue;
    mutable std::mutex m_mutex;
    std::atomic<bool> m_running{false};
    std::thread m_worker;
    const QSet<uint8_t> m_nonAckCmds{0x00, 0x21, 0x22, 0x23, 0x24, 0x25, 0x2F};
    std::weak_ptr<MavRequestQueueOwner> m_vehicle;
    MavRequestQueueOwner* m_vehicleRaw = nullptr;
    Clock m_clock;
    int m_checkPeriodMs;
    std::mutex m_wakeMutex;
    std::condition_variable m_wake;
};
