#include "MavProtoNfzProcesser.h"

#include "MavProtoHelper.h"

#include <cstring>

namespace {

constexpr size_t kZoneHeader = 3;  // u16 index, u8 count
constexpr size_t kBindEntry = 1 + 2 * sizeof(double);  // number, lon, lat
constexpr size_t kBindSize = 1 + 4 * kBindEntry;

uint16_t packFrom(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq, uint8_t cmd, const std::vector<uint8_t>& data)
{
    MavProtoHelper::packMavProtoFrame(frame, MAVPROTO_GCS_ID, rxId, seq, cmd, data);
    return uint16_t(data.size() + MAVPROTO_FRAME_OVERHEAD);
}

// By value: a field of a packed record may sit at an address its type may not be read from.
template <typename T>
void put(std::vector<uint8_t>& out, const T value)
{
    // resize + memcpy: g++ 12 at -O2 takes an insert into an empty vector for an overflow.
    const size_t at = out.size();
    out.resize(at + sizeof(T));
    std::memcpy(out.data() + at, &value, sizeof(T));
}

template <typename T>
T get(const uint8_t* p)
{
    T value;
    std::memcpy(&value, p, sizeof(T));
    return value;
}

template <typename T>
bool readExact(const _MavPFrame_t& frame, T& out)
{
    if (frame.data.size() != sizeof(T))
        return false;
    std::memcpy(&out, frame.data.data(), sizeof(T));
    return true;
}

}  // namespace

uint16_t MavProtoNfzProcesser::packNfzTotalCountFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq,
                                                      const MavProtoNfzTotalCount_t& count)
{
    return packFrom(frame, rxId, seq, MavCmd::NfzCount, MavProtoHelper::recordBytes(count));
}

uint16_t MavProtoNfzProcesser::packNfzZoneDataFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq,
                                                    const MavProtoNfzZoneData_t& zone)
{
    if (zone.vertices.empty() || zone.vertices.size() > MAVPROTO_NFZ_MAX_ZONE_VERTICES)
        return 0;
    std::vector<uint8_t> data;
    data.reserve(kZoneHeader + zone.vertices.size() * sizeof(MavProtoNfzVertex_t));
    put(data, zone.zoneIndex);
    put(data, uint8_t(zone.vertices.size()));
    for (const auto& v : zone.vertices)
        put(data, v);
    return packFrom(frame, rxId, seq, MavCmd::NfzZone, data);
}

uint16_t MavProtoNfzProcesser::packNfzUpdateTimeFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq,
                                                      const MavProtoNfzUpdateTime_t& time)
{
    return packFrom(frame, rxId, seq, MavCmd::NfzUpdateTime, MavProtoHelper::recordBytes(time));
}

uint16_t MavProtoNfzProcesser::packManualNfzBindFrame(_MavPFrame_t& frame, uint8_t rxId, uint8_t seq,
                                                      const MavProtoManualNfzBind_t& bind)
{
    std::vector<uint8_t> data{bind.lead};
    for (const auto& e : bind.entries) {
        put(data, e.number);
        put(data, e.vertex.lon);
        put(data, e.vertex.lat);
    }
    return packFrom(frame, rxId, seq, MavCmd::ManualNfzBind, data);
}

int MavProtoNfzProcesser::parseNfzTotalCountAck(const _MavPFrame_t& frame)
{
    return MavProtoHelper::parseMavProtoFrameResult(frame);
}

int MavProtoNfzProcesser::parseNfzZoneDataAck(const _MavPFrame_t& frame, MavProtoNfzZoneDataAck_t& out)
{
    const int result = MavProtoHelper::parseMavProtoFrameResult(frame);
    out.statusWord = frame.data.size() >= 3 ? get<uint16_t>(frame.data.data() + 1) : 0;
    return result;
}

int MavProtoNfzProcesser::parseNfzUpdateTimeWriteAck(const _MavPFrame_t& frame)
{
    return MavProtoHelper::parseMavProtoFrameResult(frame);
}

int MavProtoNfzProcesser::parseManualNfzBindAck(const _MavPFrame_t& frame)
{
    return MavProtoHelper::parseMavProtoFrameResult(frame);
}

bool MavProtoNfzProcesser::parseNfzTotalCountReq(const _MavPFrame_t& frame, MavProtoNfzTotalCount_t& out)
{
    return readExact(frame, out);
}

bool MavProtoNfzProcesser::parseNfzZoneDataReq(const _MavPFrame_t& frame, MavProtoNfzZoneData_t& out)
{
    const auto& d = frame.data;
    if (d.size() < kZoneHeader)
        return false;
    const size_t count = d[2];
    if (count == 0 || d.size() != kZoneHeader + count * sizeof(MavProtoNfzVertex_t))
        return false;
    out.zoneIndex = get<uint16_t>(d.data());
    out.vertices.resize(count);
    std::memcpy(out.vertices.data(), d.data() + kZoneHeader, count * sizeof(MavProtoNfzVertex_t));
    return true;
}

bool MavProtoNfzProcesser::parseNfzUpdateTimeReq(const _MavPFrame_t& frame, MavProtoNfzUpdateTime_t& out)
{
    return readExact(frame, out);
}

bool MavProtoNfzProcesser::parseManualNfzBindReq(const _MavPFrame_t& frame, MavProtoManualNfzBind_t& out)
{
    if (frame.data.size() != kBindSize)
        return false;
    const uint8_t* p = frame.data.data();
    out.lead = p[0];
    for (size_t i = 0; i < 4; ++i) {
        const uint8_t* e = p + 1 + i * kBindEntry;
        out.entries[i].number = e[0];
        out.entries[i].vertex.lon = get<double>(e + 1);
        out.entries[i].vertex.lat = get<double>(e + 1 + sizeof(double));
    }
    return true;
}

std::vector<uint8_t> MavProtoNfzProcesser::zoneDataAckExtra(uint16_t statusWord)
{
    std::vector<uint8_t> extra;
    put(extra, statusWord);
    return extra;
}
