#pragma once
// One acknowledged command request: the frame to send, how its acknowledgement is judged, its
// time-out and resend budget, and optional child requests sent one after another in its place.

#include "MavProtoDefs.h"

#include <QList>

#include <cstdint>
#include <memory>

enum MavCmdAckCheckType : uint32_t {
    NoCheck = 0,  // every matching acknowledgement is accepted
    CheckDataLen = 1,  // accepted when its data length equals the top-level expectedDataLen
    CheckResult = 2,  // accepted when its first data byte equals the current expectedResult
};

class MavCmdRequestMessage {
public:
    static std::shared_ptr<MavCmdRequestMessage> create(MavPFramePtr pframe, MavCmdAckCheckType ackCheckType,
                                                        uint8_t expectedDataLen = 0, uint8_t expectedResult = 0,
                                                        uint32_t timeoutMs = 1000, uint8_t maxResendCount = 0);

    void appendChildReq(const std::shared_ptr<MavCmdRequestMessage>& req) { childReqs.append(req); }

    uint8_t vehicleId = 0;
    uint8_t seq = 0;
    uint8_t cmd = 0;
    uint32_t timeoutMs = 1000;  // per transmission; 0 never times out
    uint8_t maxResendCount = 0;
    MavPFramePtr pframe;
    uint8_t expectedDataLen = 0;
    uint8_t expectedResult = 0;
    MavCmdAckCheckType ackCheckType = NoCheck;
    QList<std::shared_ptr<MavCmdRequestMessage>> childReqs;
};

using MavCmdRequestMessagePtr = std::shared_ptr<MavCmdRequestMessage>;
