#include "MavCmdRequestMessage.h"

std::shared_ptr<MavCmdRequestMessage> MavCmdRequestMessage::create(MavPFramePtr pframe, MavCmdAckCheckType ackCheckType,
                                                                   uint8_t expectedDataLen, uint8_t expectedResult,
                                                                   uint32_t timeoutMs, uint8_t maxResendCount)
{
    auto req = std::make_shared<MavCmdRequestMessage>();
    if (pframe) {
        req->vehicleId = pframe->rx_id;
        req->seq = pframe->seq;
        req->cmd = pframe->cmd;
    }
    req->pframe = std::move(pframe);
    req->ackCheckType = ackCheckType;
    req->expectedDataLen = expectedDataLen;
    req->expectedResult = expectedResult;
    req->timeoutMs = timeoutMs;
    req->maxResendCount = maxResendCount;
    return req;
}
