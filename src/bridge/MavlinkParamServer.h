#pragma once
// The MAVLink parameter protocol on the vehicle's side, for the bridge: PARAM_REQUEST_LIST,
// PARAM_REQUEST_READ and PARAM_SET over the station's parameter groups (svc::ParamService).
//
// What a client sees: every field of the six groups as one parameter, in group then wire order,
// under a stable name of at most 16 characters (group prefix BSC_, ATC_, PSC_, RES_, FWA_, FWP_,
// then the field; mavlinkparams::table()). Whole-number fields have the smallest MAVLink integer
// type that holds their range, the rest REAL32. Integers travel bytewise in the float field (the
// encoding the declared autopilot family uses, also announced in AUTOPILOT_VERSION).
//
// Decisions:
// - A group the station has read since the vehicle came alive is answered at once from that
//   read; any other group is read from the vehicle first (one read per group, shared by every
//   client asking) and its PARAM_VALUEs follow when the read arrives. A group whose read fails
//   is announced in a STATUSTEXT to the requester; clients then ask for the missing indices,
//   which reads the group again.
// - Answers to a list or a read go to the requester only; the PARAM_VALUE after a write goes to
//   every ground station (they all show the vehicle's parameters).
// - PARAM_SET needs --mavlink-control. It writes the whole group through the service (read first
//   when it was not); the answer is the value the group holds after the vehicle acknowledged the
//   write. A refusal (read-only bridge, out of range, the vehicle's refusal, a time-out) answers
//   the old value and a STATUSTEXT saying why.
// - PARAM_VALUEs leave at most kValuesPerTick a tick (1250 a second), queued per requester without
//   repeats (kMaxQueued at most, the rest dropped and counted): a whole list at once would overrun
//   a client's socket buffer, and clients ask again for what they miss.
// - An unknown name or index gets no PARAM_VALUE (clients time out as for any missing
//   parameter), a log line and a count.

#include "bridge/MavlinkLinks.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <deque>
#include <optional>
#include <set>
#include <tuple>
#include <string>
#include <string_view>
#include <vector>

class MavlinkBridge;

namespace mavlinkparams {

struct Entry {
    std::string group;
    std::string field;
    std::string id;  // the MAVLink name, at most 16 characters
    uint8_t type = 0;  // MAV_PARAM_TYPE
};
// Every parameter in index order.
const std::vector<Entry>& table();
std::optional<uint16_t> indexOf(std::string_view id);
// The wire float of a value of this type (integers bytewise), and back.
float encode(double value, uint8_t type);
double decode(float wire, uint8_t type);

}  // namespace mavlinkparams

class MavlinkParamServer {
public:
    static constexpr int64_t kReadGiveUpMs = 15000;
    static constexpr int kValuesPerTick = 25;
    static constexpr size_t kMaxQueued = 65536;

    explicit MavlinkParamServer(MavlinkBridge& bridge);

    // Parameter messages; false when the message is not one of them.
    bool handle(const mavlink::Frame& frame, const MavlinkPeer& peer);
    void tick(int64_t nowMs);
    nlohmann::json status() const;

private:
    struct Requester {
        MavlinkPeer peer;
        uint8_t gcsSystem = 0, gcsComponent = 0;
        std::optional<uint16_t> index;  // one parameter; nothing: the whole group
    };
    struct PendingSet {
        Requester to;
        uint16_t index = 0;
        double value = 0;
        double oldValue = 0;
        int64_t requestId = 0;  // the write, once sent
        int64_t since = 0;
    };
    struct GroupRead {
        int64_t requestId = 0;
        int64_t since = 0;
        std::vector<Requester> waiting;
        std::vector<PendingSet> sets;
    };
    using GroupKey = std::pair<uint8_t, std::string>;

    void requestList(const mavlink::Frame& frame, const MavlinkPeer& peer, uint8_t target);
    void requestRead(const mavlink::Frame& frame, const MavlinkPeer& peer, const mavlink::ParamRequestRead& m);
    void set(const mavlink::Frame& frame, const MavlinkPeer& peer, const mavlink::ParamSet& m);
    // Sends now when the group is read, else joins (or starts) its read; false when no read can start.
    bool whenRead(uint8_t sysid, const std::string& group, const Requester& to);
    void sendGroup(uint8_t sysid, const std::string& group, const Requester& to);
    void sendValue(uint8_t sysid, uint16_t index, double value, const Requester* to);
    void startWrite(uint8_t sysid, PendingSet set);
    void refuse(uint8_t sysid, const Requester& to, const std::string& why);
    std::optional<double> currentValue(uint8_t sysid, uint16_t index, bool* read = nullptr) const;

    MavlinkBridge& m_bridge;
    int64_t m_now = 0;
    std::map<GroupKey, GroupRead> m_reads;
    std::vector<std::pair<uint8_t, PendingSet>> m_writes;
    std::map<std::string, uint64_t> m_counts;
    struct Queued {
        uint8_t sysid = 0;
        uint16_t index = 0;
        MavlinkPeer peer;
    };
    std::deque<Queued> m_queue;
    std::set<std::tuple<MavlinkSink, uint8_t, uint16_t>> m_queued;
};
