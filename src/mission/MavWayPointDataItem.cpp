#include "MavWayPointDataItem.h"

#include "mission/MavFlightRouteDataItem.h"

#include <QCoreApplication>

#include <limits>
#include <string>

namespace {

// A missing member gives the default; either JSON number kind converts when the field can hold
// it (else out_of_range: a file's 2e40 is not silently some other waypoint); other kinds make
// the JSON library throw its type error.
template <typename T>
T numberOr(const nlohmann::json& json, const char* key, T fallback)
{
    const auto it = json.find(key);
    if (it == json.end())
        return fallback;
    if (it->is_number()) {
        const double v = it->get<double>();
        if (!(v >= double(std::numeric_limits<T>::lowest()) && v <= double(std::numeric_limits<T>::max())))
            throw nlohmann::json::out_of_range::create(406, std::string(key) + " is out of its range", &*it);
    }
    return it->get<T>();
}

// Like numberOr, but a float JSON number counts as absent.
int integerOr(const nlohmann::json& json, const char* key, int fallback)
{
    const auto it = json.find(key);
    if (it == json.end() || it->is_number_float())
        return fallback;
    return it->get<int>();
}

template <typename T>
bool store(T& field, T value)
{
    if (field == value)
        return false;
    field = value;
    return true;
}

}  // namespace

MavWayPointDataItem::MavWayPointDataItem(const std::shared_ptr<MavFlightRouteDataItem>& route, QObject* parent)
    : QObject(parent)
    , m_flightRoute(route)
{
    followRoute(route);
}

MavWayPointDataItem::MavWayPointDataItem(const std::shared_ptr<MavFlightRouteDataItem>& route,
                                         const MavProtoWayPointData_t& data, QObject* parent)
    : QObject(parent)
    , m_flightRoute(route)
    , m_data(data)
{
    followRoute(route);
}

void MavWayPointDataItem::followRoute(const std::shared_ptr<MavFlightRouteDataItem>& route)
{
    if (!route)
        return;
    m_data.routeNumber = route->number();
    MavFlightRouteDataItem* r = route.get();
    connect(r, &MavFlightRouteDataItem::numberChanged, this, [this, r] { setRouteNumber(r->number()); });
}

std::shared_ptr<MavWayPointDataItem>
MavWayPointDataItem::fromProtoData(const std::shared_ptr<MavFlightRouteDataItem>& route,
                                   const MavProtoWayPointData_t& data)
{
    return std::make_shared<MavWayPointDataItem>(route, data);
}

void MavWayPointDataItem::setNumber(int number)
{
    if (store(m_data.number, uint8_t(number)))
        emit numberChanged();
}

void MavWayPointDataItem::setType(MavProtoWayPointType type)
{
    if (store(m_data.type, type))
        emit typeChanged();
}

void MavWayPointDataItem::setLon(double lon)
{
    if (store(m_data.lon, lon))
        emit lonChanged();
}

void MavWayPointDataItem::setLat(double lat)
{
    if (store(m_data.lat, lat))
        emit latChanged();
}

void MavWayPointDataItem::setAlt(double alt)
{
    if (store(m_data.alt, alt))
        emit altChanged();
}

void MavWayPointDataItem::setVel(float vel)
{
    if (store(m_data.vel, vel))
        emit velChanged();
}

void MavWayPointDataItem::setRadius(float radius)
{
    if (store(m_data.radius, radius))
        emit radiusChanged();
}

void MavWayPointDataItem::setHeadingDirection(MavProtoHeadingDirection direction)
{
    if (m_data.headingDirection() == (direction & 0x03))
        return;
    m_data.setHeadingDirection(direction);
    emit headingDirectionChanged();
}

void MavWayPointDataItem::setTraceMode(MavProtoTraceMode mode)
{
    if (m_data.traceMode() == (mode & 0x01))
        return;
    m_data.setTraceMode(mode);
    emit traceModeChanged();
}

void MavWayPointDataItem::setHeightType(MavProtoWayPointHeightType type)
{
    if (m_data.heightType() == (type & 0x03))
        return;
    m_data.setHeightType(type);
    emit heightTypeChanged();
}

void MavWayPointDataItem::setHoverTime(uint16_t seconds)
{
    if (store(m_data.hoverTime, seconds))
        emit hoverTimeChanged();
}

void MavWayPointDataItem::setNextWp(uint8_t next)
{
    if (store(m_data.nextWp, next))
        emit nextWpChanged();
}

void MavWayPointDataItem::setHeading(float heading)
{
    if (store(m_data.heading, heading))
        emit headingChanged();
}

void MavWayPointDataItem::setRouteNumber(uint8_t number)
{
    if (store(m_data.routeNumber, number))
        emit routeNumberChanged();
}

