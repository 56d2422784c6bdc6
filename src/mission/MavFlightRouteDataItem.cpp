#include "MavFlightRouteDataItem.h"

#include "mission/MavAreaRouteConfig.h"
#include "mission/MavMultiPointRouteConfig.h"

#include <spdlog/spdlog.h>

#include <algorithm>

MavFlightRouteDataItem::MavFlightRouteDataItem(const std::shared_ptr<MavFlightRouteAbstractConfig>& config,
                                               QObject* parent)
    : QObject(parent)
    , m_config(config)
{
    connect(m_config.get(), &MavFlightRouteAbstractConfig::nameChanged, this, &MavFlightRouteDataItem::nameChanged);
    connect(m_config.get(), &MavFlightRouteAbstractConfig::numberChanged, this, &MavFlightRouteDataItem::numberChanged);
    connect(m_config.get(), &MavFlightRouteAbstractConfig::repeatTimesChanged, this,
            &MavFlightRouteDataItem::repeatTimesChanged);
}

void MavFlightRouteDataItem::setIsEditing(bool editing)
{
    if (m_isEditing == editing)
        return;
    m_isEditing = editing;
    emit isEditingChanged();
}

void MavFlightRouteDataItem::watchWayPoint(MavWayPointDataItem* wp)
{
    connect(wp, &MavWayPointDataItem::lonChanged, this, &MavFlightRouteDataItem::handleWayPointLatLonChanged);
    connect(wp, &MavWayPointDataItem::latChanged, this, &MavFlightRouteDataItem::handleWayPointLatLonChanged);
}

void MavFlightRouteDataItem::handleWayPointLatLonChanged()
{
    auto* wp = qobject_cast<MavWayPointDataItem*>(sender());
    if (wp)
        emit wayPointPosChanged(wp->selfPointer());
}

std::shared_ptr<MavWayPointDataItem>
MavFlightRouteDataItem::addWayPoint(MavProtoWayPointType type, double lon, double lat, double alt, float vel,
                                    float radius, MavProtoHeadingDirection headingDirection,
                                    MavProtoTraceMode traceMode, MavProtoWayPointHeightType heightType,
                                    uint16_t hoverTime, int16_t nextWp, float heading)
{
    auto wp = std::make_shared<MavWayPointDataItem>(shared_from_this());
    const uint8_t number = m_wayPoints.empty() ? 1 : uint8_t(m_wayPoints.back()->number() + 1);
    wp->setNumber(number);
    wp->setType(type);
    wp->setLon(lon);
    wp->setLat(lat);
    wp->setAlt(alt);
    wp->setVel(vel);
    wp->setRadius(radius);
    wp->setHeadingDirection(headingDirection);
    wp->setTraceMode(traceMode);
    wp->setHeightType(heightType);
    wp->setHoverTime(hoverTime);
    if (nextWp == -1)
        wp->setNextWp(number == 255 ? 0 : uint8_t(number + 1));
    else
        wp->setNextWp(uint8_t(nextWp));
    wp->setHeading(heading);
    addWayPoint(wp);
    return wp;
}

void MavFlightRouteDataItem::addWayPoint(const std::shared_ptr<MavWayPointDataItem>& wp)
{
    if (!wp)
        return;
    watchWayPoint(wp.get());
    m_wayPoints.push_back(wp);
    emit wayPointAdded(wp);
    emit wayPointCountChanged();
}

void MavFlightRouteDataItem::removeWayPoint(const std::shared_ptr<MavWayPointDataItem>& wp)
{
    if (!wp)
        return;
    if (std::find(m_wayPoints.begin(), m_wayPoints.end(), wp) == m_wayPoints.end()) {
        spdlog::warn("wp is not in current flight route");
        return;
    }
    disconnect(wp.get(), nullptr, this, nullptr);
    emit wayPointWillRemoved(wp);
    const int removedNumber = wp->number();
    for (auto it = m_wayPoints.begin(); it != m_wayPoints.end();) {
        const auto& item = *it;
        if (item == wp) {
            it = m_wayPoints.erase(it);
            continue;
        }
        if (!item) {
            spdlog::warn("there is a null wp in flight route<{}>", name().toStdString());
        } else {
            if (item->number() > removedNumber)
                item->setNumber(item->number() - 1);
            // References move with the numbers: "the following waypoint" stays the following one,
            // and one that named the removed waypoint now names the waypoint that took its place.
            if (item->nextWp() > removedNumber)
                item->setNextWp(uint8_t(item->nextWp() - 1));
        }
        ++it;
    }
    emit wayPointRemoved(wp);
    emit wayPointCountChanged();
}

