#pragma once
// One waypoint of a flight route: the protocol's waypoint record held inline (exchanged byte for
// byte with the vehicle), a weak reference back to its route, and a change signal per field.
//
// Setters store the value and signal only when it differs. While the route exists, routeNumber
// follows the route's number. The JSON form (toJson/fromJson) is the waypoint part of the route
// files. fromJson: a missing member gives 0 (type: 34); "number" and "type" take only integer
// JSON numbers (a float gives the default); a member of a non-numeric kind makes the JSON
// library throw its type error, which the route loader turns into a skipped route.
// Main thread only; must be owned by a shared pointer.
//
// The fields a view shows are properties with their change signals, so a view bound to a
// waypoint (MavWayPointsTableModel's "wayPoint" role) follows each field by itself.

#include "MavProtoMissionRecords.h"

#include <QObject>
#include <QString>

#include <nlohmann/json.hpp>

#include <memory>

class MavFlightRouteDataItem;

class MavWayPointDataItem : public QObject, public std::enable_shared_from_this<MavWayPointDataItem> {
    Q_OBJECT
    Q_PROPERTY(int number READ number NOTIFY numberChanged)
    Q_PROPERTY(QString typeText READ typeText NOTIFY typeChanged)
    Q_PROPERTY(double lat READ lat NOTIFY latChanged)
    Q_PROPERTY(double lon READ lon NOTIFY lonChanged)
    Q_PROPERTY(double alt READ alt NOTIFY altChanged)
    Q_PROPERTY(float vel READ vel NOTIFY velChanged)
    Q_PROPERTY(float radius READ radius NOTIFY radiusChanged)
    Q_PROPERTY(int hoverTime READ hoverTime NOTIFY hoverTimeChanged)
    Q_PROPERTY(int nextWp READ nextWp NOTIFY nextWpChanged)
public:
    explicit MavWayPointDataItem(const std::shared_ptr<MavFlightRouteDataItem>& route, QObject* parent = nullptr);
    MavWayPointDataItem(const std::shared_ptr<MavFlightRouteDataItem>& route, const MavProtoWayPointData_t& data,
                        QObject* parent = nullptr);

    static std::shared_ptr<MavWayPointDataItem> fromProtoData(const std::shared_ptr<MavFlightRouteDataItem>& route,
                                                              const MavProtoWayPointData_t& data);

    int number() const { return m_data.number; }
    void setNumber(int number);  // keeps the low 8 bits
    MavProtoWayPointType type() const { return m_data.type; }
    void setType(MavProtoWayPointType type);
    double lon() const { return m_data.lon; }
    void setLon(double lon);
    double lat() const { return m_data.lat; }
    void setLat(double lat);
    double alt() const { return m_data.alt; }
    void setAlt(double alt);
    float vel() const { return m_data.vel; }
    void setVel(float vel);
    float radius() const { return m_data.radius; }
    void setRadius(float radius);
    MavProtoHeadingDirection headingDirection() const { return m_data.headingDirection(); }
    void setHeadingDirection(MavProtoHeadingDirection direction);
    MavProtoTraceMode traceMode() const { return m_data.traceMode(); }
    void setTraceMode(MavProtoTraceMode mode);
    MavProtoWayPointHeightType heightType() const { return m_data.heightType(); }
    void setHeightType(MavProtoWayPointHeightType type);
    uint16_t hoverTime() const { return m_data.hoverTime; }
    void setHoverTime(uint16_t seconds);
    uint8_t nextWp() const { return m_data.nextWp; }
    void setNextWp(uint8_t next);
    float heading() const { return m_data.heading; }
    void setHeading(float heading);
    uint8_t routeNumber() const { return m_data.routeNumber; }
    void setRouteNumber(uint8_t number);

    QString typeText() const { return typeToText(type()); }
    QString headingDirectionText() const { return headingDirectionToText(headingDirection()); }
    QString traceModeText() const { return traceModeToText(traceMode()); }
    QString heightTypeText() const { return heightTypeToText(heightType()); }
    // Unknown values give an empty text.
    static QString typeToText(MavProtoWayPointType type);
    static QString headingDirectionToText(MavProtoHeadingDirection direction);
    static QString traceModeToText(MavProtoTraceMode mode);
    static QString heightTypeToText(MavProtoWayPointHeightType type);

    MavProtoWayPointData_t protoData() const { return m_data; }
    const MavProtoWayPointData_t& protoData() { return m_data; }
    // Null once the route is gone.
    std::shared_ptr<MavFlightRouteDataItem> flightRoute() const { return m_flightRoute.lock(); }
    std::shared_ptr<MavWayPointDataItem> selfPointer() { return shared_from_this(); }

    std::shared_ptr<nlohmann::json> toJson() const;
    static std::shared_ptr<MavWayPointDataItem> fromJson(const std::shared_ptr<MavFlightRouteDataItem>& route,
                                                         const nlohmann::json& json);
    static std::shared_ptr<MavWayPointDataItem> fromJson(const std::shared_ptr<MavFlightRouteDataItem>& route,
                                                         const std::shared_ptr<nlohmann::json>& json);

signals:
    void numberChanged();
    void typeChanged();
    void lonChanged();
    void latChanged();
    void altChanged();
    void velChanged();
    void radiusChanged();
    void headingDirectionChanged();
    void traceModeChanged();
    void heightTypeChanged();
    void hoverTimeChanged();
    void nextWpChanged();
    void headingChanged();
    void routeNumberChanged();

private:
    void followRoute(const std::shared_ptr<MavFlightRouteDataItem>& route);

    std::weak_ptr<MavFlightRouteDataItem> m_flightRoute;
    MavProtoWayPointData_t m_data;
};

using MavWayPointDataItemPtr = std::shared_ptr<MavWayPointDataItem>;
