#include "MavRouteGeoJson.h"

#include "mission/MavFlightRouteDataItem.h"
#include "mission/MavMultiPointRouteConfig.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <optional>

using nlohmann::json;

namespace {

constexpr int kMaxWayPoints = 255;

const char* actionOf(MavProtoWayPointType type)
{
    switch (type) {
    case MAVPROTO_WP_TAKEOFF: return "takeoff";
    case MAVPROTO_WP_PASS: return "waypoint";
    case MAVPROTO_WP_HOVER: return "hover";
    case MAVPROTO_WP_ORBIT: return "orbit";
    case MAVPROTO_WP_RETURN: return "returnHome";
    case MAVPROTO_WP_LAND: return "land";
    }
    return nullptr;
}

// The double that prints as the float's shortest decimal form, so 5.1f goes out as 5.1.
double tidy(float v)
{
    char buf[32];
    const auto end = std::to_chars(buf, buf + sizeof buf - 1, v).ptr;
    *end = '\0';
    return std::strtod(buf, nullptr);
}

std::optional<double> number(const json* props, const char* key)
{
    if (!props)
        return std::nullopt;
    const auto it = props->find(key);
    if (it == props->end() || !it->is_number() || !std::isfinite(it->get<double>()))
        return std::nullopt;
    return it->get<double>();
}

std::optional<int> integer(const json* props, const char* key, int min, int max)
{
    const auto v = number(props, key);
    if (!v || *v != std::floor(*v) || *v < min || *v > max)
        return std::nullopt;
    return int(*v);
}

std::string typeOf(const json& j)
{
    const auto it = j.find("type");
    return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
}

struct Source {
    const json* position;
    const json* props;  // the point's, or the LineString Feature's
    std::optional<int> number;
};

std::shared_ptr<MavFlightRouteDataItem> build(const json& doc, const QString& name, uint8_t routeNumber, QString& error)
{
    if (!doc.is_object()) {
        error = QStringLiteral("The file is not a JSON object, so it is not GeoJSON.");
        return nullptr;
    }
    const std::string docType = typeOf(doc);
    std::vector<const json*> features;
    json wrapped;
    if (docType == "FeatureCollection") {
        const auto it = doc.find("features");
        if (it == doc.end() || !it->is_array()) {
            error = QStringLiteral("The FeatureCollection has no \"features\" array.");
            return nullptr;
        }
        for (const auto& f : *it)
            features.push_back(&f);
    } else if (docType == "Feature") {
        features.push_back(&doc);
    } else if (docType == "Point" || docType == "LineString" || docType == "MultiPoint" || docType == "Polygon" ||
               docType == "MultiLineString" || docType == "MultiPolygon" || docType == "GeometryCollection") {
        wrapped = json{{"type", "Feature"}, {"geometry", doc}, {"properties", nullptr}};
        features.push_back(&wrapped);
    } else {
        error = QStringLiteral("The file is not GeoJSON: its \"type\" is \"%1\".").arg(QString::fromStdString(docType));
        return nullptr;
    }

    std::vector<Source> points;
    const json* line = nullptr;
    const json* lineProps = nullptr;
    for (const json* f : features) {
        if (!f->is_object() || typeOf(*f) != "Feature")
            continue;
        const auto geometry = f->find("geometry");
        if (geometry == f->end() || !geometry->is_object() || !geometry->contains("coordinates"))
            continue;
        const auto props = f->find("properties");
        const json* p = props != f->end() && props->is_object() ? &*props : nullptr;
        const std::string gType = typeOf(*geometry);
        if (gType == "Point")
            points.push_back({&geometry->at("coordinates"), p, integer(p, "number", 1, kMaxWayPoints)});
        else if (gType == "LineString" && !line)
            line = &geometry->at("coordinates"), lineProps = p;
    }
    if (!points.empty()) {
        // Our own export numbers every point; another tool's file is taken in file order.
        if (std::all_of(points.begin(), points.end(), [](const Source& s) { return s.number.has_value(); }))
            std::stable_sort(points.begin(), points.end(),
                             [](const Source& a, const Source& b) { return *a.number < *b.number; });
    } else if (line && line->is_array()) {
        for (const auto& position : *line)
            points.push_back({&position, lineProps, std::nullopt});
    }
    if (points.empty()) {
        error = QStringLiteral("The GeoJSON has no Point features and no LineString to take waypoints from.");
        return nullptr;
    }
    if (points.size() > size_t(kMaxWayPoints)) {
        error = QStringLiteral("The GeoJSON has %1 points; a route holds at most %2.")
                    .arg(points.size())
                    .arg(kMaxWayPoints);
        return nullptr;
    }

    auto config = std::make_shared<MavMultiPointRouteConfig>();
    config->setName(name);
    config->setNumber(routeNumber);
    if (const auto repeat = integer(lineProps, "repeatTimes", 0, 255))
        config->setRepeatTimes(uint8_t(*repeat));
    auto route = std::make_shared<MavFlightRouteDataItem>(config);
    for (size_t i = 0; i < points.size(); ++i) {
        const json& pos = *points[i].position;
        const json* props = points[i].props;
        const int place = int(i) + 1;
        if (!pos.is_array() || pos.size() < 2 || !pos[0].is_number() || !pos[1].is_number()) {
            error = QStringLiteral("Point %1 has no [longitude, latitude, altitude] coordinates.").arg(place);
            return nullptr;
        }
        const double lon = pos[0].get<double>(), lat = pos[1].get<double>();
        if (!std::isfinite(lon) || !std::isfinite(lat) || lon < -180 || lon > 180 || lat < -90 || lat > 90) {
            error =
                QStringLiteral("Point %1 has longitude %2 and latitude %3; they must be finite and within -180 to 180 "
                               "and -90 to 90.")
                    .arg(place)
                    .arg(lon, 0, 'g', 10)
                    .arg(lat, 0, 'g', 10);
            return nullptr;
        }
        std::optional<double> alt;
        if (pos.size() >= 3 && pos[2].is_number())
            alt = pos[2].get<double>();
        else if (props && props->contains("alt") && props->at("alt").is_number())
            alt = props->at("alt").get<double>();
        if (!alt) {
            error =
                QStringLiteral("Point %1 has no altitude; give each point a third coordinate or an \"alt\" property.")
                    .arg(place);
            return nullptr;
        }
        if (!std::isfinite(*alt)) {
            error = QStringLiteral("Point %1 has an altitude that is not a finite number.").arg(place);
            return nullptr;
        }

        const auto type = integer(props, "type", 0, 0xff);
        const bool knownType = type && actionOf(MavProtoWayPointType(*type));
        auto vel = number(props, "vel");
        if (!vel)
            vel = number(props, "speed");
        const auto radius = number(props, "radius");
        route->addWayPoint(knownType ? MavProtoWayPointType(*type) : MAVPROTO_WP_PASS, lon, lat, *alt,
                           vel && *vel >= 0 ? float(*vel) : 0.0f, radius && *radius >= 0 ? float(*radius) : 0.0f,
                           MavProtoHeadingDirection(integer(props, "headingDirection", 0, 2).value_or(0)),
                           MavProtoTraceMode(integer(props, "traceMode", 0, 1).value_or(0)),
                           MavProtoWayPointHeightType(integer(props, "heightType", 0, 2).value_or(0)),
                           uint16_t(integer(props, "hoverTime", 0, 65535).value_or(0)), -1,
                           float(number(props, "heading").value_or(0)));
    }
    return route;
}

}  // namespace

