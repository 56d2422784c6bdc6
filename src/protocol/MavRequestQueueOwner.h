#pragma once
// What the request queue needs from the vehicle it serves: its id to pick acknowledgements,
// a way to send a frame, and the acknowledgement counters. The queue knows nothing else of the
// vehicle, so it can be driven by a stand-in.

#include "MavProtoDefs.h"

#include <memory>

class MavRequestQueueOwner {
public:
    virtual ~MavRequestQueueOwner() = default;

    virtual int vehicleId() const = 0;
    virtual bool sendMavPFrame(const std::shared_ptr<_MavPFrame_t>& frame) = 0;
    virtual void markAckExpectedForStats() = 0;
    virtual void markAckReceivedForStats() = 0;
    virtual void markAckLostForStats() = 0;
};
