#include "SimVehicleNfz.h"

#include <QFile>
#include <QSaveFile>

#include <nlohmann/json.hpp>
#include <spdlog/spdlog.h>

using P = MavProtoNfzProcesser;
using Reply = SimVehicle::Reply;

namespace {
constexpr uint8_t kIncomplete = 4;
}

SimVehicleNfz::SimVehicleNfz(SimVehicle& vehicle, const SimOptions& options)
    : m_vehicle(vehicle)
    , m_options(options)
{
    m_vehicle.registerCommand(MavCmd::NfzCount, [this](const _MavPFrame_t& f) { return handleTotals(f); });
    m_vehicle.registerCommand(MavCmd::NfzZone, [this](const _MavPFrame_t& f) { return handleZone(f); });
    m_vehicle.registerCommand(MavCmd::NfzUpdateTime, [this](const _MavPFrame_t& f) { return handleUpdateTime(f); });
    m_vehicle.registerCommand(MavCmd::ManualNfzBind, [this](const _MavPFrame_t& f) { return handleBind(f); });
}

Reply SimVehicleNfz::refuse(const char* what, const std::string& reason) const
{
    spdlog::warn("<VehicleSim> vehicle {} refuses {}: {}", m_vehicle.id(), what, reason);
    return Reply{true, SimVehicle::kResultOutOfRange};
}

Reply SimVehicleNfz::handleTotals(const _MavPFrame_t& frame)
{
    MavProtoNfzTotalCount_t totals;
    if (!P::parseNfzTotalCountReq(frame, totals))
        return refuse("zone totals", fmt::format("payload of {} bytes, expected 4", frame.data.size()));
    m_upload = totals;
    m_received.clear();
    spdlog::info("<VehicleSim> vehicle {} receives {} no-fly zones, {} vertices", m_vehicle.id(), totals.zoneCount,
                 totals.vertexCount);
    return Reply{};
}

Reply SimVehicleNfz::handleZone(const _MavPFrame_t& frame)
{
    ++m_zoneFrames;
    MavProtoNfzZoneData_t zone;
    if (!P::parseNfzZoneDataReq(frame, zone))
        return refuse("zone", fmt::format("malformed payload of {} bytes", frame.data.size()));
    const uint16_t k = zone.zoneIndex;
    if (const auto r = m_options.nfzRejectZones.find(k); r != m_options.nfzRejectZones.end()) {
        spdlog::info("<VehicleSim> vehicle {} answers zone {} with {} and drops it", m_vehicle.id(), k, r->second);
        return Reply{true, r->second};
    }
    if (const auto w = m_options.nfzStatusWords.find(k); w != m_options.nfzStatusWords.end()) {
        spdlog::info("<VehicleSim> vehicle {} answers zone {} with status word {} and drops it", m_vehicle.id(), k,
                     w->second);
        return Reply{true, 0, P::zoneDataAckExtra(w->second)};
    }
    if (!m_upload)
        return refuse("zone", fmt::format("zone {} while no upload is open", k));
    if (k >= m_upload->zoneCount)
        return refuse("zone", fmt::format("zone {} outside 0..{}", k, int(m_upload->zoneCount) - 1));
    m_received[k] = std::move(zone.vertices);
    return Reply{true, 0, P::zoneDataAckExtra(0)};
}

Reply SimVehicleNfz::handleUpdateTime(const _MavPFrame_t& frame)
{
    MavProtoNfzUpdateTime_t t;
    if (!P::parseNfzUpdateTimeReq(frame, t))
        return refuse("zone update time", fmt::format("payload of {} bytes, expected 7", frame.data.size()));
    if (!m_upload)
        return refuse("zone update time", "no upload is open");
    int vertices = 0;
    for (const auto& [k, zone] : m_received)
        vertices += int(zone.size());
    if (m_received.size() != m_upload->zoneCount || vertices != m_upload->vertexCount) {
        spdlog::warn("<VehicleSim> vehicle {} zone upload incomplete: {} of {} zones, {} of {} vertices",
                     m_vehicle.id(), m_received.size(), m_upload->zoneCount, vertices, m_upload->vertexCount);
        return Reply{true, kIncomplete};
    }
    m_zones.clear();
    for (const auto& [k, zone] : m_received)
        m_zones.push_back(zone);
    m_vertexCount = vertices;
    m_updateTime =
        QString::asprintf("%04u-%02u-%02u %02u:%02u:%02u", t.year, t.month, t.day, t.hour, t.minute, t.second);
    spdlog::info("<VehicleSim> vehicle {} stored {} no-fly zones, {} vertices, updated {}", m_vehicle.id(),
                 m_zones.size(), vertices, m_updateTime.toStdString());
    dump();
    return Reply{};
}

Reply SimVehicleNfz::handleBind(const _MavPFrame_t& frame)
{
    MavProtoManualNfzBind_t bind;
    if (!P::parseManualNfzBindReq(frame, bind))
        return refuse("manual zone", fmt::format("payload of {} bytes, expected 69", frame.data.size()));
    if (bind.lead != 1)
        return refuse("manual zone", fmt::format("leading byte {}, expected 1", bind.lead));
    std::array<std::optional<MavProtoNfzVertex_t>, 4> byNumber;
    for (const auto& e : bind.entries) {
        if (e.number < 1 || e.number > 4 || byNumber[e.number - 1])
            return refuse("manual zone", fmt::format("vertex number {} repeated or outside 1..4", e.number));
        byNumber[e.number - 1] = e.vertex;
    }
    std::array<MavProtoNfzVertex_t, 4> corners;
    for (size_t i = 0; i < 4; ++i)
        corners[i] = *byNumber[i];
    m_manual = corners;
    spdlog::info("<VehicleSim> vehicle {} bound a manual no-fly zone", m_vehicle.id());
    dump();
    return Reply{};
}

void SimVehicleNfz::dump() const
{
    if (m_options.nfzDump.isEmpty())
        return;
    using nlohmann::json;
    json all = json::object();
    QFile in(m_options.nfzDump);
    if (in.open(QIODevice::ReadOnly)) {
        const QByteArray bytes = in.readAll();
        all = json::parse(bytes.constBegin(), bytes.constEnd(), nullptr, false);
        if (!all.is_object())
            all = json::object();
    }
    auto point = [](const MavProtoNfzVertex_t& v) { return json::array({v.lat, v.lon}); };
    json zones = json::array();
    for (const auto& zone : m_zones) {
        json z = json::array();
        for (const auto& v : zone)
            z.push_back(point(v));
        zones.push_back(std::move(z));
    }
    json manual = nullptr;
    if (m_manual) {
        manual = json::array();
        for (const auto& v : *m_manual)
            manual.push_back(point(v));
    }
    all[std::to_string(m_vehicle.id())] = {{"zones", zones},
                                           {"vertexCount", m_vertexCount},
                                           {"updateTime", m_updateTime.toStdString()},
                                           {"manual", manual}};
    QSaveFile out(m_options.nfzDump);
    const QByteArray text = QByteArray::fromStdString(all.dump(1));
    if (!out.open(QIODevice::WriteOnly) || out.write(text) != text.size() || !out.commit())
        spdlog::error("<VehicleSim> cannot write the zone dump {}: {}", m_options.nfzDump.toStdString(),
                      out.errorString().toStdString());
}
