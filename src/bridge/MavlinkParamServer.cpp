#include "MavlinkParamServer.h"

#include "bridge/MavlinkBridge.h"

#include "services/CommandService.h"
#include "services/OutcomeRecorder.h"
#include "services/ParamService.h"
#include "services/ParamTable.h"
#include "services/VehicleServices.h"
#include "vehicle/VehicleController.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <limits>

using nlohmann::json;
using namespace mavlink;

namespace mavlinkparams {
namespace {

// Basic-group names a client can show in 16 characters; the other groups' fields spell well
// in capitals (rollRateP -> ROLL_RATE_P).
const std::map<std::string, std::string> kBasicNames = {
    {"ahrsX", "AHRS_X"},
    {"ahrsY", "AHRS_Y"},
    {"ahrsZ", "AHRS_Z"},
    {"gpsX", "GPS_X"},
    {"gpsY", "GPS_Y"},
    {"gpsZ", "GPS_Z"},
    {"vol1", "VOL1"},
    {"vol2", "VOL2"},
    {"mavType", "FRAME_TYPE"},
    {"lowPowerProteStrategy", "LOWBAT_ACT"},
    {"maxFlyAlt", "MAX_ALT"},
    {"maxHorDistance", "MAX_DIST"},
    {"maxHorSpeed", "MAX_HSPD"},
    {"maxVerSpeed", "MAX_VSPD"},
    {"workMode", "WORK_MODE"},
    {"protocolType", "PROTOCOL"},
    {"circleRadius", "CIRCLE_RAD"},
    {"linkProteStrategy", "LINK_FS_ACT"},
    {"lowPowerProteStrategy2", "LOWBAT2_ACT"},
    {"vehicleId", "VEHICLE_ID"},
    {"accelCutoffFreqHz", "ACC_CUTOFF"},
    {"angularRateCutoffFreqHz", "GYR_CUTOFF"},
    {"dualAntennaInstallAngleDeg", "ANT_ANGLE"},
    {"lithiumBatteryCellCount", "BATT_CELLS"},
    {"returnAltitudeM", "RTL_ALT"},
    {"rcSignalAbnormalProtect", "RC_FS_ACT"},
    {"yawRateLimitDegS", "YAW_RATE_MAX"},
    {"pitchRollMaxAngleLimitDeg", "TILT_MAX"},
    {"reservedParam3", "RESERVED3"},
};

const std::map<std::string, std::string> kPrefixes = {{"basic", "BSC_"}, {"stab", "ATC_"},      {"pos", "PSC_"},
                                                      {"res", "RES_"},   {"fixedStab", "FWA_"}, {"fixedPos", "FWP_"}};

std::string capitals(const std::string& field)
{
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        const char c = field[i];
        if (i > 0 && std::isupper((unsigned char)(c)))
            out += '_';
        out += char(std::toupper((unsigned char)(c)));
    }
    return out;
}

std::string nameOf(const std::string& group, const std::string& field)
{
    if (group == "basic")
        if (const auto it = kBasicNames.find(field); it != kBasicNames.end())
            return kPrefixes.at(group) + it->second;
    if (group == "res" && field.rfind("res", 0) == 0)
        return kPrefixes.at(group) + field.substr(3);
    return kPrefixes.at(group) + capitals(field);
}

uint8_t typeOf(const ParamTable::Field& f)
{
    if (f.step < 1)
        return mav::kParamReal32;
    if (f.min >= 0 && f.max <= 255)
        return mav::kParamUint8;
    if (f.min >= 0 && f.max <= 65535)
        return mav::kParamUint16;
    if (f.min >= -32768 && f.max <= 32767)
        return mav::kParamInt16;
    return mav::kParamInt32;
}

template <typename T>
float packed(double value)
{
    const T v =
        T(std::clamp(std::round(value), double(std::numeric_limits<T>::min()), double(std::numeric_limits<T>::max())));
    uint8_t bytes[4] = {};
    std::memcpy(bytes, &v, sizeof(T));
    float f;
    std::memcpy(&f, bytes, 4);
    return f;
}

template <typename T>
double unpacked(float wire)
{
    T v;
    std::memcpy(&v, &wire, sizeof(T));
    return double(v);
}

}  // namespace

const std::vector<Entry>& table()
{
    static const std::vector<Entry> entries = [] {
        std::vector<Entry> out;
        for (const auto& group : ParamTable::groupNames())
            for (const auto& f : ParamTable::fields(nullptr, group))
                out.push_back({group, f.name, nameOf(group, f.name), typeOf(f)});
        return out;
    }();
    return entries;
}

