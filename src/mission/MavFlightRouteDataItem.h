#pragma once
// A flight route: its configuration (given at construction, never replaced), the editing flag
// and the waypoints in flight order. The route store saves it as JSON (toJson/fromJson), the
// mission transfer uploads and downloads it, the table models show it.
//
// Waypoint numbers are kept by addWayPoint/removeWayPoint (1, 2, 3, ... in 8 bits). A removal
// renumbers nextWp references like the numbers (a nextWp past the removed number drops by one),
// so "the following waypoint" and the route's end stay what they were; without it every later
// waypoint would skip one. A waypoint JSON without "routeNumber" takes the route's number. fromJson returns null for a
// value that is not an object or a "type" other than 1 or 2, and lets the JSON library's exceptions through for members
// of the wrong kind (the route store catches them and skips the file). Main thread only; must be owned by a shared
// pointer.

#include "mission/MavFlightRouteAbstractConfig.h"
#include "mission/MavWayPointDataItem.h"

#include <QObject>

#include <nlohmann/json.hpp>

#include <list>
#include <memory>

class MavFlightRouteDataItem : public QObject, public std::enable_shared_from_this<MavFlightRouteDataItem> {
    Q_OBJECT
    friend class MavMissionsController;

public:
    explicit MavFlightRouteDataItem(const std::shared_ptr<MavFlightRouteAbstractConfig>& config,
                                    QObject* parent = nullptr);

    std::shared_ptr<MavFlightRouteAbstractConfig> config() const { return m_config; }
    QString id() const { return m_config->id(); }
    QString name() const { return m_config->name(); }
    void setName(const QString& name) { m_config->setName(name); }
    uint8_t number() const { return m_config->number(); }
    void setNumber(uint8_t number) { m_config->setNumber(number); }
    uint8_t repeatTimes() const { return m_config->repeatTimes(); }
    void setRepeatTimes(uint8_t times) { m_config->setRepeatTimes(times); }
    bool isEditing() const { return m_isEditing; }

    int wayPointCount() const { return int(m_wayPoints.size()); }
    std::list<std::shared_ptr<MavWayPointDataItem>> wayPointList() { return m_wayPoints; }
    const std::list<std::shared_ptr<MavWayPointDataItem>>& wayPointList() const { return m_wayPoints; }

    // nextWp -1 means "the following waypoint": number + 1, or 0 after 255.
    std::shared_ptr<MavWayPointDataItem> addWayPoint(MavProtoWayPointType type, double lon, double lat, double alt,
                                                     float vel, float radius, MavProtoHeadingDirection headingDirection,
                                                     MavProtoTraceMode traceMode, MavProtoWayPointHeightType heightType,
                                                     uint16_t hoverTime, int16_t nextWp, float heading);
    // Appends as it is (no renumbering); null is ignored.
    void addWayPoint(const std::shared_ptr<MavWayPointDataItem>& wp);
    void removeWayPoint(const std::shared_ptr<MavWayPointDataItem>& wp);
    void resetWayPoints(const std::list<std::shared_ptr<MavWayPointDataItem>>& wayPoints);
    void resetWayPoints(std::list<std::shared_ptr<MavWayPointDataItem>>&& wayPoints);
    // Null when out of range.
    std::shared_ptr<MavWayPointDataItem> getWayPointByIndex(int index) const;
    std::shared_ptr<MavWayPointDataItem> getWayPointByNum(int number) const;

    std::shared_ptr<MavFlightRouteDataItem> selfPointer() { return shared_from_this(); }

    std::shared_ptr<nlohmann::json> toJson() const;
    static std::shared_ptr<MavFlightRouteDataItem> fromJson(const nlohmann::json& json);

signals:
    void nameChanged();
    void isEditingChanged();
    void wayPointCountChanged();
    void wayPointAdded(std::shared_ptr<MavWayPointDataItem> wpDataItem);
    void wayPointWillRemoved(std::shared_ptr<MavWayPointDataItem> wpDataItem);
    void wayPointRemoved(std::shared_ptr<MavWayPointDataItem> wpDataItem);
    void wayPointPosChanged(std::shared_ptr<MavWayPointDataItem> wayPoint);
    void numberChanged();
    void repeatTimesChanged();
    void wayPointsWillBeReset();
    void wayPointsReset();

protected:
    void setIsEditing(bool editing);

private slots:
    void handleWayPointLatLonChanged();

private:
    void watchWayPoint(MavWayPointDataItem* wp);

    const std::shared_ptr<MavFlightRouteAbstractConfig> m_config;
    bool m_isEditing = false;
    std::list<std::shared_ptr<MavWayPointDataItem>> m_wayPoints;
};

using MavFlightRouteDataItemPtr = std::shared_ptr<MavFlightRouteDataItem>;
