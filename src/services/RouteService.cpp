#include "RouteService.h"

#include "mission/MavAreaRouteConfig.h"
#include "mission/MavAreaRouteGenerator.h"
#include "mission/MavFlightRouteDataItem.h"
#include "mission/MavFlightRouteManager.h"
#include "mission/MavMissionsController.h"
#include "mission/MavMultiPointRouteConfig.h"
#include "mission/MavRouteGeoJson.h"
#include "mission/MavWayPointDataItem.h"

#include "OstFunctions.h"

#include <QFile>
#include <QSaveFile>

#include <nlohmann/json.hpp>
#include <spdlog/spdlog.h>

#include <chrono>
#include <thread>

namespace svc {
namespace {

constexpr int kFileWaitMs = 15000;
constexpr qint64 kMaxGeoJsonBytes = 16 * 1024 * 1024;

void addPoints(MavFlightRouteDataItem& route, const std::vector<WayPointSpec>& points)
{
    for (const auto& p : points) {
        const auto& d = p.data;
        route.addWayPoint(d.type, d.lon, d.lat, d.alt, d.vel, d.radius, d.headingDirection(), d.traceMode(),
                          d.heightType(), d.hoverTime, p.nextWp, d.heading);
    }
}

FileReport report(const MavRouteFileReport& r)
{
    FileReport out;
    out.result = r.ret;
    for (const QString& id : r.done)
        out.done.push_back(id.toStdString());
    for (const auto& [id, reason] : r.skipped)
        out.skipped.emplace_back(id.toStdString(), reason.toStdString());
    return out;
}

}  // namespace

RouteService::RouteService(std::shared_ptr<MavMissionsController> missions, std::shared_ptr<MavFlightRouteManager> store)
    : m_missions(std::move(missions))
    , m_store(std::move(store))
{
}

std::vector<RoutePtr> RouteService::list() const
{
    std::vector<RoutePtr> out;
    if (m_store)
        for (const auto& r : m_store->flightRoutes())
            out.push_back(r);
    return out;
}

Result<RoutePtr> RouteService::find(const std::string& id) const
{
    if (!m_store)
        return Status::refused("Mission services are not available");
    for (const auto& r : m_store->flightRoutes())
        if (r->id().toStdString() == id)
            return r;
    return Status::notFound("Unknown route id");
}

RoutePtr RouteService::active() const
{
    return m_missions ? m_missions->activeFlightRoute() : nullptr;
}

bool RouteService::isActive(const MavFlightRouteDataItem& route) const
{
    const auto a = active();
    return a && a->id() == route.id();
}

std::string RouteService::saveError(const std::string& id) const
{
    return m_store ? m_store->lastSaveError(QString::fromStdString(id)).toStdString() : std::string();
}

// The worker clears its flag on its own thread; a nested event loop here would run other
// requests in the middle of this one.
Status RouteService::waitForStore(int waitMs) const
{
    if (!m_store)
        return Status::refused("Mission services are not available");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (m_store->isLoadRunning()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return Status::busy("Route store is busy");
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // A refresh or import ends on the main thread, which this request holds: no waiting for it.
    if (m_store->isRefreshing() || m_store->isImporting())
        return Status::busy("Route store is busy");
    return {};
}

Status RouteService::checkSaved(const RoutePtr& route) const
{
    if (auto s = waitForStore())
        return s;
    if (const QString reason = m_store->lastSaveError(route->id()); !reason.isEmpty())
        return Status::refused("Route not saved: " + reason.toStdString());
    return {};
}

Status RouteService::checkIdle() const
{
    if (!m_missions || !m_store)
        return Status::refused("Mission services are not available");
    if (m_missions->isEditing())
        return Status::busy("Active flight route is being edited");
    if (m_missions->isTransferring())
        return Status::busy("A mission transfer is in progress");
    return {};
}

Status RouteService::checkFree(const MavFlightRouteDataItem& route) const
{
    if (const QString reason = m_store->routeLockReason(route.id()); !reason.isEmpty())
        return Status::busy(reason.toStdString());
    if (!isActive(route))
        return {};
    if (m_missions->isEditing())
        return Status::busy("Active flight route is being edited");
    if (m_missions->isTransferring())
        return Status::busy("A mission transfer is in progress");
    return {};
}

Result<RoutePtr> RouteService::create(const RouteDraft& draft, Activation activation)
{
    if (draft.points.has_value() == draft.area.has_value())
        return Status::invalid("Exactly one of points or area is required");
    if (draft.points && draft.points->size() > size_t(kMaxWayPoints))
        return Status::invalid("points may hold at most 255 waypoints");
    // A new active route replaces the operator's: not while that one is edited or transferred.
    if (activation == Activation::Make) {
        if (auto s = checkIdle())
            return s;
    } else if (!m_missions || !m_store) {
        return Status::refused("Mission services are not available");
    }
    std::shared_ptr<MavFlightRouteAbstractConfig> config;
    const QString id = OstFunctions::createUuid(true);
    if (draft.area) {
        auto areaConfig = std::make_shared<MavAreaRouteConfig>(id);
        areaConfig->setPolygonVertices(draft.area->polygon);
        areaConfig->setLineSpacing(draft.area->lineSpacing);
        areaConfig->setAngle(draft.area->angle);
        if (MavAreaRouteGenerator::crossesAntimeridian(draft.area->polygon))
            return Status::invalid("area.polygon crosses the 180° meridian; split the area at it");
        if (MavAreaRouteGenerator::generate(areaConfig.get()).isEmpty())
            return Status::refused("Area generator produced no waypoints");
        config = areaConfig;
    } else {
        config = std::make_shared<MavMultiPointRouteConfig>(id);
    }
    config->setName(QString::fromStdString(draft.name));
    config->setNumber(draft.number);
    config->setRepeatTimes(draft.repeatTimes);

    if (auto s = waitForStore())
        return s;
    m_missions->setActivateAddedRoutes(activation == Activation::Make);
    const RoutePtr route = m_store->addFlightRoute(config, nullptr);
    m_missions->setActivateAddedRoutes(true);
    if (!route || (activation == Activation::Make && m_missions->activeFlightRoute() != route))
        return Status::busy("Route store is busy");
    if (auto* areaConfig = dynamic_cast<MavAreaRouteConfig*>(config.get()))
        MavMissionsController::fillAreaRoute(*route, areaConfig, m_store->defaultWayPointData().get());
    else
        addPoints(*route, *draft.points);
    if (auto s = waitForStore()) {
        if (activation == Activation::Make)
            m_missions->setIsEditing(false);
        return s;
    }
    if (activation == Activation::Make) {
        m_missions->stopEditing();
    } else if (!m_store->updateFlightRoute(route)) {
        return Status::busy("Route store is busy");
    }
    if (auto s = checkSaved(route))
        return s;
    spdlog::info("<services> route {} created with {} waypoints{}", route->id().toStdString(), route->wayPointCount(),
                 activation == Activation::Make ? "" : " (the active route stays)");
    return route;
}

Result<RoutePtr> RouteService::update(const std::string& id, const RouteChange& change)
{
    auto found = find(id);
    if (!found.ok())
        return found.status;
    const RoutePtr route = found.value;
    if (change.points && change.points->size() > size_t(kMaxWayPoints))
        return Status::invalid("points may hold at most 255 waypoints");
    if (auto s = checkFree(*route); s || (s = waitForStore()))
        return s;
    if (change.name)
        route->setName(QString::fromStdString(*change.name));
    if (change.number)
        route->setNumber(*change.number);
    if (change.repeatTimes)
        route->setRepeatTimes(*change.repeatTimes);
    if (change.points) {
        route->resetWayPoints(std::list<std::shared_ptr<MavWayPointDataItem>>{});
        addPoints(*route, *change.points);
    }
    if (!m_store->updateFlightRoute(route))
        return Status::busy("Route store is busy");
    if (auto s = checkSaved(route))
        return s;
    return route;
}

Status RouteService::remove(const std::string& id)
{
    auto found = find(id);
    if (!found.ok())
        return found.status;
    if (auto s = checkFree(*found.value); s || (s = waitForStore()))
        return s;
    if (!m_store->removeFlightRoute(found.value))
        return Status::busy("Route store is busy");
    return {};
}

Status RouteService::setActive(const RoutePtr& route)
{
    if (!m_missions)
        return Status::refused("Mission services are not available");
    if (route != m_missions->activeFlightRoute() && m_missions->isTransferring())
        return Status::busy("A mission transfer is in progress");
    switch (m_missions->setActiveFlightRoute(route)) {
    case SetActRouteRefusedEditing: return Status::busy("Active flight route is being edited");
    case SetActRouteRefusedUploading: return Status::busy("A mission transfer is in progress");
    default: return {};
    }
}

std::shared_ptr<MavWayPointDataItem> RouteService::defaultWayPoint() const
{
    return m_store ? m_store->defaultWayPointData() : nullptr;
}

void RouteService::setDefaultWayPoint(const WayPointSpec& draft)
{
    if (!m_store)
        return;
    auto wp = std::make_shared<MavWayPointDataItem>(nullptr, draft.data);
    wp->setNextWp(draft.nextWp < 0 ? 0 : uint8_t(draft.nextWp));
    m_store->setDefaultWayPointData(wp);
}

// Whole-store copies between the cache and a folder; the answer is what the worker did.
Result<FileReport> RouteService::folderTransfer(bool exporting, const std::string& dir)
{
    if (auto s = waitForStore())
        return s;
    if (!exporting && m_missions->isTransferring())
        return Status::busy("A mission transfer is in progress");
    if (!exporting && m_missions->isEditing())
        return Status::busy("Active flight route is being edited");
    if (exporting)
        m_store->exportAllToLocal(QString::fromStdString(dir));
    else
        m_store->importAllFromLocal(QString::fromStdString(dir));
    if (auto s = waitForStore(kFileWaitMs); s && m_store->isLoadRunning())
        return Status::timeout("Route files are still being copied");
    FileReport out = report(m_store->lastFileReport());
    if (out.result != 0 && out.done.empty()) {
        const std::string why = out.skipped.empty() ? std::string("nothing to copy") : out.skipped.front().second;
        spdlog::warn("<services> route {} of {} failed: {}", exporting ? "export" : "import", dir, why);
        Result<FileReport> failed(Status::refused(std::string(exporting ? "Export" : "Import") + " failed: " + why));
        failed.value = std::move(out);
        return failed;
    }
    spdlog::info("<services> route {} {}: {} routes, {} skipped", exporting ? "export" : "import", dir, out.done.size(),
                 out.skipped.size());
    return out;
}

Result<FileReport> RouteService::exportFolder(const std::string& dir)
{
    return folderTransfer(true, dir);
}

Result<FileReport> RouteService::importFolder(const std::string& dir)
{
    return folderTransfer(false, dir);
}

Result<FileReport> RouteService::exportGeoJson(const std::string& id, const std::string& path)
{
    auto found = find(id);
    if (!found.ok())
        return found.status;
    QSaveFile file(QString::fromStdString(path));
    const std::string text = MavRouteGeoJson::toGeoJson(*found.value).dump(2);
    if (!file.open(QIODevice::WriteOnly) || file.write(text.data(), qint64(text.size())) != qint64(text.size()) ||
        !file.commit())
        return Status::refused("Can not write " + path + ": " + file.errorString().toStdString());
    spdlog::info("<services> route {} exported as GeoJSON to {}", id, path);
    FileReport out;
    out.done.push_back(path);
    return out;
}

Result<RoutePtr> RouteService::importGeoJson(const std::string& path, const std::string& name, uint8_t number)
{
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly))
        return Status::refused("Can not read " + path + ": " + file.errorString().toStdString());
    if (file.size() > kMaxGeoJsonBytes)
        return Status::refused("File is larger than 16 MiB: " + path);
    const QByteArray bytes = file.readAll();
    const auto doc = nlohmann::json::parse(bytes.constBegin(), bytes.constEnd(), nullptr, false);
    QString error;
    const auto route =
        doc.is_discarded() ? nullptr : MavRouteGeoJson::fromGeoJson(doc, QString::fromStdString(name), number, error);
    if (!route)
        return Status::refused("Not imported: " +
                               (doc.is_discarded() ? std::string("not valid JSON") : error.toStdString()));
    if (auto s = checkIdle(); s || (s = waitForStore()))
        return s;
    if (!m_store->addFlightRoute(route))
        return Status::busy("Route store is busy");
    // A new route opens for editing; this one is complete and already saved.
    m_missions->setIsEditing(false);
    if (auto s = checkSaved(route))
        return s;
    spdlog::info("<services> route {} imported from {} with {} waypoints", route->id().toStdString(), path,
                 route->wayPointCount());
    return route;
}

}  // namespace svc