std::optional<uint16_t> indexOf(std::string_view id)
{
    const auto& t = table();
    for (size_t i = 0; i < t.size(); ++i)
        if (t[i].id == id)
            return uint16_t(i);
    return std::nullopt;
}

float encode(double value, uint8_t type)
{
    switch (type) {
    case mav::kParamUint8: return packed<uint8_t>(value);
    case mav::kParamInt8: return packed<int8_t>(value);
    case mav::kParamUint16: return packed<uint16_t>(value);
    case mav::kParamInt16: return packed<int16_t>(value);
    case mav::kParamUint32: return packed<uint32_t>(value);
    case mav::kParamInt32: return packed<int32_t>(value);
    }
    return float(value);
}

double decode(float wire, uint8_t type)
{
    switch (type) {
    case mav::kParamUint8: return unpacked<uint8_t>(wire);
    case mav::kParamInt8: return unpacked<int8_t>(wire);
    case mav::kParamUint16: return unpacked<uint16_t>(wire);
    case mav::kParamInt16: return unpacked<int16_t>(wire);
    case mav::kParamUint32: return unpacked<uint32_t>(wire);
    case mav::kParamInt32: return unpacked<int32_t>(wire);
    }
    return double(wire);
}

}  // namespace mavlinkparams

namespace {

std::string idOf(const char (&raw)[16])
{
    return std::string(raw, strnlen(raw, sizeof(raw)));
}

}  // namespace

MavlinkParamServer::MavlinkParamServer(MavlinkBridge& bridge)
    : m_bridge(bridge)
{
}

bool MavlinkParamServer::handle(const Frame& frame, const MavlinkPeer& peer)
{
    switch (frame.msgid) {
    case kParamRequestList: requestList(frame, peer, frame.as<ParamRequestList>().targetSystem); return true;
    case kParamRequestRead: requestRead(frame, peer, frame.as<ParamRequestRead>()); return true;
    case kParamSet: set(frame, peer, frame.as<ParamSet>()); return true;
    default: return false;
    }
}

void MavlinkParamServer::requestList(const Frame& frame, const MavlinkPeer& peer, uint8_t target)
{
    if (!m_bridge.entryFor(target)) {
        m_bridge.countUnknownTarget(frame);
        return;
    }
    ++m_counts["lists"];
    const Requester to{peer, frame.sysid, frame.compid, std::nullopt};
    for (const auto& group : ParamTable::groupNames())
        whenRead(target, group, to);
}

void MavlinkParamServer::requestRead(const Frame& frame, const MavlinkPeer& peer, const ParamRequestRead& m)
{
    if (!m_bridge.entryFor(m.targetSystem)) {
        m_bridge.countUnknownTarget(frame);
        return;
    }
    const auto& t = mavlinkparams::table();
    std::optional<uint16_t> index;
    if (m.paramIndex >= 0 && size_t(m.paramIndex) < t.size())
        index = uint16_t(m.paramIndex);
    else if (m.paramIndex < 0)
        index = mavlinkparams::indexOf(idOf(m.paramId));
    if (!index) {
        ++m_counts["unknown"];
        spdlog::info("<mavlink> vehicle {}: parameter {} ({}) asked by system {} does not exist", m.targetSystem,
                     idOf(m.paramId), m.paramIndex, frame.sysid);
        return;
    }
    whenRead(m.targetSystem, t[*index].group, Requester{peer, frame.sysid, frame.compid, index});
}

bool MavlinkParamServer::whenRead(uint8_t sysid, const std::string& group, const Requester& to)
{
    const auto vehicle = m_bridge.entryFor(sysid)->vehicle.lock();
    auto& params = m_bridge.services().params();
    const auto values = params.values(vehicle, group);
    if (values.ok() && values.value.readSinceAlive) {
        sendGroup(sysid, group, to);
        return true;
    }
    GroupRead& read = m_reads[{sysid, group}];
    read.waiting.push_back(to);
    if (read.requestId)
        return true;
    const auto ticket = params.read(vehicle, group, "mavlink.params");
    if (!ticket.ok()) {
        m_reads.erase({sysid, group});
        refuse(sysid, to, "parameters " + group + " not read: " + ticket.status.message);
        return false;
    }
    read.requestId = ticket.value.requestId;
    read.since = m_now;
    return true;
}

