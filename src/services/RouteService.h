#pragma once
// The route store as every front end uses it: list, create (from points or a survey area),
// change, delete, make active, the waypoint template, folder and GeoJSON import and export.
// The rules live here: a route held by a transfer is not touched, the active route is not
// replaced while it is edited or transferred, and every store operation waits (bounded, without
// a nested event loop) for the store's worker and reports a failed save in words.
//
// A route created with Activation::Keep does not become the operator's active route (a route a
// ground station uploads); Activation::Make does, as creating a route on the station always has.

#include "services/ServiceResult.h"

#include "MavProtoMissionRecords.h"

#include <QList>
#include <QString>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class MavFlightRouteDataItem;
class MavFlightRouteManager;
class MavMissionsController;
class MavWayPointDataItem;

namespace svc {

using RoutePtr = std::shared_ptr<MavFlightRouteDataItem>;

struct WayPointSpec {
    MavProtoWayPointData_t data;
    int16_t nextWp = -1;
};

struct AreaSpec {
    QList<std::pair<double, double>> polygon;  // (lat, lon)
    double lineSpacing = 0;
    double angle = 0;
};

struct RouteDraft {
    std::string name;
    uint8_t number = 0;
    uint8_t repeatTimes = 0;
    std::optional<std::vector<WayPointSpec>> points;  // exactly one of points and area
    std::optional<AreaSpec> area;
};

struct RouteChange {
    std::optional<std::string> name;
    std::optional<uint8_t> number;
    std::optional<uint8_t> repeatTimes;
    std::optional<std::vector<WayPointSpec>> points;
};

struct FileReport {
    int result = 0;
    std::vector<std::string> done;  // ids (folder) or paths (GeoJSON)
    std::vector<std::pair<std::string, std::string>> skipped;  // id, reason
};

class RouteService {
public:
    static constexpr int kMaxWayPoints = 255;
    enum class Activation { Make, Keep };

    RouteService(std::shared_ptr<MavMissionsController> missions, std::shared_ptr<MavFlightRouteManager> store);

    std::vector<RoutePtr> list() const;
    Result<RoutePtr> find(const std::string& id) const;
    RoutePtr active() const;
    bool isActive(const MavFlightRouteDataItem& route) const;
    // Why `id` could not be saved last ("" when it was).
    std::string saveError(const std::string& id) const;

    Result<RoutePtr> create(const RouteDraft& draft, Activation activation = Activation::Make);
    Result<RoutePtr> update(const std::string& id, const RouteChange& change);
    Status remove(const std::string& id);
    Status setActive(const RoutePtr& route);
    // The template generated waypoints take (null before one is set).
    std::shared_ptr<MavWayPointDataItem> defaultWayPoint() const;
    void setDefaultWayPoint(const WayPointSpec& draft);

    Result<FileReport> exportFolder(const std::string& dir);
    Result<FileReport> importFolder(const std::string& dir);
    Result<FileReport> exportGeoJson(const std::string& id, const std::string& path);
    // A new active route from a GeoJSON file (ours or another tool's).
    Result<RoutePtr> importGeoJson(const std::string& path, const std::string& name, uint8_t number);

    // Refused while the store's worker runs past `waitMs`, or a refresh or import is under way.
    Status waitForStore(int waitMs = 2000) const;
    // Refused while a transfer holds `route`, or it is the active route and is edited or transferred.
    Status checkFree(const MavFlightRouteDataItem& route) const;
    // Refused when a new active route may not be set now.
    Status checkIdle() const;

private:
    Status checkSaved(const RoutePtr& route) const;
    Result<FileReport> folderTransfer(bool exporting, const std::string& dir);

    std::shared_ptr<MavMissionsController> m_missions;
    std::shared_ptr<MavFlightRouteManager> m_store;
};

}  // namespace svc