json MavRouteGeoJson::toGeoJson(const MavFlightRouteDataItem& route)
{
    json legs = json::array();
    json features = json::array();
    for (const auto& wp : route.wayPointList()) {
        if (!wp)
            continue;
        json position = {wp->lon(), wp->lat(), wp->alt()};
        legs.push_back(position);
        const char* action = actionOf(wp->type());
        features.push_back({{"type", "Feature"},
                            {"geometry", {{"type", "Point"}, {"coordinates", position}}},
                            {"properties",
                             {{"number", wp->number()},
                              {"type", unsigned(wp->type())},
                              {"action", action ? json(action) : json(nullptr)},
                              {"alt", wp->alt()},
                              {"vel", tidy(wp->vel())},
                              {"radius", tidy(wp->radius())},
                              {"hoverTime", wp->hoverTime()},
                              {"heading", tidy(wp->heading())},
                              {"headingDirection", int(wp->headingDirection())},
                              {"traceMode", int(wp->traceMode())},
                              {"heightType", int(wp->heightType())},
                              {"nextWp", wp->nextWp()}}}});
    }
    json line = {{"type", "Feature"},
                 {"geometry", legs.size() >= 2 ? json{{"type", "LineString"}, {"coordinates", legs}} : json(nullptr)},
                 {"properties",
                  {{"name", route.name().toStdString()},
                   {"routeId", route.id().toStdString()},
                   {"number", route.number()},
                   {"repeatTimes", route.repeatTimes()}}}};
    features.insert(features.begin(), std::move(line));
    return {{"type", "FeatureCollection"}, {"features", std::move(features)}};
}

std::shared_ptr<MavFlightRouteDataItem> MavRouteGeoJson::fromGeoJson(const json& doc, const QString& name,
                                                                     uint8_t number, QString& error)
{
    error.clear();
    std::shared_ptr<MavFlightRouteDataItem> route;
    try {
        route = build(doc, name, number, error);
    } catch (const std::exception& e) {
        error = QStringLiteral("The GeoJSON could not be read: %1").arg(QString::fromUtf8(e.what()));
        route.reset();
    }
    if (!route) {
        if (error.isEmpty())
            error = QStringLiteral("The GeoJSON could not be read.");
        spdlog::warn("<RouteGeoJson> route \"{}\" not imported: {}", name.toStdString(), error.toStdString());
        return nullptr;
    }
    spdlog::info("<RouteGeoJson> route \"{}\" imported with {} waypoints", name.toStdString(), route->wayPointCount());
    return route;
}