std::optional<double> MavlinkParamServer::currentValue(uint8_t sysid, uint16_t index, bool* read) const
{
    const auto& entry = mavlinkparams::table()[index];
    const auto* e = m_bridge.entryFor(sysid);
    const auto values = m_bridge.services().params().values(e ? e->vehicle.lock() : nullptr, entry.group);
    if (!values.ok())
        return std::nullopt;
    if (read)
        *read = values.value.readSinceAlive;
    for (const auto& f : values.value.fields)
        if (f.name == entry.field)
            return f.value;
    return std::nullopt;
}

void MavlinkParamServer::sendGroup(uint8_t sysid, const std::string& group, const Requester& to)
{
    const auto& t = mavlinkparams::table();
    for (size_t i = 0; i < t.size(); ++i) {
        if (t[i].group != group || (to.index && *to.index != i))
            continue;
        const auto key = std::make_tuple(to.peer.sink(), sysid, uint16_t(i));
        if (m_queued.count(key))
            continue;
        if (m_queued.size() >= kMaxQueued) {
            ++m_counts["valuesDropped"];
            continue;
        }
        m_queued.insert(key);
        m_queue.push_back({sysid, uint16_t(i), to.peer});
    }
}

void MavlinkParamServer::sendValue(uint8_t sysid, uint16_t index, double value, const Requester* to)
{
    const auto& entry = mavlinkparams::table()[index];
    ParamValue m;
    m.paramValue = mavlinkparams::encode(value, entry.type);
    m.paramCount = uint16_t(mavlinkparams::table().size());
    m.paramIndex = index;
    std::memcpy(m.paramId, entry.id.data(), std::min(entry.id.size(), sizeof(m.paramId)));
    m.paramType = entry.type;
    if (to)
        m_bridge.m_links.reply(to->peer, m, sysid, 1);
    else
        m_bridge.m_links.broadcast(m, sysid, 1);
    ++m_counts["values"];
}

void MavlinkParamServer::refuse(uint8_t sysid, const Requester& to, const std::string& why)
{
    spdlog::warn("<mavlink> vehicle {}: {}", sysid, why);
    m_bridge.sendText(sysid, mav::kSeverityWarning, why, &to.peer);
}

void MavlinkParamServer::set(const Frame& frame, const MavlinkPeer& peer, const ParamSet& m)
{
    if (!m_bridge.entryFor(m.targetSystem)) {
        m_bridge.countUnknownTarget(frame);
        return;
    }
    const auto index = mavlinkparams::indexOf(idOf(m.paramId));
    if (!index) {
        ++m_counts["unknown"];
        spdlog::info("<mavlink> vehicle {}: PARAM_SET of {} that does not exist", m.targetSystem, idOf(m.paramId));
        return;
    }
    const auto& entry = mavlinkparams::table()[*index];
    PendingSet s;
    s.to = Requester{peer, frame.sysid, frame.compid, index};
    s.index = *index;
    // The sender's type says how it packed the value.
    s.value = mavlinkparams::decode(m.paramValue, m.paramType ? m.paramType : entry.type);
    s.since = m_now;
    bool read = false;
    s.oldValue = currentValue(m.targetSystem, *index, &read).value_or(0);
    auto refuseSet = [&](const std::string& why) {
        ++m_counts["setsRefused"];
        if (read)
            sendValue(m.targetSystem, *index, s.oldValue, &s.to);
        refuse(m.targetSystem, s.to, entry.id + " not set: " + why);
    };
    if (!m_bridge.m_options.control)
        return refuseSet("the bridge is read-only (no --mavlink-control)");
    if (!std::isfinite(s.value))
        return refuseSet("the value is not a number");
    if (const auto st = svc::ParamService::checkValues(entry.group, {{entry.field, s.value}}); !st.ok())
        return refuseSet(st.message);
    if (read) {
        startWrite(m.targetSystem, s);
        return;
    }
    // Read the group first: a write sends all of it.
    GroupRead& gr = m_reads[{m.targetSystem, entry.group}];
    gr.sets.push_back(s);
    if (gr.requestId)
        return;
    const auto vehicle = m_bridge.entryFor(m.targetSystem)->vehicle.lock();
    const auto ticket = m_bridge.services().params().read(vehicle, entry.group, "mavlink.params");
    if (!ticket.ok()) {
        m_reads.erase({m.targetSystem, entry.group});
        return refuseSet(ticket.status.message);
    }
    gr.requestId = ticket.value.requestId;
    gr.since = m_now;
}

