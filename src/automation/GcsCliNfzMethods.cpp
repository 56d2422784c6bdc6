#include "GcsCliNfzMethods.h"

#include "GcsCliNfzOutcomes.h"
#include "GcsCliOutcomeRecorder.h"
#include "services/OutcomeRecorder.h"
#include "services/VehicleDirectory.h"
#include "services/VehicleServices.h"
#include "services/ZoneService.h"
#include "nfz/NfzSyncController.h"

#include "NfzZoneManager.h"

#include <QDir>
#include <QFileInfo>

#include <spdlog/spdlog.h>

#include <cmath>

namespace gcscli {
namespace {

Failure requireSync(const Call& call, NfzSyncController** sync)
{
    if (auto f = requireStation(call))
        return f;
    if (!(*sync = call.station->zoneSync().get()))
        return rejected("No-fly-zone services are not available");
    return {};
}

// The zone set's origin and the zones a sync or import would take away, as answered.
json toJson(const NfzZoneManager::Origin& o)
{
    const bool file = !o.file.isEmpty();
    return {{"source", NfzZoneManager::sourceName(o.source)},
            {"file", file ? json(o.file.toStdString()) : json(nullptr)},
            {"time", o.fileTime.isValid() ? json(o.fileTime.toString(Qt::ISODate).toStdString()) : json(nullptr)},
            {"warning", o.warning.isEmpty() ? json(nullptr) : json(o.warning.toStdString())}};
}

json toJson(const NfzZoneShrink& shrink)
{
    json smaller = json::array();
    for (const auto& z : shrink.smaller)
        smaller.push_back({{"id", z.id}, {"areaBeforeM2", z.areaBeforeM2}, {"areaAfterM2", z.areaAfterM2}});
    return {{"removedZoneIds", shrink.removed},
            {"smallerZones", std::move(smaller)},
            {"text", shrink.text().toStdString()}};
}

json toJson(const std::optional<NfzSyncController::ShrinkRecord>& r)
{
    if (!r)
        return nullptr;
    json out = toJson(r->shrink);
    out["operation"] = r->operation.toStdString();
    out["applied"] = r->applied;
    out["time"] = r->time.toString(Qt::ISODate).toStdString();
    return out;
}

// null, or {"kind": "upload"/"manualBind", "ok", "ret", "zoneIds", "vehicleId", "requestId"}, an
// upload also with "enlargedZoneIds" (the zones sent larger than drawn).
json toJson(const std::optional<svc::ZoneTransfer>& t)
{
    if (!t)
        return nullptr;
    json out = {{"kind", svc::zoneTransferKindName(t->kind)},
                {"ok", t->ok},
                {"ret", t->result},
                {"zoneIds", t->zoneIds},
                {"vehicleId", t->vehicleId},
                {"requestId", t->requestId ? json(t->requestId) : json(nullptr)}};
    if (t->kind == svc::ZoneTransferKind::Upload)
        out["enlargedZoneIds"] = t->enlargedZoneIds;
    return out;
}

json nfzSync(const Call& call)
{
    NfzSyncController* sync = nullptr;
    if (auto f = requireSync(call, &sync))
        return refuse(call, *f);
    bool allowShrink = false;
    if (call.params) {
        if (auto f = readBool(*call.params, "allowShrink", allowShrink))
            return refuse(call, *f);
    }
    if (sync->isSyncInProgress())
        return refuse(call, *rejected("No-fly-zone sync already in progress"));
    sync->startFullSync(allowShrink);
    spdlog::info("<cli-router> nfz.sync started{}", allowShrink ? ", shrinking allowed" : "");
    return GcsCliResponse::makeSuccess({{"accepted", true}});
}

json nfzImport(const Call& call)
{
    NfzSyncController* sync = nullptr;
    if (auto f = requireSync(call, &sync))
        return refuse(call, *f);
    std::string path;
    if (!call.params)
        return refuse(call, *invalid("Missing params object"));
    if (auto f = readString(*call.params, "path", path))
        return refuse(call, *f);
    bool allowShrink = false;
    if (auto f = readBool(*call.params, "allowShrink", allowShrink))
        return refuse(call, *f);
    const QString qpath = QString::fromStdString(path);
    if (!QDir::isAbsolutePath(qpath))
        return refuse(call, *invalid("path must be absolute"));
    NfzSyncController::LocalImportCandidate candidate;
    QString error;
    using E = NfzSyncController::LocalImportError;
    if (const E r = sync->prepareLocalImport(qpath, candidate, error); r != E::None)
        return refuse(call, *invalid("Cannot import " + path + ": " + error.toStdString()));
    const E r = sync->commitLocalImport(candidate, error, allowShrink);
    if (r == E::ZoneSetShrank)
        return GcsCliResponse::makeError(ErrorCode::CommandRejected, "Not imported: " + error.toStdString(),
                                         GcsCliResponse::ErrorDomain::Business, toJson(sync->lastShrink()->shrink));
    if (r == E::Busy)
        return refuse(call, *rejected("No-fly-zone sync already in progress"));
    if (r != E::None)
        return refuse(call, *rejected("Cannot replace the no-fly-zone cache: " + error.toStdString()));
    spdlog::info("<cli-router> nfz.import of {} zones from {}", candidate.zoneCount, path);
    return GcsCliResponse::makeSuccess({{"zoneCount", candidate.zoneCount}});
}

json nfzStatus(const Call& call)
{
    NfzSyncController* sync = nullptr;
    if (auto f = requireSync(call, &sync); f || (f = requireOutcomes(call)))
        return refuse(call, *f);
    const auto zones = call.station->zoneSet();
    const QFileInfo cache(sync->cachePath());
    const GcsCliNfzOutcomes& outcomes = call.outcomes->nfz();
    const QString cloudTime = sync->cloudUpdateTime();
    return GcsCliResponse::makeSuccess({
        {"zoneCount", zones ? zones->zoneCount() : 0},
        {"cacheFile", sync->cachePath().toStdString()},
        {"cacheTime",
         cache.isFile() ? json(cache.lastModified().toUTC().toString(Qt::ISODate).toStdString()) : json(nullptr)},
        {"cloudUpdateTime", cloudTime.isEmpty() ? json(nullptr) : json(cloudTime.toStdString())},
        {"syncInProgress", sync->isSyncInProgress()},
        {"lastSync", outcomes.lastSync()},
        {"lastError", outcomes.lastError()},
        {"transferring", services(call).zones().transferring()},
        {"lastTransfer", toJson(services(call).zones().lastFinished())},
        {"zoneSet", zones ? toJson(zones->origin()) : json(nullptr)},
        {"lastShrink", toJson(sync->lastShrink())},
    });
}

// Absent: every zone of the set (the service's default); present: a non-empty id list.
Failure readZoneIds(const Call& call, std::vector<int64_t>& ids)
{
    const auto it = call.params ? call.params->find("zoneIds") : json::const_iterator{};
    if (!call.params || it == call.params->end())
        return {};
    if (!it->is_array())
        return invalid("zoneIds must be an array of zone ids");
    for (const auto& id : *it) {
        if (!id.is_number_integer())
            return invalid("zoneIds must be an array of zone ids");
        ids.push_back(id.get<int64_t>());
    }
    if (ids.empty())
        return invalid("zoneIds must not be empty");
    return {};
}

json startedTransfer(const svc::ZoneTransfer& t, json data)
{
    data["accepted"] = true;
    data["requestId"] = t.requestId;
    data["vehicleId"] = t.vehicleId;
    return GcsCliResponse::makeSuccess(std::move(data));
}

json nfzUpload(const Call& call)
{
    svc::VehicleSelector selector;
    std::vector<int64_t> ids;
    if (auto f = readSelector(call, selector); f || (f = readZoneIds(call, ids)) || (f = requireStation(call)))
        return refuse(call, *f);
    const auto r = services(call).zones().upload(selector, std::move(ids));
    if (!r.ok())
        return refuse(call, r.status);
    return startedTransfer(r.value, {{"zoneIds", r.value.zoneIds}, {"enlargedZoneIds", r.value.enlargedZoneIds}});
}

Failure readCorners(const json& params, std::array<MavProtoNfzVertex_t, 4>& corners)
{
    const auto it = params.find("vertices");
    const char* shape = "vertices must be an array of 4 [lat, lon] pairs";
    if (it == params.end() || !it->is_array() || it->size() != 4)
        return invalid(shape);
    for (size_t i = 0; i < 4; ++i) {
        const json& p = (*it)[i];
        if (!p.is_array() || p.size() != 2 || !p[0].is_number() || !p[1].is_number())
            return invalid(shape);
        const double lat = p[0].get<double>();
        const double lon = p[1].get<double>();
        if (!std::isfinite(lat) || !std::isfinite(lon))
            return invalid("lat, lon must be finite numbers (NaN and Inf are not allowed)");
        if (lat < -90.0 || lat > 90.0)
            return invalid("lat must be in [-90, 90] degrees");
        if (lon < -180.0 || lon > 180.0)
            return invalid("lon must be in [-180, 180] degrees");
        corners[i] = {lat, lon};
    }
    return {};
}

json nfzBindManual(const Call& call)
{
    if (!call.params)
        return refuse(call, *invalid("Missing params object"));
    svc::VehicleSelector selector;
    std::array<MavProtoNfzVertex_t, 4> corners;
    if (auto f = readCorners(*call.params, corners); f || (f = readSelector(call, selector)) || (f = requireStation(call)))
        return refuse(call, *f);
    const auto r = services(call).zones().bindManual(selector, corners);
    if (!r.ok())
        return refuse(call, r.status);
    return startedTransfer(r.value, json::object());
}

}  // namespace

const std::vector<MethodSpec>& nfzMethods()
{
    static const std::vector<MethodSpec> table = {
        {"nfz.sync",
         nfzSync,
         "Downloads every no-fly zone from the cloud into the cache; follow with nfz.status.",
         {{"allowShrink", "boolean", false, {}, "take a reply that removes or shrinks known zones"}}},
        {"nfz.import",
         nfzImport,
         "Replaces the no-fly-zone cache with a zone document file.",
         {{"path", "string", true, {}, "absolute path of the zone document"},
          {"allowShrink", "boolean", false, {}, "take a document that removes or shrinks known zones"}}},
        {"nfz.status", nfzStatus, "Zone set, cache, last sync and last transfer.", {}},
        {"nfz.upload",
         nfzUpload,
         "Uploads no-fly zones to a vehicle.",
         {{"zoneIds", "array", false, {}, "ids of the zones to send (default: every zone)"}, kVehicleIdParam,
          kVehicleCodeParam}},
        {"nfz.bindManual",
         nfzBindManual,
         "Binds one four-corner no-fly zone to a vehicle.",
         {{"vertices", "array", true, {}, "four [lat, lon] pairs, vertex 1 to 4"}, kVehicleIdParam,
          kVehicleCodeParam}},
    };
    return table;
}

}  // namespace gcscli