QString MavWayPointDataItem::typeToText(MavProtoWayPointType type)
{
    switch (type) {
    case MAVPROTO_WP_TAKEOFF: return QCoreApplication::translate("MavWayPointDataItem", "起飞点");
    case MAVPROTO_WP_PASS: return QCoreApplication::translate("MavWayPointDataItem", "过路点");
    case MAVPROTO_WP_HOVER: return QCoreApplication::translate("MavWayPointDataItem", "悬停点");
    case MAVPROTO_WP_ORBIT: return QCoreApplication::translate("MavWayPointDataItem", "兴趣点环绕");
    case MAVPROTO_WP_RETURN: return QCoreApplication::translate("MavWayPointDataItem", "返航点");
    case MAVPROTO_WP_LAND: return QCoreApplication::translate("MavWayPointDataItem", "降落点");
    }
    return QString();
}

QString MavWayPointDataItem::headingDirectionToText(MavProtoHeadingDirection direction)
{
    switch (direction) {
    case MAVPROTO_HEADING_KEEP: return QCoreApplication::translate("MavWayPointDataItem", "航向保持");
    case MAVPROTO_HEADING_TO_NEXT_WP: return QCoreApplication::translate("MavWayPointDataItem", "指向下个航点");
    case MAVPROTO_HEADING_FIXED: return QCoreApplication::translate("MavWayPointDataItem", "指向固定航向");
    }
    return QString();
}

QString MavWayPointDataItem::traceModeToText(MavProtoTraceMode mode)
{
    switch (mode) {
    case MAVPROTO_TRACE_STOP_AND_TURN: return QCoreApplication::translate("MavWayPointDataItem", "定点转弯");
    case MAVPROTO_TRACE_COORDINATED_TURN: return QCoreApplication::translate("MavWayPointDataItem", "协调转弯");
    }
    return QString();
}

QString MavWayPointDataItem::heightTypeToText(MavProtoWayPointHeightType type)
{
    switch (type) {
    case MAVPROTO_HEIGHT_RELATIVE: return QCoreApplication::translate("MavWayPointDataItem", "相对高度");
    case MAVPROTO_HEIGHT_ABOVE_SEA: return QCoreApplication::translate("MavWayPointDataItem", "海拔高度");
    case MAVPROTO_HEIGHT_ELLIPSOID: return QCoreApplication::translate("MavWayPointDataItem", "椭球高度");
    }
    return QString();
}

std::shared_ptr<nlohmann::json> MavWayPointDataItem::toJson() const
{
    auto json = std::make_shared<nlohmann::json>(nlohmann::json::object());
    auto& j = *json;
    j["number"] = int(m_data.number);
    j["type"] = int(m_data.type);
    j["lon"] = m_data.lon;
    j["lat"] = m_data.lat;
    j["alt"] = m_data.alt;
    j["vel"] = m_data.vel;
    j["radius"] = m_data.radius;
    j["headingDirection"] = int(m_data.headingDirection());
    j["traceMode"] = int(m_data.traceMode());
    j["heightType"] = int(m_data.heightType());
    j["hoverTime"] = unsigned(m_data.hoverTime);
    j["nextWp"] = unsigned(m_data.nextWp);
    j["heading"] = m_data.heading;
    j["routeNumber"] = unsigned(m_data.routeNumber);
    return json;
}

std::shared_ptr<MavWayPointDataItem> MavWayPointDataItem::fromJson(const std::shared_ptr<MavFlightRouteDataItem>& route,
                                                                   const nlohmann::json& j)
{
    auto wp = std::make_shared<MavWayPointDataItem>(route);
    wp->setNumber(integerOr(j, "number", 0));
    wp->setType(MavProtoWayPointType(integerOr(j, "type", MAVPROTO_WP_PASS)));
    wp->setLon(numberOr(j, "lon", 0.0));
    wp->setLat(numberOr(j, "lat", 0.0));
    wp->setAlt(numberOr(j, "alt", 0.0));
    wp->setVel(numberOr(j, "vel", 0.0f));
    wp->setRadius(numberOr(j, "radius", 0.0f));
    wp->setHeadingDirection(MavProtoHeadingDirection(numberOr(j, "headingDirection", 0)));
    wp->setTraceMode(MavProtoTraceMode(numberOr(j, "traceMode", 0)));
    wp->setHeightType(MavProtoWayPointHeightType(numberOr(j, "heightType", 0)));
    wp->setHoverTime(numberOr<uint16_t>(j, "hoverTime", 0));
    wp->setNextWp(numberOr<uint8_t>(j, "nextWp", 0));
    wp->setHeading(numberOr(j, "heading", 0.0f));
    wp->setRouteNumber(numberOr<uint8_t>(j, "routeNumber", 0));
    return wp;
}

std::shared_ptr<MavWayPointDataItem> MavWayPointDataItem::fromJson(const std::shared_ptr<MavFlightRouteDataItem>& route,
                                                                   const std::shared_ptr<nlohmann::json>& json)
{
    return json ? fromJson(route, *json) : fromJson(route, nlohmann::json::object());
}
