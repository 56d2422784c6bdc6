#include "MavProtoMissionProcesser.h"

#include "MavProtoHelper.h"

#include <cstring>
#include <type_traits>

namespace {

uint16_t packFrom(_MavPFrame_t& frame, uint8_t txId, uint8_t rxId, uint8_t seq, uint8_t cmd,
                  const std::vector<uint8_t>& data)
{
    MavProtoHelper::packMavProtoFrame(frame, txId, rxId, seq, cmd, data);
    return uint16_t(data.size() + MAVPROTO_FRAME_OVERHEAD);
}

// The record that follows `skip` leading bytes; false (out untouched) when the data stops short.
template <typename T>
bool readAt(const _MavPFrame_t& frame, size_t skip, T& out)
{
    static_assert(std::is_trivially_copyable_v<T>);
    if (frame.data.size() < skip + sizeof(T))
        return false;
    std::memcpy(&out, frame.data.data() + skip, sizeof(T));
    return true;
}

template <typename T>
int parseAck(const _MavPFrame_t& frame, T& out)
{
    if (frame.data.empty())
        return MAVPROTO_MISSION_ACK_TOO_SHORT;
    const uint8_t result = frame.data[0];
    if (result != 0)
        return result;
    return readAt(frame, 1, out) ? 0 : MAVPROTO_MISSION_ACK_TOO_SHORT;
}

template <typename T>
uint16_t packAck(_MavPFrame_t& frame, uint8_t vehicleId, uint8_t seq, uint8_t cmd, uint8_t result, const T& record)
{
    std::vector<uint8_t> data{result};
    if (result == 0) {
        const std::vector<uint8_t> bytes = MavProtoHelper::recordBytes(record);
        data.insert(data.end(), bytes.begin(), bytes.end());
    }
    return packFrom(frame, vehicleId, MAVPROTO_GCS_ID, seq, cmd, data);
}

}  // namespace

uint16_t MavProtoMissionProcesser::packWayPointBasicParamsFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq,
                                                                const MavProtoUpWayPointBasicParam_t& p)
{
    return packFrom(frame, MAVPROTO_GCS_ID, rxId, seq, MavCmd::RouteUploadBasic, MavProtoHelper::recordBytes(p));
}

uint16_t MavProtoMissionProcesser::packWayPointDataFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq,
                                                         const MavProtoWayPointData_t& wp)
{
    return packFrom(frame, MAVPROTO_GCS_ID, rxId, seq, MavCmd::RouteUploadWaypoints, MavProtoHelper::recordBytes(wp));
}

uint16_t MavProtoMissionProcesser::packDownWayPointBasicParamsFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq,
                                                                    uint8_t routeNumber)
{
    return packFrom(frame, MAVPROTO_GCS_ID, rxId, seq, MavCmd::RouteDownloadBasic, {routeNumber});
}

uint16_t MavProtoMissionProcesser::packDownWayPointDataReqFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq,
                                                                const MavProtoDownWayPointDataReq_t& req)
{
    return packFrom(frame, MAVPROTO_GCS_ID, rxId, seq, MavCmd::RouteDownloadWaypoints,
                    MavProtoHelper::recordBytes(req));
}

int MavProtoMissionProcesser::parseDownWayPointBasicParamsAck(const _MavPFrame_t& frame,
                                                              MavProtoDownWayPointBasicParam_t& out)
{
    return parseAck(frame, out);
}

int MavProtoMissionProcesser::parseDownWayPointDataAck(const _MavPFrame_t& frame, MavProtoWayPointData_t& out)
{
    return parseAck(frame, out);
}

bool MavProtoMissionProcesser::parseUpWayPointBasicParamsReq(const _MavPFrame_t& frame,
                                                             MavProtoUpWayPointBasicParam_t& p)
{
    return readAt(frame, 0, p);
}

bool MavProtoMissionProcesser::parseUpWayPointDataReq(const _MavPFrame_t& frame, MavProtoWayPointData_t& wp)
{
    return readAt(frame, 0, wp);
}

bool MavProtoMissionProcesser::parseDownWayPointBasicParamsReq(const _MavPFrame_t& frame, uint8_t& routeNumber)
{
    return readAt(frame, 0, routeNumber);
}

bool MavProtoMissionProcesser::parseDownWayPointDataReq(const _MavPFrame_t& frame, MavProtoDownWayPointDataReq_t& req)
{
    return readAt(frame, 0, req);
}

uint16_t MavProtoMissionProcesser::packDownWayPointBasicParamsAck(_MavPFrame_t& frame, uint8_t vehicleId, uint8_t seq,
                                                                  uint8_t result,
                                                                  const MavProtoDownWayPointBasicParam_t& p)
{
    return packAck(frame, vehicleId, seq, MavCmd::RouteDownloadBasic, result, p);
}

uint16_t MavProtoMissionProcesser::packDownWayPointDataAck(_MavPFrame_t& frame, uint8_t vehicleId, uint8_t seq,
                                                           uint8_t result, const MavProtoWayPointData_t& wp)
{
    return packAck(frame, vehicleId, seq, MavCmd::RouteDownloadWaypoints, result, wp);
}