void MavFlightRouteDataItem::resetWayPoints(const std::list<std::shared_ptr<MavWayPointDataItem>>& wayPoints)
{
    resetWayPoints(std::list<std::shared_ptr<MavWayPointDataItem>>(wayPoints));
}

void MavFlightRouteDataItem::resetWayPoints(std::list<std::shared_ptr<MavWayPointDataItem>>&& wayPoints)
{
    emit wayPointsWillBeReset();
    // Waypoints that leave the route no longer report their moves through it.
    for (const auto& wp : m_wayPoints) {
        if (wp)
            disconnect(wp.get(), nullptr, this, nullptr);
    }
    m_wayPoints = std::move(wayPoints);
    for (const auto& wp : m_wayPoints) {
        if (wp)
            watchWayPoint(wp.get());
    }
    emit wayPointsReset();
}

std::shared_ptr<MavWayPointDataItem> MavFlightRouteDataItem::getWayPointByIndex(int index) const
{
    if (index < 0 || index >= wayPointCount())
        return nullptr;
    return *std::next(m_wayPoints.begin(), index);
}

std::shared_ptr<MavWayPointDataItem> MavFlightRouteDataItem::getWayPointByNum(int number) const
{
    for (const auto& wp : m_wayPoints) {
        if (wp && wp->number() == number)
            return wp;
    }
    return nullptr;
}

std::shared_ptr<nlohmann::json> MavFlightRouteDataItem::toJson() const
{
    auto json = std::make_shared<nlohmann::json>(nlohmann::json::object());
    auto& j = *json;
    j["id"] = m_config->id().toStdString();
    j["name"] = m_config->name().toStdString();
    j["type"] = int(m_config->type());
    j["number"] = unsigned(m_config->number());
    j["repeatTimes"] = unsigned(m_config->repeatTimes());
    if (const auto* area = qobject_cast<const MavAreaRouteConfig*>(m_config.get())) {
        j["lineSpacing"] = area->lineSpacing();
        j["angle"] = area->angle();
        auto polygon = nlohmann::json::array();
        for (const auto& [lat, lon] : area->polygonVertices())
            polygon.push_back({{"lat", lat}, {"lon", lon}});
        j["polygon"] = std::move(polygon);
    }
    auto points = nlohmann::json::array();
    for (const auto& wp : m_wayPoints) {
        if (wp)
            points.push_back(std::move(*wp->toJson()));
    }
    j["points"] = std::move(points);
    return json;
}

std::shared_ptr<MavFlightRouteDataItem> MavFlightRouteDataItem::fromJson(const nlohmann::json& j)
{
    if (!j.is_object())
        return nullptr;
    int type = 1;
    if (const auto it = j.find("type"); it != j.end() && it->is_number_integer())
        type = it->get<int>();
    if (type != int(MavFlightRouteType::MultiPoint) && type != int(MavFlightRouteType::Area))
        return nullptr;

    const QString id = QString::fromStdString(j.value("id", std::string()));
    std::shared_ptr<MavFlightRouteAbstractConfig> config;
    if (type == int(MavFlightRouteType::Area)) {
        auto area = std::make_shared<MavAreaRouteConfig>(id);
        area->setLineSpacing(j.value("lineSpacing", 50.0));
        area->setAngle(j.value("angle", 0.0));
        QList<std::pair<double, double>> vertices;
        if (const auto it = j.find("polygon"); it != j.end()) {
            for (const auto& v : it->get_ref<const nlohmann::json::array_t&>())
                vertices.append({v.at("lat").get<double>(), v.at("lon").get<double>()});
        }
        area->setPolygonVertices(vertices);
        config = area;
    } else {
        config = std::make_shared<MavMultiPointRouteConfig>(id);
    }
    config->setName(QString::fromStdString(j.value("name", std::string())));
    config->setNumber(j.value("number", uint8_t(0)));
    config->setRepeatTimes(j.value("repeatTimes", uint8_t(0)));

    auto route = std::make_shared<MavFlightRouteDataItem>(config);
    if (const auto it = j.find("points"); it != j.end()) {
        for (const auto& point : it->get_ref<const nlohmann::json::array_t&>()) {
            // A point that is not an object is a broken file, not a default waypoint.
            point.get_ref<const nlohmann::json::object_t&>();
            auto wp = MavWayPointDataItem::fromJson(route, point);
            // A file that leaves the route number out means this route's, not route 0.
            if (!point.contains("routeNumber"))
                wp->setRouteNumber(route->number());
            route->addWayPoint(wp);
        }
    }
    return route;
}
