#pragma once
// The no-fly zones of one simulated vehicle: an uploaded zone set (0x10 totals, 0x11 one zone
// by 0-based index, 0x12 the update time) and one manually bound four-corner zone (0x4A),
// answered through the vehicle's command table.
//
// Upload: 0x10 opens an upload of the announced zone and vertex totals (answer 0), forgetting
// any upload still open. 0x11 keeps the zone under its index (a repeat overwrites) and answers
// 0 with status word 0. 0x12 stores the set, with the update time, once every index has
// arrived and the vertices add up to the announced total (answer 0); otherwise it answers 4
// and stores nothing. The upload stays open until the next 0x10, so a repeated 0x12 whose
// answer was lost is answered 0 again. Refused with 8: a malformed payload, a zone while no
// upload is open, an index past the announced count.
// Bind: 0x4A with a leading 1 and vertex numbers 1..4 stores the four corners by number
// (answer 0); anything else is refused with 8.
//
// Faults (SimOptions), by zone index: a zone answered with a result and not stored
// (nfzRejectZones), or answered 0 with a non-zero status word and not stored (nfzStatusWords).
// With SimOptions::nfzDump the file is replaced (write, then rename) after each stored upload
// or bind: {"<vehicle id>": {"zones": [[[lat, lon], ...], ...], "vertexCount",
// "updateTime": "yyyy-MM-dd hh:mm:ss", "manual": [[lat, lon] x 4] by vertex number}}.

#include "MavProtoNfzProcesser.h"
#include "SimVehicle.h"

#include <QString>

#include <map>
#include <optional>
#include <vector>

class SimVehicleNfz {
public:
    using Zone = std::vector<MavProtoNfzVertex_t>;

    SimVehicleNfz(SimVehicle& vehicle, const SimOptions& options);

    // The last stored upload, in index order; empty before one.
    const std::vector<Zone>& zones() const { return m_zones; }
    int vertexCount() const { return m_vertexCount; }
    QString updateTime() const { return m_updateTime; }
    // The last bound zone by vertex number - 1; nothing before a bind.
    const std::optional<std::array<MavProtoNfzVertex_t, 4>>& manual() const { return m_manual; }
    // Zone frames (0x11) received, resends and refused ones included.
    int zoneFramesReceived() const { return m_zoneFrames; }

private:
    SimVehicle::Reply handleTotals(const _MavPFrame_t& frame);
    SimVehicle::Reply handleZone(const _MavPFrame_t& frame);
    SimVehicle::Reply handleUpdateTime(const _MavPFrame_t& frame);
    SimVehicle::Reply handleBind(const _MavPFrame_t& frame);
    SimVehicle::Reply refuse(const char* what, const std::string& reason) const;
    void dump() const;

    SimVehicle& m_vehicle;
    const SimOptions& m_options;
    std::vector<Zone> m_zones;
    int m_vertexCount = 0;
    QString m_updateTime;
    std::optional<std::array<MavProtoNfzVertex_t, 4>> m_manual;
    std::optional<MavProtoNfzTotalCount_t> m_upload;
    std::map<uint16_t, Zone> m_received;
    int m_zoneFrames = 0;
};