void MavlinkParamServer::startWrite(uint8_t sysid, PendingSet s)
{
    const auto& entry = mavlinkparams::table()[s.index];
    const auto vehicle = m_bridge.entryFor(sysid) ? m_bridge.entryFor(sysid)->vehicle.lock() : nullptr;
    s.oldValue = currentValue(sysid, s.index).value_or(s.oldValue);
    const auto ticket = m_bridge.services().params().set(vehicle, entry.group, {{entry.field, s.value}});
    if (!ticket.ok()) {
        ++m_counts["setsRefused"];
        sendValue(sysid, s.index, s.oldValue, &s.to);
        refuse(sysid, s.to, entry.id + " not set: " + ticket.status.message);
        return;
    }
    spdlog::info("<mavlink> vehicle {}: {} = {} from system {}, requestId {}", sysid, entry.id, s.value, s.to.gcsSystem,
                 ticket.value.requestId);
    s.requestId = ticket.value.requestId;
    s.since = m_now;
    m_writes.emplace_back(sysid, s);
}

void MavlinkParamServer::tick(int64_t nowMs)
{
    m_now = nowMs;
    for (int n = 0; n < kValuesPerTick && !m_queue.empty(); ++n) {
        const Queued q = m_queue.front();
        m_queue.pop_front();
        m_queued.erase(std::make_tuple(q.peer.sink(), q.sysid, q.index));
        const Requester to{q.peer, 0, 0, std::nullopt};
        if (m_bridge.entryFor(q.sysid))
            if (const auto v = currentValue(q.sysid, q.index))
                sendValue(q.sysid, q.index, *v, &to);
    }
    using State = svc::CommandOutcome::State;
    auto& commands = m_bridge.services().commands();
    for (auto it = m_reads.begin(); it != m_reads.end();) {
        const auto& [sysid, group] = it->first;
        GroupRead& read = it->second;
        const auto outcome = commands.outcome(read.requestId);
        const bool gaveUp = nowMs - read.since > kReadGiveUpMs || !m_bridge.entryFor(sysid);
        if (!gaveUp && outcome && outcome->state == State::Pending) {
            ++it;
            continue;
        }
        const int code = outcome && !outcome->results.empty() ? outcome->results[0].code : -1;
        if (!gaveUp && outcome && outcome->state == State::Done && code == 0) {
            for (const auto& to : read.waiting)
                sendGroup(sysid, group, to);
            for (const auto& s : read.sets)
                startWrite(sysid, s);
        } else if (m_bridge.entryFor(sysid)) {
            const std::string why = "parameters " + group + " not read from the vehicle: " +
                                    (outcome && !outcome->results.empty() ? outcome->results[0].text : "no answer");
            for (const auto& to : read.waiting)
                refuse(sysid, to, why);
            for (const auto& s : read.sets)
                refuse(sysid, s.to, mavlinkparams::table()[s.index].id + " not set: " + why);
        }
        it = m_reads.erase(it);
    }
    for (auto it = m_writes.begin(); it != m_writes.end();) {
        const uint8_t sysid = it->first;
        PendingSet& s = it->second;
        const auto outcome = commands.outcome(s.requestId);
        const bool gaveUp = nowMs - s.since > kReadGiveUpMs || !m_bridge.entryFor(sysid);
        if (!gaveUp && outcome && outcome->state == State::Pending) {
            ++it;
            continue;
        }
        const int code = outcome && !outcome->results.empty() ? outcome->results[0].code : -1;
        const auto& entry = mavlinkparams::table()[s.index];
        if (!gaveUp && outcome && outcome->state == State::Done && code == 0) {
            ++m_counts["sets"];
            if (const auto v = currentValue(sysid, s.index))
                sendValue(sysid, s.index, *v, nullptr);
        } else if (m_bridge.entryFor(sysid)) {
            ++m_counts["setsRefused"];
            sendValue(sysid, s.index, s.oldValue, &s.to);
            refuse(sysid, s.to,
                   entry.id + " not set: the vehicle " +
                       (outcome && !outcome->results.empty() ? "answered " + outcome->results[0].text
                                                             : std::string("did not answer")));
        }
        it = m_writes.erase(it);
    }
}

json MavlinkParamServer::status() const
{
    json out = json::object();
    for (const auto& [name, n] : m_counts)
        out[name] = n;
    out["reading"] = m_reads.size();
    out["writing"] = m_writes.size();
    out["queued"] = m_queue.size();
    return out;
}
